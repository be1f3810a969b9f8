"""Builds the wheel with the project's own CMake + Ninja build.

The extension is CMake's `ostrel` target (Release, without tests or
benchmarks) in setuptools' temporary directory under build-wheel/; it is
copied into the wheel with its type stub and the py.typed marker. The module
uses the limited API of CPython 3.11, so the wheel is tagged cp311-abi3. The
version is the one in CMakeLists.txt's project() call.
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


def cmake_project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    match = re.search(r"^project\(\s*ostrel\b[^)]*?\bVERSION\s+([0-9][0-9.]*)", text, re.MULTILINE)
    if not match:
        raise RuntimeError("CMakeLists.txt: no VERSION in project(ostrel ...)")
    return match.group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = pathlib.Path(self.build_temp).resolve()
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DOSTREL_BUILD_TESTS=OFF",
                        "-DOSTREL_BUILD_BENCH=OFF", f"-DPython3_EXECUTABLE={sys.executable}"],
                       check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "ostrel",
                        "-j", os.environ.get("JOBS", "2")], check=True)
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build_dir / "python" / target.name, target)
        for name in ("ostrel.pyi", "py.typed"):
            shutil.copyfile(BINDING / name, target.parent / name)


setup(
    version=cmake_project_version(),
    ext_modules=[Extension("ostrel", sources=[], py_limited_api=True)],
    cmdclass={"build_ext": CMakeBuild},
    packages=[],
    py_modules=[],
    options={"build": {"build_base": "build-wheel"},
             "bdist_wheel": {"py_limited_api": "cp311"}},
)
