# The CPython extension module `ostrel` (src/binding/module.cpp).
#
# Built against the stable ABI (limited API 3.11), so one ostrel.abi3.so serves
# every CPython from 3.11 on. It does not link libpython: the interpreter that
# loads the module provides the symbols. Included from CMakeLists.txt.
#
#   -DPython3_EXECUTABLE=...        interpreter to build and test for
#                                   (default /usr/bin/python3)
#   -DOSTREL_PYTHON_INSTALL_DIR=... where `cmake --install` puts the module and
#                                   its type stub (default: the interpreter's
#                                   platlib directory, which is on its sys.path)
#   -DOSTREL_TEST_PYTHON=...        what runs the Python suite (see below)

if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "Python interpreter for the ostrel module")
endif()
if(CMAKE_CROSSCOMPILING)
  # The module needs the headers alone. Debian's /usr/include/python3.11
  # takes pyconfig.h from the target's libpython3.11-dev:<arch>; the build
  # machine's interpreter only answers questions about paths.
  find_package(Python3 3.11 REQUIRED COMPONENTS Interpreter)
  find_path(OSTREL_PYTHON_INCLUDE_DIR Python.h PATHS /usr/include/python3.11 REQUIRED
            NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
  add_library(Python3::Module INTERFACE IMPORTED)
  target_include_directories(Python3::Module INTERFACE ${OSTREL_PYTHON_INCLUDE_DIR})
else()
  find_package(Python3 3.11 REQUIRED COMPONENTS Interpreter Development.Module)
endif()

add_library(ostrel MODULE ${CMAKE_CURRENT_SOURCE_DIR}/src/binding/module.cpp
                   ${CMAKE_CURRENT_SOURCE_DIR}/src/binding/args.cpp)
target_compile_definitions(ostrel PRIVATE Py_LIMITED_API=0x030B0000)
target_compile_options(ostrel PRIVATE ${OSTREL_WARNINGS})
# Python3::Module carries the include directories and, on Linux, no libpython.
target_link_libraries(ostrel PRIVATE ostrel_core Python3::Module)
# Export only PyInit_ostrel; keep the engine's symbols (static libraries) local
# so that they cannot clash with other extensions loaded in the same process.
target_link_options(ostrel PRIVATE -Wl,--exclude-libs,ALL)
set_target_properties(ostrel PROPERTIES
  PREFIX ""
  SUFFIX ".abi3.so"
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/python)

execute_process(
  COMMAND ${Python3_EXECUTABLE} -c "import sysconfig; print(sysconfig.get_path('platlib'))"
  OUTPUT_VARIABLE OSTREL_PYTHON_PLATLIB
  OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE OSTREL_PLATLIB_RESULT)
if(NOT OSTREL_PLATLIB_RESULT EQUAL 0 OR OSTREL_PYTHON_PLATLIB STREQUAL "")
  set(OSTREL_PYTHON_PLATLIB ${Python3_SITEARCH})
endif()
set(OSTREL_PYTHON_INSTALL_DIR ${OSTREL_PYTHON_PLATLIB} CACHE PATH
    "Directory where the ostrel module and its type stub are installed")
install(TARGETS ostrel LIBRARY DESTINATION ${OSTREL_PYTHON_INSTALL_DIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/src/binding/ostrel.pyi
        DESTINATION ${OSTREL_PYTHON_INSTALL_DIR})

# The Python suite, run against the module in the build tree (which comes
# first on the path, before any installed copy). No cache or bytecode files
# are written into the source tree. Nothing below without OSTREL_BUILD_TESTS.
if(NOT OSTREL_BUILD_TESTS)
  return()
endif()
# OSTREL_TEST_PYTHON runs the suite: by default the build machine's
# interpreter; for a cross build, the target's Python under emulation
# (scripts/test-cross.sh passes a wrapper around qemu).
set(OSTREL_TEST_PYTHON ${Python3_EXECUTABLE} CACHE STRING
    "Command (a list) that runs the Python of the machine the module is built for")
add_test(NAME python_tests
         COMMAND ${OSTREL_TEST_PYTHON} -m pytest -q -p no:cacheprovider
                 ${CMAKE_CURRENT_SOURCE_DIR}/tests/python)
set_tests_properties(python_tests PROPERTIES
  LABELS python
  ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1;OSTREL_MODULE_DIR=$<TARGET_FILE_DIR:ostrel>"
  ENVIRONMENT_MODIFICATION "PYTHONPATH=path_list_prepend:$<TARGET_FILE_DIR:ostrel>")

# A sanitized module can only be loaded by an interpreter that starts with the
# AddressSanitizer runtime; leaks of the interpreter itself are not ours.
if((OSTREL_SANITIZE OR OSTREL_FUZZ) AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                  OUTPUT_VARIABLE OSTREL_LIBASAN OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libubsan.so
                  OUTPUT_VARIABLE OSTREL_LIBUBSAN OUTPUT_STRIP_TRAILING_WHITESPACE)
  set_property(TEST python_tests APPEND PROPERTY ENVIRONMENT
               "LD_PRELOAD=${OSTREL_LIBASAN}:${OSTREL_LIBUBSAN}" "ASAN_OPTIONS=detect_leaks=0"
               "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endif()
