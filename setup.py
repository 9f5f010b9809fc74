"""Build of the native extension plexor.core.pluginmanager (metadata: pyproject.toml).

PLEXOR_STRICT=1   adds -Werror
PLEXOR_SANITIZE=1 builds with AddressSanitizer + UBSan
PLEXOR_DISPATCH_STATS=1 counts how often the methods leave their direct path
                  (plexor.core._pluginmanager_stats then offers
                  dispatch_stats(); for tests)
"""
import os
from glob import glob

from setuptools import Extension, find_packages, setup

SRC = "src/plexor/core/pluginmanager"
compile_args = ["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden", "-O2"]
link_args = []
if os.environ.get("PLEXOR_STRICT") == "1":
    compile_args.append("-Werror")
if os.environ.get("PLEXOR_DISPATCH_STATS") == "1":
    compile_args.append("-DPLEXOR_DISPATCH_STATS")
if os.environ.get("PLEXOR_SANITIZE") == "1":
    san = ["-fsanitize=address,undefined", "-fno-omit-frame-pointer", "-O1", "-g"]
    compile_args += san
    link_args += san

setup(
    package_dir={"": "src"},
    packages=find_packages("src"),
    # MANIFEST.in puts the C++ sources in the sdist; keep them out of the wheel.
    include_package_data=False,
    package_data={"plexor": ["py.typed"], "plexor.core": ["pluginmanager.pyi"]},
    ext_modules=[
        Extension(
            "plexor.core.pluginmanager",
            sources=sorted(glob(SRC + "/*.cpp")),
            depends=sorted(glob(SRC + "/*.hpp")),
            language="c++",
            extra_compile_args=compile_args,
            extra_link_args=link_args,
        )
    ],
)
