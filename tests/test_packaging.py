"""The project builds into a wheel and an sdist with the expected contents."""
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

import pytest

from conftest import ROOT

VERSION = re.search(r'^version = "(.+)"', (ROOT / "pyproject.toml").read_text(), re.M).group(1)

SRC_DIR = ROOT / "src" / "plexor" / "core" / "pluginmanager"
IGNORE = shutil.ignore_patterns("__pycache__", "*.egg-info", "*.so", "build")


def _copy_project(dest):
    """Copy the buildable part of the repo, so builds do not touch the work tree."""
    shutil.copytree(ROOT / "src", dest / "src", ignore=IGNORE)
    for name in ("setup.py", "pyproject.toml", "MANIFEST.in", "README.md"):
        shutil.copy2(ROOT / name, dest / name)
    return dest


def test_wheel_contents(tmp_path):
    proj = _copy_project(tmp_path / "proj")
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation",
         "-w", str(tmp_path / "dist"), str(proj)],
        check=True,
    )
    (wheel,) = (tmp_path / "dist").glob("plexor_pluginmanager-%s-*.whl" % VERSION)
    names = zipfile.ZipFile(wheel).namelist()
    # The extension and its stub; every other file of plexor is the host's.
    files = sorted(n for n in names if not n.startswith("plexor_pluginmanager-"))
    assert files == ["plexor/core/pluginmanager" + sysconfig.get_config_var("EXT_SUFFIX"),
                     "plexor/core/pluginmanager.pyi"]


def test_sdist_has_cpp_sources(tmp_path):
    proj = _copy_project(tmp_path / "proj")
    code = "from setuptools import build_meta as b; print(b.build_sdist('dist'))"
    out = subprocess.run([sys.executable, "-c", code], cwd=str(proj), check=True,
                         stdout=subprocess.PIPE, universal_newlines=True).stdout
    sdist = proj / "dist" / out.split()[-1]
    names = tarfile.open(str(sdist)).getnames()
    top = sdist.name[: -len(".tar.gz")]
    prefix = top + "/src/plexor/core/pluginmanager/"
    expected = sorted(p.name for p in SRC_DIR.iterdir() if p.suffix in (".cpp", ".hpp"))
    assert expected, "no C++ sources found in the work tree"
    assert sorted(n[len(prefix):] for n in names if n.startswith(prefix)) == expected
    assert top + "/setup.py" in names


def test_installed_package_is_complete(pm):
    """The suite runs against installed distributions: the module with its stub, and the
    stand-in host, which owns the package plexor and declares it typed."""
    import plexor
    from importlib import metadata

    package = Path(plexor.__file__).parent
    assert package.parents[0].name == "site-packages", "testing a source tree, not an install"
    assert Path(pm.__file__).parent == package / "core"
    module_files = metadata.files("plexor-pluginmanager")
    assert sorted(str(f) for f in module_files if not f.parts[0].endswith(".dist-info")) == [
        "plexor/core/" + Path(pm.__file__).name, "plexor/core/pluginmanager.pyi"]
    host_files = [str(f) for f in metadata.files("plexor-host-standin")]
    assert "plexor/py.typed" in host_files and "plexor/__init__.py" in host_files
    assert metadata.version("plexor-pluginmanager") == VERSION


MISUSE = '''\
from plexor.core.pluginmanager import PluginManager
manager = PluginManager()
manager.plugins = {}
manager.get_plugin(os="linux", flavor="x")
manager.register_plugin(PluginManager, os="linux", chassis_type=None)
text: int = manager.print_tree(manager.plugins)
reveal_type(manager.get_plugin(os="linux"))
reveal_type(PluginManager.discover_builtin_plugins)
'''


# mypy spells the type by the version it checks for.
TYPE_ANY = '"Type[Any]"' if sys.version_info < (3, 9) else '"type[Any]"'


def test_stubs_type_check_callers(tmp_path):
    """The installed stubs give callers the types of the real signatures."""
    pytest.importorskip("mypy", reason="mypy is installed by ./dev setup")
    source = tmp_path / "misuse.py"
    source.write_text(MISUSE)
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                          "--no-error-summary", str(source)], stdout=subprocess.PIPE,
                         universal_newlines=True, cwd=str(tmp_path))
    pattern = re.compile(
        r"misuse.py:(\d+): (?:error: .*\[([a-z-]+)\]|note: Revealed type is (.*))$")
    found = [m.groups() for m in map(pattern.match, run.stdout.splitlines()) if m]
    assert [(int(n), code or revealed) for n, code, revealed in found] == [
        (3, "misc"),                    # plugins is read-only
        (4, "call-arg"),                # no parameter "flavor"
        (5, "arg-type"),                # chassis_type is a str
        (6, "assignment"),              # print_tree returns a str
        (7, TYPE_ANY),                  # a class, whose instances are Any
        (8, '"def ()"'),
    ]
