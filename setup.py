"""Builds the imgnorm Python package with the project's CMake build.

The version is the C++ library's (project() in CMakeLists.txt).  The
extension imgnorm._imgnorm is CMake's target imgnorm_python, built in
setuptools' temporary folder with the tests, the program and the examples
left out, and copied where setuptools puts extensions; it links the library's
objects in, so the installed package needs nothing else at run time.
CMAKE_BUILD_PARALLEL_LEVEL and CMAKE_CXX_COMPILER_LAUNCHER are honoured.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.build_py import build_py

ROOT = Path(__file__).resolve().parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    found = re.search(r"project\(imgnorm\s+VERSION\s+([0-9.]+)", text)
    if not found:
        raise RuntimeError("CMakeLists.txt: no project(imgnorm VERSION x.y.z)")
    return found.group(1)


class BuildPy(build_py):
    """Copies the package and fills in __init__.py's version."""

    def run(self):
        super().run()
        init = Path(self.build_lib) / "imgnorm" / "__init__.py"
        init.write_text(init.read_text(encoding="utf-8").replace("@PROJECT_VERSION@", project_version()),
                        encoding="utf-8")


class CMakeBuild(build_ext):
    """Builds the extension with CMake instead of compiling sources itself."""

    def build_extension(self, ext):
        build = Path(self.build_temp).resolve() / "cmake"
        build.mkdir(parents=True, exist_ok=True)
        configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                     "-DPython3_EXECUTABLE=" + sys.executable, "-DIMGNORM_BUILD_TESTS=OFF",
                     "-DIMGNORM_BUILD_CLI=OFF", "-DIMGNORM_BUILD_EXAMPLES=OFF", "-DIMGNORM_BUILD_BENCH=OFF"]
        subprocess.run(configure, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build), "--target", "imgnorm_python", "-j", jobs], check=True)
        built = sorted((build / "python" / "imgnorm").glob("_imgnorm*.so"))
        if len(built) != 1:
            raise RuntimeError("CMake did not build exactly one imgnorm/_imgnorm*.so in %s" % build)
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


setup(
    version=project_version(),
    packages=["imgnorm"],
    package_dir={"imgnorm": "python/imgnorm"},
    package_data={"imgnorm": ["py.typed", "*.pyi"]},
    ext_modules=[Extension("imgnorm._imgnorm", sources=[])],
    cmdclass={"build_py": BuildPy, "build_ext": CMakeBuild},
    # setuptools' own build folder apart from CMake's build/.
    options={"build": {"build_base": "build-python"}},
    zip_safe=False,
)
