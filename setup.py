"""Builds the wheel with the project's own CMake + Ninja build.

The extension is CMake's `ostrel` target (Release, without tests or
benchmarks) in setuptools' temporary directory under build-wheel/; it is
copied into the wheel with its type stub and the py.typed marker. The module
uses the limited API of CPython 3.11, so the wheel is tagged cp311-abi3. The
version is the one in CMakeLists.txt's project() call.

OSTREL_TARGET=aarch64 or armv7l cross-compiles the wheel for 64-bit or
32-bit ARM Linux (Debian's crossbuild-essential-arm64 / -armhf and the
target's -dev packages; scripts/setup.sh --cross installs them) under
build-wheel-<target>/, tagged linux_aarch64 or linux_armv7l.

The wheel is self-contained: the shared libraries the module needs beyond
the C and C++ runtimes (libroaring, libhwy) are copied into ostrel.libs/
beside the module under names of their own, and the module finds them
through its run path ($ORIGIN/ostrel.libs), set with patchelf.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent
BINDING = ROOT / "src" / "binding"

# OSTREL_TARGET -> the GNU triplet of its cross compiler and CMake toolchain file.
CROSS_TRIPLETS = {"aarch64": "aarch64-linux-gnu", "armv7l": "arm-linux-gnueabihf"}
TARGET = os.environ.get("OSTREL_TARGET") or None
if TARGET is not None and TARGET not in CROSS_TRIPLETS:
    sys.exit(f"OSTREL_TARGET={TARGET}: expected one of {', '.join(CROSS_TRIPLETS)}")

LIBS_DIR = "ostrel.libs"
# Libraries every Linux system with a C++ runtime has: never bundled.
SYSTEM_LIBS = re.compile(r"^(libc|libm|libstdc\+\+|libgcc_s|libpthread|libdl|ld-linux[-\w.]*)\.so")


def cmake_project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    match = re.search(r"^project\(\s*ostrel\b[^)]*?\bVERSION\s+([0-9][0-9.]*)", text, re.MULTILINE)
    if not match:
        raise RuntimeError("CMakeLists.txt: no VERSION in project(ostrel ...)")
    return match.group(1)


def patchelf(*args):
    return subprocess.run(["patchelf", *map(str, args)], check=True, capture_output=True,
                          text=True).stdout


def bundle_libraries(module, compiler):
    """Copies the module's non-system libraries into LIBS_DIR beside it, each
    renamed (name and soname) so that it cannot be mistaken for another copy
    of the library loaded in the same process, and points the module at them."""
    libs = module.parent / LIBS_DIR
    libs.mkdir(exist_ok=True)
    for needed in patchelf("--print-needed", module).split():
        if SYSTEM_LIBS.match(needed):
            continue
        found = subprocess.run([compiler, f"-print-file-name={needed}"], check=True,
                               capture_output=True, text=True).stdout.strip()
        if not os.path.isabs(found):
            raise RuntimeError(f"{module.name} needs {needed}, which {compiler} cannot find")
        stem, _, version = needed.partition(".so")
        bundled = f"{stem}-ostrel.so{version}"
        shutil.copyfile(os.path.realpath(found), libs / bundled)
        patchelf("--set-soname", bundled, libs / bundled)
        patchelf("--replace-needed", needed, bundled, module)
    patchelf("--set-rpath", f"$ORIGIN/{LIBS_DIR}", module)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = pathlib.Path(self.build_temp).resolve()
        configure = ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
                     "-DCMAKE_BUILD_TYPE=Release", "-DOSTREL_BUILD_TESTS=OFF",
                     "-DOSTREL_BUILD_BENCH=OFF", f"-DPython3_EXECUTABLE={sys.executable}"]
        compiler = os.environ.get("CXX", "c++")
        if TARGET is not None:
            triplet = CROSS_TRIPLETS[TARGET]
            configure.append(f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/cross/{triplet}.cmake")
            compiler = f"{triplet}-g++"
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "ostrel",
                        "-j", os.environ.get("JOBS", "2")], check=True)
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build_dir / "python" / target.name, target)
        # No symbol table: the wheel goes to small devices.
        strip = "strip" if TARGET is None else f"{CROSS_TRIPLETS[TARGET]}-strip"
        subprocess.run([strip, "--strip-unneeded", str(target)], check=True)
        bundle_libraries(target, compiler)
        for name in ("ostrel.pyi", "py.typed"):
            shutil.copyfile(BINDING / name, target.parent / name)


options = {"build": {"build_base": "build-wheel" if TARGET is None else f"build-wheel-{TARGET}"},
           "bdist_wheel": {"py_limited_api": "cp311"}}
if TARGET is not None:
    options["bdist_wheel"]["plat_name"] = f"linux_{TARGET}"

setup(
    version=cmake_project_version(),
    ext_modules=[Extension("ostrel", sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuild},
    packages=[],
    py_modules=[],
    options=options,
)
