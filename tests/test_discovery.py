"""Plugin discovery: built-in plugins of plexor.plugins and installed entry points."""
import builtins
import contextlib
import importlib
import os
import pkgutil
import sys
import types

import pytest

import plexor.core.pluginmanager as pm_module
import plexor.plugins
from plexor.core.registry import plugin_manager

PluginManager = pm_module.PluginManager
HOST_PLUGIN_MODULES = ["plexor.plugins.generic", "plexor.plugins.generic.utils",
                       "plexor.plugins.generic.tests", "plexor.plugins.linux",
                       "plexor.plugins.linux.tests"]
RECORD = "import fakepkg\nfakepkg.LOG.append(__name__)\n"
FAKE_TREE = {
    "__init__.py": "LOG = []\n",
    "plugins/__init__.py": "",
    "plugins/alpha/__init__.py": RECORD,
    "plugins/alpha/tests.py": RECORD,
    "plugins/alpha/test_utils.py": RECORD,
    "plugins/beta.py": RECORD,
    "plugins/tests/__init__.py": "",
    "plugins/tests/x.py": RECORD,
    "plugins/unittests.py": RECORD,
    "plugins/zeta/__init__.py": RECORD,
    "plugins/zeta/inner.py": RECORD,
}
FAKE_IMPORTED = ["fakepkg.plugins.alpha", "fakepkg.plugins.alpha.test_utils",
                 "fakepkg.plugins.beta", "fakepkg.plugins.zeta", "fakepkg.plugins.zeta.inner"]
FAKE_SKIPPED = ["fakepkg.plugins.alpha.tests", "fakepkg.plugins.tests.x",
                "fakepkg.plugins.unittests"]


class Boom(Exception):
    pass


@pytest.fixture
def fresh_host(monkeypatch):
    """The host's plugin modules un-imported and an empty host tree; all restored afterwards."""
    monkeypatch.setattr(plugin_manager, "_plugins", {})
    namespaces = [(sys.modules, HOST_PLUGIN_MODULES + ["plexor_ext_demo"]),
                  (vars(plexor.plugins), ["generic", "linux"])]
    saved = [(ns, {key: ns.pop(key) for key in keys if key in ns}, keys)
             for ns, keys in namespaces]
    yield plugin_manager
    for ns, old, keys in saved:
        for key in keys:
            ns.pop(key, None)
        ns.update(old)


@pytest.fixture
def fake_root(tmp_path, monkeypatch):
    """Build packages on disk under tmp_path; their modules leave sys.modules afterwards."""
    monkeypatch.syspath_prepend(str(tmp_path))
    tops = set()

    def build(top="fakepkg", tree=FAKE_TREE, **extra):
        tops.add(top)
        for rel, code in dict(tree, **extra).items():
            path = tmp_path / top / rel
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(code)
        importlib.invalidate_caches()
        return tmp_path / top

    yield build
    for name in list(sys.modules):
        if name.split(".")[0] in tops:
            del sys.modules[name]


@pytest.fixture
def fake_plugins(fake_root, monkeypatch):
    """Install fakepkg.plugins, a real package on disk, as plexor.plugins."""
    def install(**extra):
        fake_root(**extra)
        pkg = importlib.import_module("fakepkg.plugins")
        monkeypatch.setitem(sys.modules, "plexor.plugins", pkg)
        return pkg, sys.modules["fakepkg"].LOG

    return install


def flat_plugins(monkeypatch, path, name="fakepkg.plugins"):
    """A plain module (no __path__) as plexor.plugins."""
    mod = types.ModuleType(name)
    mod.__file__ = str(path)
    monkeypatch.setitem(sys.modules, "plexor.plugins", mod)
    return mod


@contextlib.contextmanager
def name_removed(module, name):
    """Remove a module global; put it back in its place (the namespace order is observable)."""
    ns = vars(module)
    keys, value = list(ns), ns.pop(name)
    try:
        yield
    finally:
        rest = {k: ns.pop(k) for k in keys[keys.index(name) + 1:] if k in ns}
        ns[name] = value
        ns.update(rest)


def recorder(monkeypatch, modname, func, calls):
    def record(*args, **kwargs):
        calls.append((func, args, kwargs))
        return real(*args, **kwargs)

    real = getattr(getattr(pm_module, modname), func)
    monkeypatch.setattr(pm_module, modname, types.SimpleNamespace(**{func: record}))


@pytest.fixture
def stand_ins(monkeypatch):
    """pkgutil/importlib stand-ins: the walker yields `items`, import_module records its calls."""
    state = types.SimpleNamespace(items=[], calls=[])

    def walk_packages(*args, **kwargs):
        state.calls.append(("walk_packages", args, kwargs))
        return state.items() if callable(state.items) else state.items

    def import_module(*args, **kwargs):
        state.calls.append(("import_module", args, kwargs))

    monkeypatch.setattr(pm_module, "pkgutil", types.SimpleNamespace(walk_packages=walk_packages))
    monkeypatch.setattr(pm_module, "importlib", types.SimpleNamespace(import_module=import_module))
    return state


def imported(state):
    return [args + tuple(kwargs.items()) for f, args, kwargs in state.calls
            if f == "import_module"]


# Built-in discovery on the real host package.

def test_builtin_discovery_on_host_package(fresh_host):
    assert PluginManager.discover_builtin_plugins() is None
    for name in HOST_PLUGIN_MODULES:
        assert name in sys.modules
    for name in ("plexor.plugins.generic.tests.test_connection",
                 "plexor.plugins.linux.tests.test_connection"):
        assert name not in sys.modules
    generic = sys.modules["plexor.plugins.generic"]
    linux = sys.modules["plexor.plugins.linux"]
    assert fresh_host.get_plugin(os="generic") is generic.GenericSingleRpConnection
    assert fresh_host.get_plugin(os="generic", chassis_type="dual_rp") is \
        generic.GenericDualRPConnection
    assert fresh_host.get_plugin(os="linux") is linux.LinuxConnection
    assert fresh_host.get_plugin(os="linux", platform="pi") is linux.LinuxPiConnection
    assert PluginManager().discover_builtin_plugins() is None


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((None,), {})])
@pytest.mark.parametrize("which", ["discover_builtin_plugins", "discover_external_plugins"])
def test_discovery_takes_no_arguments(stand_ins, monkeypatch, which, args, kwargs):
    monkeypatch.setattr(pm_module, "iter_entry_points", lambda **kw: stand_ins.calls.append(kw))
    for target in (PluginManager, PluginManager()):
        with pytest.raises(TypeError):
            getattr(target, which)(*args, **kwargs)
    assert stand_ins.calls == []


# Built-in discovery on packages on disk.

def test_filters_and_order_on_disk_package(fake_plugins):
    pkg, log = fake_plugins()
    assert PluginManager.discover_builtin_plugins() is None
    assert log == FAKE_IMPORTED
    assert [n for n in FAKE_SKIPPED if n in sys.modules] == []
    walked = [n for _, n, _ in pkgutil.walk_packages(pkg.__path__, "fakepkg.plugins.")]
    assert [n for n in walked if n in log] == log
    PluginManager.discover_builtin_plugins()
    assert log == FAKE_IMPORTED  # second call: modules come from the cache


def test_package_without_plugins_component_is_skipped(fake_root, monkeypatch):
    fake_root("fakeplug", {"__init__.py": "LOG = []\n",
                           "m.py": "import fakeplug\nfakeplug.LOG.append(__name__)\n"})
    pkg = importlib.import_module("fakeplug")
    monkeypatch.setitem(sys.modules, "plexor.plugins", pkg)
    PluginManager.discover_builtin_plugins()
    assert pkg.LOG == [] and "fakeplug.m" not in sys.modules


def test_walker_gets_the_path_object_and_prefix(stand_ins):
    assert PluginManager.discover_builtin_plugins() is None
    [(f, args, kwargs)] = stand_ins.calls
    assert f == "walk_packages" and kwargs == {} and len(args) == 2
    assert args[0] is plexor.plugins.__path__
    assert args[1] == "plexor.plugins."


@pytest.mark.parametrize("in_handler", [False, True])
def test_plain_module_falls_back_to_its_directory(fake_root, monkeypatch, in_handler):
    pkg_dir = fake_root()
    flat_plugins(monkeypatch, pkg_dir / "plugins" / "__init__.py")
    calls = []
    recorder(monkeypatch, "pkgutil", "walk_packages", calls)
    monkeypatch.setattr(pm_module, "os", types.SimpleNamespace(path=types.SimpleNamespace(
        dirname=lambda *a, **k: calls.append(("dirname", a, k)) or os.path.dirname(*a, **k))))
    mine = KeyError("mine")
    if in_handler:
        try:
            raise mine
        except KeyError:
            PluginManager.discover_builtin_plugins()
            assert sys.exc_info()[1] is mine
    else:
        PluginManager.discover_builtin_plugins()
        assert sys.exc_info() == (None, None, None)
    assert calls == [("dirname", (str(pkg_dir / "plugins" / "__init__.py"),), {}),
                     ("walk_packages", ([str(pkg_dir / "plugins")], "fakepkg.plugins."), {})]
    assert sys.modules["fakepkg"].LOG == FAKE_IMPORTED


@pytest.mark.parametrize("make", [
    lambda mp: mp.setitem(sys.modules, "plexor.plugins", None),
    lambda mp: mp.setitem(sys.modules, "plexor.plugins", types.ModuleType("nofile")),
])
def test_unimportable_plugins_package(stand_ins, monkeypatch, make):
    make(monkeypatch)
    with pytest.raises(ImportError) as info:
        PluginManager.discover_builtin_plugins()
    first = info.value.__context__
    assert isinstance(first, ImportError) and first is not info.value
    assert stand_ins.calls == []


@pytest.mark.parametrize("exc", [RuntimeError, ImportError])
def test_failing_plugin_module_stops_discovery(fake_plugins, exc):
    _, log = fake_plugins(**{"plugins/beta.py": RECORD + "raise %s('beta')\n" % exc.__name__})
    with pytest.raises(exc, match="beta") as info:
        PluginManager.discover_builtin_plugins()
    assert info.value.__context__ is None
    assert log == FAKE_IMPORTED[:3]
    assert "fakepkg.plugins.alpha.test_utils" in sys.modules
    assert "fakepkg.plugins.zeta" not in sys.modules


def test_name_filters_in_walker_order(stand_ins):
    names = ["x.plugins.zz", "x.plugins", "x.pluginsa.b", "plugins.a", "x.plugins.tests",
             "x.plugins.a.tests", "x.plugins.a.tests.b", "x.plugins.tests.b",
             "x.plugins.unittests", "x.plugins.test_utils", "x.plugins.testsx",
             "x.plugins.tests_b", "y.plugins.a.testsuite.b", "x.plugins.a"]
    stand_ins.items = lambda: iter([(object(), n, i % 2 == 0) for i, n in enumerate(names)])
    PluginManager.discover_builtin_plugins()
    expected = [("x.plugins.zz",), ("x.plugins.test_utils",), ("x.plugins.testsx",),
                ("x.plugins.tests_b",), ("y.plugins.a.testsuite.b",), ("x.plugins.a",)]
    assert imported(stand_ins) == expected
    stand_ins.calls.clear()
    PluginManager.discover_builtin_plugins()
    assert imported(stand_ins) == expected


class NotIterable:
    pass


@pytest.mark.parametrize("bad, exc", [
    ((None, "x.plugins.b"), ValueError),
    ((None, "x.plugins.b", False, 4), ValueError),
    (5, TypeError),
    ((None, 5, False), TypeError),  # ".plugins." in 5
])
def test_walker_items_of_wrong_shape(stand_ins, bad, exc):
    stand_ins.items = [(None, "x.plugins.a", False), bad, (None, "x.plugins.c", False)]
    with pytest.raises(exc):
        PluginManager.discover_builtin_plugins()
    assert imported(stand_ins) == [("x.plugins.a",)]


def test_walker_result_not_iterable(stand_ins):
    stand_ins.items = NotIterable()
    with pytest.raises(TypeError):
        PluginManager.discover_builtin_plugins()


class BadBool:
    def __bool__(self):
        raise Boom


class Name(str):
    def endswith(self, *args, **kwargs):
        self.seen.append((args, kwargs))
        return self.result


@pytest.mark.parametrize("result, skipped", [([1], True), ("", False), (0, False), (BadBool(), Boom)])
def test_endswith_of_the_name_decides(stand_ins, result, skipped):
    name = Name("x.plugins.a")
    name.seen, name.result = [], result
    stand_ins.items = [(None, name, False)]
    if skipped is Boom:
        with pytest.raises(Boom):
            PluginManager.discover_builtin_plugins()
    else:
        PluginManager.discover_builtin_plugins()
        assert imported(stand_ins) == ([] if skipped else [(name,)])
    assert name.seen == [(("tests",), {})]


@pytest.mark.parametrize("missing", ["pkgutil", "importlib", "os"])
def test_missing_module_names(stand_ins, monkeypatch, tmp_path, missing):
    stand_ins.items = [(None, "x.plugins.a", False)]
    if missing == "os":
        flat_plugins(monkeypatch, tmp_path / "plugins.py")
    standin = getattr(pm_module, missing)
    with name_removed(pm_module, missing):
        with pytest.raises(NameError, match="'%s'" % missing):
            PluginManager.discover_builtin_plugins()
        monkeypatch.setattr(builtins, missing, standin, raising=False)
        stand_ins.calls.clear()
        PluginManager.discover_builtin_plugins()
    assert imported(stand_ins) == [("x.plugins.a",)]


# External discovery.

def test_external_discovery_loads_installed_distribution(ext_demo_installed, fresh_host,
                                                          debug_log):
    assert PluginManager.discover_external_plugins() is None
    assert "Loading external plugin demo from plexor_ext_demo" in debug_log()
    demo = sys.modules["plexor_ext_demo"]
    assert fresh_host.get_plugin(os="tern", platform="t1") is demo.DemoConnection
    assert PluginManager().discover_external_plugins() is None


def test_external_discovery_of_empty_group(ext_demo_installed, fresh_host, debug_log,
                                           monkeypatch):
    monkeypatch.setattr(pm_module, "ENTRYPOINT_GROUP", "plexor.no_such_group")
    assert PluginManager.discover_external_plugins() is None
    assert debug_log() == [] and "plexor_ext_demo" not in sys.modules


class FakeEntryPoint:
    def __init__(self, events, name, module_name, error=None):
        self.events, self._name, self._module_name, self.error = events, name, module_name, error

    @property
    def name(self):
        self.events.append(("name",))
        return self._name

    @property
    def module_name(self):
        self.events.append(("module_name",))
        return self._module_name

    def load(self, *args, **kwargs):
        self.events.append(("load", self._name, args, kwargs))
        if self.error:
            raise self.error
        return object()


class BadStr:
    def __str__(self):
        raise Boom


@pytest.fixture
def entry_points(monkeypatch):
    """Stand-ins for iter_entry_points and log; everything lands in one event list."""
    state = types.SimpleNamespace(events=[], eps=[])

    def iter_entry_points(*args, **kwargs):
        state.events.append(("iter", args, kwargs))
        return iter(state.eps)

    def debug(*args, **kwargs):
        state.events.append(("debug", args, kwargs))
        if args and args[0].endswith("noisy"):
            raise Boom

    state.add = lambda *a, **k: state.eps.append(FakeEntryPoint(state.events, *a, **k))
    monkeypatch.setattr(pm_module, "iter_entry_points", iter_entry_points)
    monkeypatch.setattr(pm_module, "log", types.SimpleNamespace(debug=debug))
    return state


def announced(name, module_name):
    return [("name",), ("module_name",),
            ("debug", ("Loading external plugin %s from %s" % (name, module_name),), {}),
            ("load", name, (), {})]


def test_external_notice_then_load_in_order(entry_points, monkeypatch):
    entry_points.add("one", "pkg.one")
    entry_points.add(None, None)
    entry_points.add(42, types)
    assert PluginManager.discover_external_plugins() is None
    assert entry_points.events == (
        [("iter", (), {"group": "plexor.plugins"})] + announced("one", "pkg.one")
        + announced(None, None) + announced(42, types))
    monkeypatch.setattr(pm_module, "ENTRYPOINT_GROUP", "other.group")
    entry_points.events.clear()
    entry_points.eps.clear()
    PluginManager.discover_external_plugins()
    assert entry_points.events == [("iter", (), {"group": "other.group"})]


@pytest.mark.parametrize("failing, tail", [
    (dict(name="bad", module_name="m", error=Boom()), ["debug", "load"]),
    (dict(name="bad", module_name="m", error=ImportError()), ["debug", "load"]),
    (dict(name=BadStr(), module_name="m"), []),
    (dict(name="bad", module_name=BadStr()), []),
    (dict(name="bad", module_name="noisy"), ["debug"]),
])
def test_external_failure_stops_discovery(entry_points, failing, tail):
    entry_points.add("first", "m1")
    entry_points.add(**failing)
    entry_points.add("after", "m3")
    with pytest.raises((Boom, ImportError)):
        PluginManager.discover_external_plugins()
    assert entry_points.events[1:5] == announced("first", "m1")
    rest = [e for e in entry_points.events[5:] if e[0] in ("debug", "load")]
    assert [e[0] for e in rest] == tail
    if tail:
        assert rest == announced(failing["name"], failing["module_name"])[2:2 + len(tail)]


@pytest.mark.parametrize("missing", ["iter_entry_points", "ENTRYPOINT_GROUP", "log"])
def test_external_missing_module_names(entry_points, missing):
    entry_points.add("one", "m1")
    with name_removed(pm_module, missing), pytest.raises(NameError, match="'%s'" % missing):
        PluginManager.discover_external_plugins()
