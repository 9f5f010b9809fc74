"""Plugin discovery: built-in plugins of plexor.plugins and installed entry points."""
import builtins
import collections
import contextlib
import importlib
import os
import pkgutil
import sys
import types

import pytest
from test_module import HIDE_PKG_RESOURCES, run_py

import plexor.core.pluginmanager as pm_module
import plexor.plugins
from plexor.core.registry import plugin_manager

PluginManager = pm_module.PluginManager
HOST_PLUGIN_MODULES = ["plexor.plugins.generic", "plexor.plugins.generic.utils",
                       "plexor.plugins.generic.tests", "plexor.plugins.linux",
                       "plexor.plugins.linux.tests"]
RECORD = "import fakepkg\nfakepkg.LOG.append(__name__)\n"
FAKE_TREE = dict({"__init__.py": "LOG = []\n", "plugins/__init__.py": "",
                  "plugins/tests/__init__.py": ""},
                 **{"plugins/%s.py" % name: RECORD for name in [
                     "alpha/__init__", "alpha/tests", "alpha/test_utils", "beta", "tests/x",
                     "unittests", "zeta/__init__", "zeta/inner"]})
FAKE_IMPORTED = ["fakepkg.plugins.alpha", "fakepkg.plugins.alpha.test_utils",
                 "fakepkg.plugins.beta", "fakepkg.plugins.zeta", "fakepkg.plugins.zeta.inner"]


NOTES = sys.version_info >= (3, 11)  # a failing plugin's exception names the plugin


class Boom(Exception):
    pass


@pytest.fixture
def fresh_host(monkeypatch):
    """The host's plugin modules un-imported and an empty host tree; all restored afterwards."""
    monkeypatch.setattr(plugin_manager, "_plugins", {})
    for ns, keys in [(sys.modules, HOST_PLUGIN_MODULES + ["plexor_ext_demo"]),
                     (vars(plexor.plugins), ["generic", "linux"])]:
        for key in keys:
            monkeypatch.setitem(ns, key, None)  # put back, or removed if it was absent
            del ns[key]
    return plugin_manager


@pytest.fixture
def fake_plugins(tmp_path, monkeypatch):
    """Build fakepkg on disk; install(as_module=False) makes fakepkg.plugins plexor.plugins,
    as a package or as a plain module (no __path__). fakepkg leaves sys.modules afterwards."""
    monkeypatch.syspath_prepend(str(tmp_path))

    def install(as_module=False, **extra):
        for rel, code in dict(FAKE_TREE, **extra).items():
            path = tmp_path / "fakepkg" / rel
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(code)
        importlib.invalidate_caches()
        if as_module:
            pkg = types.ModuleType("fakepkg.plugins")
            pkg.__file__ = str(tmp_path / "fakepkg" / "plugins" / "__init__.py")
            importlib.import_module("fakepkg")
        else:
            pkg = importlib.import_module("fakepkg.plugins")
        monkeypatch.setitem(sys.modules, "plexor.plugins", pkg)
        return pkg, sys.modules["fakepkg"].LOG

    yield install
    for name in list(sys.modules):
        if name.split(".")[0] == "fakepkg":
            del sys.modules[name]


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


@pytest.fixture
def stand_ins(monkeypatch):
    """pkgutil/importlib stand-ins: the walker returns `items`; both record their calls."""
    state = types.SimpleNamespace(items=[], walked=[], imported=[])
    monkeypatch.setattr(pm_module, "pkgutil", types.SimpleNamespace(
        walk_packages=lambda *a, **k: state.walked.append((a, k)) or state.items))
    monkeypatch.setattr(pm_module, "importlib", types.SimpleNamespace(
        import_module=lambda *a, **k: state.imported.append(a + tuple(k.items()))))
    return state


# Built-in discovery.

def test_builtin_discovery_on_host_package(fresh_host):
    assert PluginManager.discover_builtin_plugins() is None
    assert all(name in sys.modules for name in HOST_PLUGIN_MODULES)
    assert "plexor.plugins.generic.tests.test_connection" not in sys.modules
    generic = sys.modules["plexor.plugins.generic"]
    linux = sys.modules["plexor.plugins.linux"]
    assert fresh_host.get_plugin(os="generic", chassis_type="dual_rp") is \
        generic.GenericDualRPConnection
    assert fresh_host.get_plugin(os="linux", platform="pi") is linux.LinuxPiConnection
    assert PluginManager().discover_builtin_plugins() is None


def test_filters_and_order_on_disk_package(fake_plugins):
    pkg, log = fake_plugins()
    assert PluginManager.discover_builtin_plugins() is None
    assert log == FAKE_IMPORTED
    assert not {"fakepkg.plugins.alpha.tests", "fakepkg.plugins.tests.x",
                "fakepkg.plugins.unittests"} & set(sys.modules)
    walked = [n for _, n, _ in pkgutil.walk_packages(pkg.__path__, "fakepkg.plugins.")]
    assert [n for n in walked if n in log] == log
    PluginManager.discover_builtin_plugins()
    assert log == FAKE_IMPORTED  # second call: modules come from the cache


def test_name_filters_in_walker_order(stand_ins):
    names = ["x.plugins.zz", "x.plugins", "x.pluginsa.b", "plugins.a", "x.plugins.tests",
             "x.plugins.a.tests", "x.plugins.a.tests.b", "x.plugins.tests.b",
             "x.plugins.unittests", "x.plugins.test_utils", "x.plugins.testsx",
             "x.plugins.tests_b", "y.plugins.a.testsuite.b", "x.plugins.a"]
    stand_ins.items = iter([(object(), n, i % 2 == 0) for i, n in enumerate(names)])
    PluginManager.discover_builtin_plugins()
    [(args, kwargs)] = stand_ins.walked
    assert kwargs == {} and len(args) == 2
    assert args[0] is plexor.plugins.__path__ and args[1] == "plexor.plugins."
    assert stand_ins.imported == [
        ("x.plugins.zz",), ("x.plugins.test_utils",), ("x.plugins.testsx",),
        ("x.plugins.tests_b",), ("y.plugins.a.testsuite.b",), ("x.plugins.a",)]


@pytest.mark.parametrize("in_handler", [False, True])
def test_plain_module_falls_back_to_its_directory(fake_plugins, monkeypatch, in_handler):
    pkg, log = fake_plugins(as_module=True)
    dirnames = []
    monkeypatch.setattr(pm_module, "os", types.SimpleNamespace(path=types.SimpleNamespace(
        dirname=lambda path: dirnames.append(path) or os.path.dirname(path))))
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
    assert dirnames == [pkg.__file__] and log == FAKE_IMPORTED


@pytest.mark.parametrize("plugins", [None, types.ModuleType("nofile")])
def test_unimportable_plugins_package(stand_ins, monkeypatch, plugins):
    monkeypatch.setitem(sys.modules, "plexor.plugins", plugins)
    with pytest.raises(ImportError) as info:
        PluginManager.discover_builtin_plugins()
    first = info.value.__context__
    assert isinstance(first, ImportError) and first is not info.value
    assert stand_ins.walked == stand_ins.imported == []


@pytest.mark.parametrize("exc", [RuntimeError, ImportError])
def test_failing_plugin_module_stops_discovery(fake_plugins, exc):
    _, log = fake_plugins(**{"plugins/beta.py": RECORD + "raise %s('beta')\n" % exc.__name__})
    with pytest.raises(exc, match="beta") as info:
        PluginManager.discover_builtin_plugins()
    assert info.value.__context__ is None
    assert log == FAKE_IMPORTED[:3] and "fakepkg.plugins.zeta" not in sys.modules
    assert getattr(info.value, "__notes__", None) == (
        ["while loading built-in plugin module 'fakepkg.plugins.beta'"] if NOTES else None)


def test_builtin_discovery_imports_through_the_hook_installed_since_load(stand_ins,
                                                                          monkeypatch):
    seen, original = [], builtins.__import__

    def traced(name, globals=None, locals=None, fromlist=(), level=0):
        seen.append((name, tuple(fromlist or ())))
        return original(name, globals, locals, fromlist, level)

    monkeypatch.setattr(builtins, "__import__", traced)
    PluginManager.discover_builtin_plugins()
    assert seen == [("plexor.plugins", ("__path__", "__name__"))]


GOOD, LATER = (None, "x.plugins.a", False), (None, "x.plugins.c", False)


def unpacking_error(items):
    """What a Python loop unpacking the walker's items raises."""
    try:
        for _, name, _ in items:
            _ = ".plugins." in name
    except Exception as error:
        return type(error), str(error)


@pytest.mark.parametrize("items, exc", [
    ([GOOD, (None, "x.plugins.b"), LATER], ValueError),
    ([GOOD, (None, "x.plugins.b", False, 4), LATER], ValueError),
    ([GOOD, [None, "x.plugins.b", False, 4], LATER], ValueError),
    ([GOOD, {None: 1, "x.plugins.b": 2, 4: 3, 5: 4}, LATER], ValueError),
    ([GOOD, collections.deque((None, "x.plugins.b", False, 4)), LATER], ValueError),
    ([GOOD, 5, LATER], TypeError),
    ([GOOD, (None, 5, False), LATER], TypeError),  # ".plugins." in 5
    (5, TypeError),
])
def test_walker_items_of_wrong_shape(stand_ins, items, exc):
    stand_ins.items = items
    with pytest.raises(exc) as info:
        PluginManager.discover_builtin_plugins()
    assert (type(info.value), str(info.value)) == unpacking_error(items)
    assert stand_ins.imported == ([] if items == 5 else [("x.plugins.a",)])


def test_builtin_discovery_without_an_import_function():
    """As an import statement: ImportError when builtins has no __import__."""
    saved = builtins.__import__
    del builtins.__import__
    try:
        PluginManager.discover_builtin_plugins()
    except Exception as error:
        raised = error
    finally:
        builtins.__import__ = saved
    assert type(raised) is ImportError and str(raised) == "__import__ not found"


# External discovery.

def test_external_discovery_loads_installed_distribution(ext_demo_installed, fresh_host,
                                                          debug_log):
    assert PluginManager.discover_external_plugins() is None
    assert "Loading external plugin demo from plexor_ext_demo" in debug_log()
    demo = sys.modules["plexor_ext_demo"]
    assert fresh_host.get_plugin(os="tern", platform="t1") is demo.DemoConnection
    assert PluginManager().discover_external_plugins() is None


class FakeEntryPoint:
    def __init__(self, events, name, module_name, error=None):
        self.events, self.values, self.error = events, (name, module_name), error

    def fetch(self, index):
        self.events.append((("name", "module_name")[index],))
        return self.values[index]

    name = property(lambda self: self.fetch(0))
    module_name = property(lambda self: self.fetch(1))

    def load(self, *args, **kwargs):
        self.events.append(("load", self.values[0], args, kwargs))
        if self.error:
            raise self.error


class BadStr:
    def __str__(self):
        raise Boom


@pytest.fixture
def entry_points(monkeypatch):
    """Stand-ins for iter_entry_points and log; everything lands in one event list."""
    state = types.SimpleNamespace(events=[], eps=[])

    def debug(*args, **kwargs):
        state.events.append(("debug", args, kwargs))
        if args and args[0].endswith("noisy"):
            raise Boom

    state.add = lambda *a, **k: state.eps.append(FakeEntryPoint(state.events, *a, **k))
    monkeypatch.setattr(pm_module, "iter_entry_points",
                        lambda *a, **k: state.events.append(("iter", a, k)) or iter(state.eps))
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
    assert rest == (announced(failing["name"], failing["module_name"])[2:2 + len(tail)]
                    if tail else [])


@pytest.mark.parametrize("missing, which", [
    ("pkgutil", "builtin"), ("importlib", "builtin"), ("os", "builtin"),
    ("iter_entry_points", "external"), ("ENTRYPOINT_GROUP", "external"), ("log", "external"),
])
def test_missing_module_names_fall_back_to_builtins(stand_ins, entry_points, monkeypatch,
                                                    tmp_path, missing, which):
    stand_ins.items = [(None, "x.plugins.a", False)]
    entry_points.add("one", "m1")
    if missing == "os":  # os is only used for a plain module
        plain = types.ModuleType("fakepkg.plugins")
        plain.__file__ = str(tmp_path / "plugins.py")
        monkeypatch.setitem(sys.modules, "plexor.plugins", plain)
    discover = getattr(PluginManager, "discover_%s_plugins" % which)
    standin = getattr(pm_module, missing)
    with name_removed(pm_module, missing):
        with pytest.raises(NameError, match="'%s'" % missing):
            discover()
        monkeypatch.setattr(builtins, missing, standin, raising=False)
        stand_ins.imported.clear()
        entry_points.events.clear()
        discover()
    if which == "builtin":
        assert stand_ins.imported == [("x.plugins.a",)]
    else:
        assert entry_points.events[1:] == announced("one", "m1")


def write_dist(directory, name, version, entry_points, module_code=None):
    """A distribution on disk: metadata, entry points of the group plexor.plugins, a module."""
    info = directory / ("%s-%s.dist-info" % (name.replace(".", "_"), version))
    info.mkdir(parents=True)
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: %s\nVersion: %s\n"
                                   % (name, version))
    (info / "entry_points.txt").write_text("[plexor.plugins]\n" + "".join(
        "%s = %s\n" % item for item in entry_points))
    if module_code is not None:
        (directory / ("%s.py" % entry_points[0][1])).write_text(module_code)


def test_own_enumerator_takes_first_distribution_of_each_name(tmp_path):
    new, old = tmp_path / "new", tmp_path / "old"
    for name in ["zeta", "Alpha.Dist", "mid"]:
        write_dist(new, name, "2.0", [(name[0], "new_" + name[0])])
    write_dist(new, "Zeta", "1.5", [("z", "new_z15")])  # a lower copy in the same directory
    write_dist(old, "alpha_dist", "1.0", [("a", "old_a"), ("o", "old_o")])
    write_dist(old, "other", "1.0", [("x", "old_x")])
    out = run_py(tmp_path, HIDE_PKG_RESOURCES + """
        sys.path[:0] = [%r, %r, %r]
        import plexor.core.pluginmanager as m
        print([(e.name, e.module_name) for e in m.iter_entry_points("plexor.plugins")
               if e.module_name.startswith(("new_", "old_"))])
    """ % (str(new), str(new), str(old)))
    assert out == "%s\n" % [("A", "new_A"), ("m", "new_m"), ("z", "new_z"), ("x", "old_x")]


@pytest.mark.parametrize("enumerator", ["pkg_resources", "own"])
def test_failing_external_plugin_names_itself(tmp_path, enumerator):
    site = tmp_path / "site"
    write_dist(site, "brokenplugin", "1.0", [("broken", "broken_plugin")],
               "raise KeyError('inside')\n")
    out = run_py(tmp_path, (HIDE_PKG_RESOURCES if enumerator == "own" else "") + """
        import os, sys, traceback
        sys.path.insert(0, %r)
        import plexor.core.pluginmanager as m
        try:
            m.PluginManager.discover_external_plugins()
        except KeyError as e:
            where = os.path.basename(traceback.extract_tb(e.__traceback__)[-1].filename)
            print(repr(e), where, getattr(e, "__notes__", None), "plexor_ext_demo" in sys.modules)
    """ % str(site))
    note = ("while loading external plugin 'broken' from module 'broken_plugin' "
            "of distribution 'brokenplugin'")
    assert out == "KeyError('inside') broken_plugin.py %s False\n" % ([note] if NOTES else None)
