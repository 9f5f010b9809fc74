"""Build of the native extension plexor.core.pluginmanager (metadata: pyproject.toml).

The distribution holds the extension and its type stub, nothing else: the package
plexor, plexor.core and the rest of the host belong to the host's distribution
(host-standin/ is a stand-in for it). plexor.core is therefore listed without its
__init__.py, only to place the stub beside the extension.

By default this is a release build: no debug information, the library stripped.

PLEXOR_STRICT=1   adds -Werror
PLEXOR_DEV=1      keeps the interpreter's default debug information, not stripped
PLEXOR_SANITIZE=1 builds with AddressSanitizer + UBSan (implies PLEXOR_DEV=1)
PLEXOR_SANITIZE=thread builds with ThreadSanitizer, for an interpreter built with it
PLEXOR_CXX=clang  compiles and links with clang++ and LLVM's libc++
PLEXOR_DISPATCH_STATS=1 counts how often the methods leave their direct path
                  (plexor.core._pluginmanager_stats then offers
                  dispatch_stats(); for tests)
PLEXOR_PREBUILT_EXTENSION=FILE  puts FILE, an extension compiled elsewhere for this
                  interpreter, into the build instead of compiling (./dev wheel
                  compiles the 3.14 and 3.15 extensions with the host's g++)

extension_args() gives the compile and link arguments without setuptools, so that
./dev can compile with them outside a setuptools build.
"""
import os
import shlex
import sysconfig
from glob import glob

SRC = "src/plexor/core/pluginmanager"


def extension_args(environ=os.environ):
    """The extension's own compile and link arguments (after the interpreter's)."""
    compile_args = ["-std=c++17", "-Wall", "-Wextra", "-fvisibility=hidden", "-O2"]
    link_args = []
    if environ.get("PLEXOR_STRICT") == "1":
        compile_args.append("-Werror")
    if environ.get("PLEXOR_DISPATCH_STATS") == "1":
        compile_args.append("-DPLEXOR_DISPATCH_STATS")
    sanitizers = {"1": "-fsanitize=address,undefined", "thread": "-fsanitize=thread"}
    if environ.get("PLEXOR_SANITIZE", "") in sanitizers:
        san = [sanitizers[environ["PLEXOR_SANITIZE"]], "-fno-omit-frame-pointer", "-O1", "-g"]
        compile_args += san
        link_args += san
    elif environ.get("PLEXOR_SANITIZE", "") not in ("", "0"):
        raise SystemExit("PLEXOR_SANITIZE must be 1 or thread, not %r" % environ["PLEXOR_SANITIZE"])
    elif environ.get("PLEXOR_DEV") != "1":
        compile_args.append("-g0")
        link_args.append("-s")
    if environ.get("PLEXOR_CXX") == "clang":
        compile_args.append("-stdlib=libc++")
        link_args.append("-stdlib=libc++")
    elif environ.get("PLEXOR_CXX", "") not in ("", "gcc"):
        raise SystemExit("PLEXOR_CXX must be gcc or clang, not %r" % environ["PLEXOR_CXX"])
    return compile_args, link_args


def use_clang():
    # The build reads CC (compiling) and LDSHARED (linking) from the environment;
    # LDSHARED keeps the interpreter's own flags, with clang++ as the driver.
    ldshared = shlex.split(sysconfig.get_config_var("LDSHARED") or "cc -shared")
    os.environ.update(CC="clang", CXX="clang++",
                      LDSHARED=" ".join(["clang++"] + ldshared[1:]))


def main():
    from setuptools import Extension, setup
    from setuptools.command.build_ext import build_ext

    class BuildExt(build_ext):
        """Compiles the extension, or takes PLEXOR_PREBUILT_EXTENSION."""

        def build_extension(self, ext):
            prebuilt = os.environ.get("PLEXOR_PREBUILT_EXTENSION")
            if not prebuilt:
                return super().build_extension(ext)
            target = self.get_ext_fullpath(ext.name)
            if not prebuilt.endswith(sysconfig.get_config_var("EXT_SUFFIX")):
                raise SystemExit("%s is not an extension of this interpreter (%s)"
                                 % (prebuilt, os.path.basename(target)))
            self.mkpath(os.path.dirname(target))
            self.copy_file(prebuilt, target)
            return None

    if os.environ.get("PLEXOR_CXX") == "clang":
        use_clang()
    compile_args, link_args = extension_args()
    setup(
        package_dir={"": "src"},
        packages=["plexor.core"],
        # MANIFEST.in puts the C++ sources in the sdist; keep them out of the wheel.
        include_package_data=False,
        package_data={"plexor.core": ["pluginmanager.pyi"]},
        cmdclass={"build_ext": BuildExt},
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


if __name__ == "__main__":
    main()
