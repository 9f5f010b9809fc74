"""Shared fixtures. The tests run against the installed package (./dev test)."""
import importlib
import importlib.util
import logging
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
EXT_DEMO_DIR = ROOT / "examples" / "plexor-ext-demo"
HOST_STANDIN_DIR = ROOT / "host-standin"
PURE_PYTHON = ROOT / "bench" / "pure_python.py"


def load_pure_python():
    """The benchmark's pure-Python rendering of the module, loaded from bench/."""
    spec = importlib.util.spec_from_file_location("plexor_bench_pure_python", str(PURE_PYTHON))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def frozen(node):
    """Order-sensitive snapshot of a tree (classes compare by identity)."""
    if isinstance(node, dict):
        return tuple((k, frozen(v)) for k, v in node.items())
    return node


def refused(call, message):
    """call() raises exactly ConnectionInfraError(message)."""
    from plexor.core.errors import ConnectionInfraError

    with pytest.raises(ConnectionInfraError) as info:
        call()
    assert type(info.value) is ConnectionInfraError
    assert info.value.args == (message,)


@pytest.fixture(scope="session")
def pure():
    return load_pure_python()


@pytest.fixture
def pm():
    """The extension module plexor.core.pluginmanager."""
    return importlib.import_module("plexor.core.pluginmanager")


@pytest.fixture
def mgr(pm):
    """A fresh, empty PluginManager."""
    return pm.PluginManager()


@pytest.fixture
def debug_log(caplog):
    """Capture the 'plexor' logger at DEBUG; returns messages(contains=None) -> list."""
    caplog.set_level(logging.DEBUG, logger="plexor")

    def messages(contains=None):
        out = [r.getMessage() for r in caplog.records
               if r.name == "plexor" or r.name.startswith("plexor.")]
        return [m for m in out if contains is None or contains in m]

    return messages


def _ext_demo_dist():
    try:
        return metadata.distribution("plexor-ext-demo")
    except metadata.PackageNotFoundError:
        return None


@pytest.fixture(scope="session")
def ext_demo_installed():
    """Make sure the example plugin distribution plexor-ext-demo is installed.

    Returns its importlib.metadata Distribution. If it had to be installed now,
    an already imported pkg_resources is told about it as well.
    """
    dist = _ext_demo_dist()
    if dist is None:
        subprocess.run(
            [sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation",
             "--no-deps", str(EXT_DEMO_DIR)],
            check=True,
        )
        importlib.invalidate_caches()
        dist = _ext_demo_dist()
        assert dist is not None, "plexor-ext-demo not found after pip install"
        pkg_resources = sys.modules.get("pkg_resources")
        if pkg_resources is not None:
            site = str(dist.locate_file(""))
            for d in pkg_resources.find_distributions(site, True):
                pkg_resources.working_set.add(d, site)
    return dist
