"""Build of the native extension plexor.core.pluginmanager (metadata: pyproject.toml).

By default this is a release build: no debug information, the library stripped.

PLEXOR_STRICT=1   adds -Werror
PLEXOR_DEV=1      keeps the interpreter's default debug information, not stripped
PLEXOR_SANITIZE=1 builds with AddressSanitizer + UBSan (implies PLEXOR_DEV=1)
PLEXOR_CXX=clang  compiles and links with clang++ and LLVM's libc++
PLEXOR_DISPATCH_STATS=1 counts how often the methods leave their direct path
                  (plexor.core._pluginmanager_stats then offers
                  dispatch_stats(); for tests)
"""
import os
import shlex
import sysconfig
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
elif os.environ.get("PLEXOR_DEV") != "1":
    compile_args.append("-g0")
    link_args.append("-s")

if os.environ.get("PLEXOR_CXX") == "clang":
    # The build reads CC (compiling) and LDSHARED (linking) from the environment;
    # LDSHARED keeps the interpreter's own flags, with clang++ as the driver.
    ldshared = shlex.split(sysconfig.get_config_var("LDSHARED") or "cc -shared")
    os.environ.update(CC="clang", CXX="clang++",
                      LDSHARED=" ".join(["clang++"] + ldshared[1:]))
    compile_args.append("-stdlib=libc++")
    link_args.append("-stdlib=libc++")
elif os.environ.get("PLEXOR_CXX", "") not in ("", "gcc"):
    raise SystemExit("PLEXOR_CXX must be gcc or clang, not %r" % os.environ["PLEXOR_CXX"])

setup(
    package_dir={"": "src"},
    packages=find_packages("src"),
    # MANIFEST.in puts the C++ sources in the sdist; keep them out of the wheel.
    include_package_data=False,
    package_data={"plexor": ["py.typed"], "plexor.core": ["pluginmanager.pyi"]},
    # The translation units compile in parallel.
    options={"build_ext": {"parallel": os.cpu_count() or 1}},
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
