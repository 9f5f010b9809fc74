"""The released wheel in new virtual environments of this interpreter.

Each environment gets the wheel, the stand-in host host-standin and the example
plugin distribution examples/plexor-ext-demo installed by pip, and one of three
setuptools set-ups:
a release that ships pkg_resources, a release without it (82 and later), and
no setuptools at all. The module must load without warnings, leave setuptools
alone, and find the installed plugin either way. One more environment holds a
host distribution that the test makes itself, which the wheel must leave intact.

These tests build environments from the package index, so they run on request:
``./dev env-test`` builds the wheel and passes it in PLEXOR_TEST_WHEEL.
"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

from conftest import EXT_DEMO_DIR, HOST_STANDIN_DIR
from test_packaging import VERSION

WHEEL = os.environ.get("PLEXOR_TEST_WHEEL")
if not WHEEL:
    pytest.skip("PLEXOR_TEST_WHEEL is not set (run ./dev env-test)", allow_module_level=True)

SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
NOTICE = "Loading external plugin demo from plexor_ext_demo"
WITH_PKG_RESOURCES = "setuptools>=61,<81"
WITHOUT_PKG_RESOURCES = "setuptools>=82"
# setuptools' own notice when pkg_resources is imported; the module cannot avoid it.
PKG_RESOURCES_NOTICE = "ignore:pkg_resources is deprecated"


def base_python():
    """The interpreter this (virtual) environment was made from."""
    name = "python%d.%d%s" % (sys.version_info[:2] + (sys.abiflags,))
    return str(Path(sys.base_prefix) / "bin" / name)


def run(args, **kwargs):
    proc = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=600, **kwargs)
    assert proc.returncode == 0, "%s failed:\n%s%s" % (args, proc.stdout, proc.stderr)
    return proc


class Environment:
    """A new virtual environment with the given setuptools requirement (None: none)."""

    def __init__(self, path, setuptools):
        self.path = path
        self.python = str(path / "bin" / "python")
        self.has_pkg_resources = setuptools == WITH_PKG_RESOURCES
        run([base_python(), "-m", "venv", str(path)])
        if setuptools is None:
            self.pip("uninstall", "-y", "setuptools")
        else:
            self.pip("install", setuptools)

    def pip(self, *args):
        return run([self.python, "-m", "pip", "--disable-pip-version-check"] + list(args))

    def packages(self):
        listed = self.pip("list", "--format=json").stdout
        return {p["name"].lower().replace("_", "-"): p["version"] for p in json.loads(listed)}

    def python_code(self, code, warnings_as_errors=True):
        """Run code in the environment, from a directory outside the source tree."""
        options = ["-W", "error"] if warnings_as_errors else []
        if self.has_pkg_resources:
            options += ["-W", PKG_RESOURCES_NOTICE]
        return subprocess.run([self.python] + options + ["-c", textwrap.dedent(code)],
                              cwd=str(self.path), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, timeout=120)


def build_wheel(directory, out):
    """The wheel of the project in directory, built from a copy (no build/ directory
    in the work tree) into out."""
    source = out / "source"
    shutil.copytree(str(directory), str(source),
                    ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
    run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--no-build-isolation",
         "-w", str(out), str(source)])
    (wheel,) = out.glob("*.whl")
    return str(wheel)


@pytest.fixture(scope="session")
def demo_wheel(tmp_path_factory):
    """The example plugin distribution as a wheel, built once."""
    return build_wheel(EXT_DEMO_DIR, tmp_path_factory.mktemp("demo-wheel"))


@pytest.fixture(scope="session")
def host_standin_wheel(tmp_path_factory):
    return build_wheel(HOST_STANDIN_DIR, tmp_path_factory.mktemp("host-standin-wheel"))


SETUPS = [
    pytest.param(WITH_PKG_RESOURCES, id="setuptools-with-pkg_resources"),
    pytest.param(WITHOUT_PKG_RESOURCES, id="setuptools-without-pkg_resources",
                 marks=pytest.mark.skipif(sys.version_info < (3, 9),
                                          reason="setuptools 82 and later need 3.9")),
    pytest.param(None, id="no-setuptools"),
]


@pytest.fixture(scope="module", params=SETUPS)
def installed(request, tmp_path_factory, host_standin_wheel, demo_wheel):
    """An environment, and its packages before and after each pip install."""
    env = Environment(tmp_path_factory.mktemp("env") / "venv", request.param)
    env.pip("install", host_standin_wheel)
    before = env.packages()
    env.pip("install", WHEEL)
    with_wheel = env.packages()
    env.pip("install", demo_wheel)
    return env, [before, with_wheel, env.packages()]


def changed(old, new):
    return {name: version for name, version in new.items() if old.get(name) != version}


def test_pip_installs_only_the_distribution_itself(installed):
    """No requirement of the wheel (or of the plugin) adds, changes or removes setuptools."""
    _, (before, with_wheel, with_demo) = installed
    assert changed(before, with_wheel) == {"plexor-pluginmanager": VERSION}
    assert changed(with_wheel, with_demo) == {"plexor-ext-demo": "0.1.0"}
    assert set(before) <= set(with_demo)


def test_import_is_silent(installed):
    env, _ = installed
    proc = env.python_code("""
        import sys
        import plexor.core.pluginmanager
        print("pkg_resources" in sys.modules, "importlib.metadata" in sys.modules)
    """)
    assert (proc.returncode, proc.stderr) == (0, ""), proc.stderr
    has_pkg_resources, has_metadata = proc.stdout.split()
    assert has_pkg_resources == str(env.has_pkg_resources)
    if not env.has_pkg_resources:
        # importlib.metadata waits for the first discovery.
        assert has_metadata == "False"


DISCOVER = """
    import json, logging, sys
    records = []

    class Collect(logging.Handler):
        def emit(self, record):
            records.append([record.name, record.levelname, record.getMessage()])

    logger = logging.getLogger("plexor")
    logger.setLevel(logging.DEBUG)
    logger.addHandler(Collect())

    import plexor.core.pluginmanager as pm
    from plexor.core.registry import plugin_manager

    entry_points = [(ep.name, ep.module_name)
                    for ep in pm.iter_entry_points(group=pm.ENTRYPOINT_GROUP)]
    assert "plexor_ext_demo" not in sys.modules
    pm.PluginManager.discover_external_plugins()
    import plexor_ext_demo
    print(json.dumps({
        "entry_points": entry_points,
        "records": records,
        "registered": plugin_manager.get_plugin(os="tern", platform="t1")
                      is plexor_ext_demo.DemoConnection,
        "demo_file": plexor_ext_demo.__file__,
        "pkg_resources": "pkg_resources" in sys.modules,
        "through_pkg_resources": getattr(sys.modules.get("pkg_resources"),
                                         "iter_entry_points", None) is pm.iter_entry_points,
    }))
"""


def test_external_discovery_loads_the_installed_plugin(installed):
    env, _ = installed
    proc = env.python_code(DISCOVER)
    assert (proc.returncode, proc.stderr) == (0, ""), proc.stderr
    result = json.loads(proc.stdout)
    assert result.pop("entry_points") == [["demo", "plexor_ext_demo"]]
    assert result.pop("records") == [["plexor", "DEBUG", NOTICE]]
    assert result.pop("registered") is True
    assert result.pop("demo_file").startswith(str(env.path) + os.sep)
    assert result == {"pkg_resources": env.has_pkg_resources,
                      "through_pkg_resources": env.has_pkg_resources}


def test_builtin_discovery_then_external(installed):
    """Both discoveries in one process, as a host application runs them."""
    env, _ = installed
    proc = env.python_code("""
        import sys
        from plexor.core.pluginmanager import PluginManager
        from plexor.core.registry import plugin_manager
        PluginManager.discover_builtin_plugins()
        PluginManager.discover_external_plugins()
        print(plugin_manager.get_plugin(os="generic").__module__,
              plugin_manager.get_plugin(os="tern", platform="t1").__module__,
              sorted(m for m in sys.modules if m.endswith(".test_connection")))
    """)
    assert (proc.returncode, proc.stderr) == (0, ""), proc.stderr
    assert proc.stdout.split() == ["plexor.plugins.generic", "plexor_ext_demo", "[]"]


# A host distribution of its own, unlike the stand-in: other lists, another plugin.
HOST = {
    "pyproject.toml": """
        [build-system]
        requires = ["setuptools>=61"]
        build-backend = "setuptools.build_meta"
        [project]
        name = "plexor-host-of-the-test"
        version = "7.0"
        [tool.setuptools]
        packages = ["plexor", "plexor.core", "plexor.plugins"]
    """,
    "plexor/__init__.py": "import logging\nlog = logging.getLogger('plexor.host')\n",
    "plexor/core/__init__.py": "",
    "plexor/core/errors.py": "class ConnectionInfraError(LookupError):\n    pass\n",
    "plexor/core/hub.py": "from .pluginmanager import PluginManager\nhub = PluginManager()\n",
    "plexor/plugins/__init__.py": "supported_chassis = ['stack']\nsupported_os = ['acme']\n",
    "plexor/plugins/acme.py": "from plexor.core.hub import hub\n"
                              "class Acme:\n    pass\n"
                              "hub.register_plugin(Acme, os='acme', chassis_type='stack')\n",
}


def test_wheel_beside_a_host_distribution(tmp_path):
    """The wheel adds its two files to the host's package plexor and removes only them."""
    for name, text in HOST.items():
        (tmp_path / "host" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "host" / name).write_text(textwrap.dedent(text))
    host_wheel = build_wheel(tmp_path / "host", tmp_path / "host-wheel")
    env = Environment(tmp_path / "venv", None)
    (site,) = env.path.glob("lib/python*/site-packages")

    def files():
        paths = [p for p in (site / "plexor").rglob("*") if "__pycache__" not in p.parts]
        return {str(p.relative_to(site)): hashlib.sha256(p.read_bytes()).hexdigest()
                for p in paths if p.is_file()}

    env.pip("install", WHEEL)
    alone = env.python_code("import plexor.core.pluginmanager")
    assert alone.stderr.splitlines()[-1] == "ImportError: cannot import name log"
    env.pip("uninstall", "-y", "plexor-pluginmanager")
    env.pip("install", host_wheel)
    host = files()
    env.pip("install", WHEEL)
    with_module = files()
    assert {name: with_module[name] for name in host} == host
    assert sorted(set(with_module) - set(host)) == [
        "plexor/core/pluginmanager" + SUFFIX, "plexor/core/pluginmanager.pyi"]
    works = env.python_code("""
        import plexor.plugins
        from plexor.core.hub import hub
        hub.discover_builtin_plugins()
        print(hub.get_plugin(os='acme', chassis_type='stack').__module__,
              hub.supported_os is plexor.plugins.supported_os)
    """)
    assert (works.stderr, works.stdout.split()) == ("", ["plexor.plugins.acme", "True"])
    env.pip("uninstall", "-y", "plexor-pluginmanager")
    assert files() == host
    still = env.python_code("import plexor.core.errors, plexor.plugins; print(plexor.log.name)")
    assert (still.stderr, still.stdout) == ("", "plexor.host\n")
