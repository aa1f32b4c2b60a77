"""Builds the native libraries with CMake and ships them inside the package.

The package finds ``libpytovrik_video.so.1`` (the decoder) and
``libpytovrik_video_file.so.1`` (the file layer) beside itself, so an
installed package needs no environment variable. The libraries' sources are
the parent directory of this one (``pip install ./python`` from a checkout
builds in place); ``PYTOVRIK_VIDEO_SOURCE_DIR`` names them otherwise. ``CMAKE_ARGS`` is
passed on to CMake's configure step.
"""

from __future__ import annotations

import os
import shlex
import shutil
import subprocess
from pathlib import Path

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

# (CMake target, folder of the build it lands in, SONAME)
LIBRARIES = (
    ("pytovrik_video", "src", "libpytovrik_video.so.1"),
    ("pytovrik_video_file", "file", "libpytovrik_video_file.so.1"),
)


def _source_dir() -> Path:
    source = Path(os.environ.get("PYTOVRIK_VIDEO_SOURCE_DIR") or Path(__file__).resolve().parent.parent)
    if not (source / "CMakeLists.txt").is_file() or not (source / "include" / "pytovrik_video.h").is_file():
        raise SystemExit(
            f"the pytovrik_video sources are not in {source}: install from a checkout "
            "(pip install --no-build-isolation ./python) or set PYTOVRIK_VIDEO_SOURCE_DIR"
        )
    return source


class BuildWithLibrary(build_py):
    def run(self) -> None:
        super().run()
        build_dir = Path(self.get_finalized_command("build").build_temp).resolve() / "cmake"
        subprocess.run(
            ["cmake", "-S", str(_source_dir()), "-B", str(build_dir), "-DCMAKE_BUILD_TYPE=Release",
             "-DBUILD_TESTING=OFF", "-DPYTOVRIK_BUILD_BENCH=OFF", *shlex.split(os.environ.get("CMAKE_ARGS", ""))],
            check=True,
        )
        targets = [target for target, _, _ in LIBRARIES]
        subprocess.run(
            ["cmake", "--build", str(build_dir), "--target", *targets, "--parallel", str(os.cpu_count() or 1)],
            check=True,
        )
        for _, folder, soname in LIBRARIES:
            # The file the SONAME link points to, under the name the package looks for.
            built = (build_dir / folder / soname).resolve()
            shutil.copyfile(built, Path(self.build_lib) / "pytovrik_video" / soname)


class BinaryDistribution(Distribution):
    """A wheel that carries a native library is specific to its platform."""

    def has_ext_modules(self) -> bool:
        return True


setup(cmdclass={"build_py": BuildWithLibrary}, distclass=BinaryDistribution)
