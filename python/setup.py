"""Builds vexa._vexa from this repository's library sources.

The extension compiles the library itself (everything in src/ but the
command line), with the flags of the release build, so that it codes at the
command line's speed and never picks up an installed libvexa.
"""

import os
import re
from pathlib import Path

from setuptools import Extension, setup

ROOT = Path(__file__).resolve().parent.parent
if not (ROOT / "include" / "vexa.h").is_file():
    raise SystemExit("build the vexa package from python/ inside the vexa repository")

# Globbed, so that a new stage of the library needs no change here.
# setuptools takes only paths relative to this directory.
LIBRARY = sorted(f"../{p.relative_to(ROOT).as_posix()}" for p in (ROOT / "src").rglob("*.cpp") if p.parent.name != "cli")


def library_version():
    header = (ROOT / "include" / "vexa.h").read_text()
    parts = [re.search(rf"#define VEXA_VERSION_{part} (\d+)", header).group(1) for part in ("MAJOR", "MINOR", "PATCH")]
    return ".".join(parts)


setup(
    version=library_version(),
    packages=["vexa"],
    # The library's files compile independently: one job per core.
    options={"build_ext": {"parallel": os.cpu_count() or 1}},
    package_data={"vexa": ["py.typed", "*.pyi"]},
    ext_modules=[
        Extension(
            "vexa._vexa",
            sources=["_vexa.cpp", *LIBRARY],
            include_dirs=["../include", "../src"],
            language="c++",
            # Later flags win over Python's own (-O2 -g -fwrapv): these are
            # the release build's.
            extra_compile_args=["-std=c++20", "-O3", "-g0", "-fno-wrapv", "-fvisibility=hidden",
                                "-fvisibility-inlines-hidden"],
            extra_link_args=["-pthread"],
        )
    ],
)
