"""Module load rules, module namespace, class surface, constructor and the plugins property."""
import ast
import builtins
import importlib
import inspect
import os
import pkgutil
import subprocess
import sys
import textwrap
import types

import pytest

import plexor
import plexor.core.errors
import plexor.plugins
from conftest import PURE_PYTHON, load_pure_python

try:
    import pkg_resources
except ModuleNotFoundError:  # setuptools 82 and later, or none at all
    pkg_resources = None

MODNAME = "plexor.core.pluginmanager"
PROTECTED = " Protected Member, cannot modify Plugins"


PRINT_TREE_HEAD = (" This Method print the plugin list in tree structure\n\n"
                   "        Sample Tree Structure::\n\n")


# The members in class namespace order, taken from the benchmark's pure-Python twin;
# their docstrings as written there (3.13 and later trim the compiled ones).
TWIN = load_pure_python().PluginManager
MEMBERS = [name for name, value in vars(TWIN).items()
           if isinstance(value, (types.FunctionType, property, staticmethod))]
TWIN_SOURCE = next(node for node in ast.parse(PURE_PYTHON.read_text()).body
                   if isinstance(node, ast.ClassDef))
TWIN_DOCS = {node.name: ast.get_docstring(node, clean=False) for node in TWIN_SOURCE.body
             if isinstance(node, ast.FunctionDef)}


def run_py(tmp_path, code):
    """Run ``code`` in a fresh interpreter (RuntimeWarnings are errors); return its stdout."""
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(code))
    proc = subprocess.run(
        [sys.executable, "-W", "ignore::DeprecationWarning", "-W", "error::RuntimeWarning",
         "-W", "ignore:pkg_resources is deprecated:UserWarning", str(script)],
        cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


# ---------------------------------------------------------------- module namespace

def test_namespace_and_module_attributes(pm):
    names = list(vars(pm))
    assert names[-13:] == [
        "__builtins__", "os", "pkgutil", "importlib", "log", "supported_chassis",
        "supported_os", "getfile", "ConnectionInfraError", "iter_entry_points",
        "ENTRYPOINT_GROUP", "PluginManager", "__test__"]
    assert set(names[:-13]) == {"__name__", "__doc__", "__package__", "__loader__",
                                "__spec__", "__file__"}
    expected = [builtins, os, pkgutil, importlib, plexor.log, plexor.plugins.supported_chassis,
                plexor.plugins.supported_os, inspect.getfile,
                plexor.core.errors.ConnectionInfraError]
    assert all(getattr(pm, n) is v for n, v in zip(names[-13:], expected))
    if pkg_resources is not None:
        assert pm.iter_entry_points is pkg_resources.iter_entry_points
    else:
        assert pm.iter_entry_points.__module__ == MODNAME
    assert pm.ENTRYPOINT_GROUP == "plexor.plugins" and type(pm.ENTRYPOINT_GROUP) is str
    assert type(pm.__test__) is dict and pm.__test__ == {}
    assert pm.__name__ == MODNAME and pm.__package__ == "plexor.core"
    assert pm.__doc__ == (
        "\nModule:\n    plexor.core.pluginmanager\n\nDescription:\n"
        "    This module provides\n"
        "    1. Methods for identifying and loading plugin implementations\n"
        "    2. Methods for validating and accessing platform implementation\n")
    assert pm.__loader__ is pm.__spec__.loader
    assert pm.__file__ == pm.__spec__.origin and os.path.isfile(pm.__file__)
    assert not hasattr(pm, "__path__")


# ---------------------------------------------------------------- load rules

@pytest.mark.parametrize("modname, name, exc", [
    ("plexor.plugins", "supported_os", "AttributeError"),
    ("inspect", "getfile", "KeyError"),  # not AttributeError: no fall-back either
])
def test_failed_load_leaves_nothing_then_one_module_for_good(tmp_path, modname, name, exc):
    # A module __getattr__ on the source module sees the half-loaded module object.
    out = run_py(tmp_path, """
        import importlib, sys
        src = importlib.import_module("{modname}")
        saved, seen = src.{name}, []
        del src.{name}
        def hook(attr):  # not named __getattr__: that would hook __main__ too
            seen.append(sys.modules.get("plexor.core.pluginmanager"))
            raise ({exc} if attr == "{name}" else AttributeError)(attr)
        src.__getattr__ = hook
        try:
            import plexor.core.pluginmanager
        except ImportError as e:
            print(str(e))
        assert "plexor.core.pluginmanager" not in sys.modules and seen[-1] is not None
        del src.__getattr__
        src.{name} = saved
        import plexor.core.pluginmanager as m
        assert seen[-1] is not m and not hasattr(seen[-1], "PluginManager")
        assert m.{name} is saved
        assert list(vars(m))[-3:] == ["ENTRYPOINT_GROUP", "PluginManager", "__test__"]
        cls, test = m.PluginManager, m.__test__
        del sys.modules["plexor.core.pluginmanager"]
        import plexor.core.pluginmanager as again
        assert again is m and again.PluginManager is cls and again.__test__ is test
        assert sys.modules["plexor.core.pluginmanager"] is m
        print("ok")
    """.format(modname=modname, name=name, exc=exc))
    assert out == "cannot import name %s\nok\n" % name


def test_from_import_falls_back_to_module_table(tmp_path):
    assert run_py(tmp_path, """
        import sys, types
        import plexor.core.errors as errors
        del errors.ConnectionInfraError
        stand_in = types.ModuleType("plexor.core.errors.ConnectionInfraError")
        sys.modules["plexor.core.errors.ConnectionInfraError"] = stand_in
        import plexor.core.pluginmanager as m
        assert m.ConnectionInfraError is stand_in
        print("ok")
    """) == "ok\n"


HIDE_PKG_RESOURCES = """
        import sys
        sys.modules["pkg_resources"] = None  # the import now fails as for a missing module
"""


def test_without_pkg_resources_entry_points_come_from_importlib_metadata(
        tmp_path, ext_demo_installed):
    out = run_py(tmp_path, HIDE_PKG_RESOURCES + """
        import logging
        logging.basicConfig(level=logging.DEBUG, format="%(message)s", stream=sys.stdout)
        import plexor.core.pluginmanager as m
        own = m.iter_entry_points
        assert own.__module__ == "plexor.core.pluginmanager" and own.__name__ == "iter_entry_points"
        assert "importlib.metadata" not in sys.modules  # imported at the first enumeration
        demo = [e for e in own(group="plexor.plugins") if e.name == "demo"]
        assert len(demo) == 1 and demo[0].module_name == "plexor_ext_demo"
        assert list(own("plexor.plugins", name="nothing")) == []
        assert list(own(group="no such group")) == []
        m.PluginManager.discover_external_plugins()
        print(sorted(n for n in sys.modules if n.startswith("plexor_ext_demo")))
    """)
    assert "Loading external plugin demo from plexor_ext_demo\n" in out
    assert out.endswith("['plexor_ext_demo']\n")


def test_only_a_missing_pkg_resources_is_replaced(tmp_path):
    out = run_py(tmp_path, """
        import sys, types
        broken = types.ModuleType("pkg_resources")
        def fail(name):
            raise ModuleNotFoundError("No module named 'jaraco'", name="jaraco")
        broken.__getattr__ = fail
        sys.modules["pkg_resources"] = broken
        try:
            import plexor.core.pluginmanager
        except ImportError as e:
            print(type(e).__name__, e)
    """)
    assert out == "ModuleNotFoundError No module named 'jaraco'\n"


def test_a_pkg_resources_that_fails_part_way_ends_the_load(tmp_path):
    (tmp_path / "pkg_resources").mkdir()
    (tmp_path / "pkg_resources" / "__init__.py").write_text("from . import missing_part\n")
    out = run_py(tmp_path, """
        try:
            import plexor.core.pluginmanager
        except ImportError as e:
            print(type(e).__name__, e.name)
    """)
    assert out == "ImportError pkg_resources\n"


def test_imports_go_through_builtins_import(tmp_path):
    out = run_py(tmp_path, """
        import builtins, sys
        seen = []
        original = builtins.__import__
        def traced(name, globals=None, locals=None, fromlist=(), level=0):
            if globals is not None and globals.get("__name__") == "plexor.core.pluginmanager":
                seen.append((name, tuple(fromlist or ()), level, type(locals).__name__))
            return original(name, globals, locals, fromlist, level)
        builtins.__import__ = traced
        import plexor.core.pluginmanager as m
        load = list(seen)
        del seen[:]
        m.PluginManager.discover_builtin_plugins()
        print(load[:3])
        print(load[3:7])
        print(seen)
    """)
    assert out.splitlines() == [
        "[('os', (), 0, 'dict'), ('pkgutil', (), 0, 'dict'), ('importlib', (), 0, 'dict')]",
        "[('plexor', ('log',), 0, 'dict'), ('plexor.plugins', ('supported_chassis', "
        "'supported_os'), 0, 'dict'), ('inspect', ('getfile',), 0, 'dict'), "
        "('errors', ('ConnectionInfraError',), 1, 'dict')]",
        "[('plexor.plugins', ('__path__', '__name__'), 0, 'dict')]",
    ]


def test_builtins_are_looked_up_at_load(tmp_path):
    # Each failed load leaves nothing behind, so the next attempt loads afresh.
    names = ["object", "property", "staticmethod", "ImportError", "hex", "id"]
    out = run_py(tmp_path, """
        import builtins
        for name in %r:
            saved = getattr(builtins, name)
            delattr(builtins, name)
            try:
                import plexor.core.pluginmanager
            except NameError as e:
                print(str(e))
            setattr(builtins, name, saved)
        import plexor.core.pluginmanager
    """ % names)
    assert out == "".join("name '%s' is not defined\n" % n for n in names)


def test_subinterpreter_is_refused(tmp_path):
    try:
        import _xxsubinterpreters  # noqa: F401
    except ImportError:
        pytest.skip("no _xxsubinterpreters on this interpreter")
    out = run_py(tmp_path, """
        import _xxsubinterpreters as sub
        import plexor.core.pluginmanager
        try:
            interp = sub.create(isolated=False)
        except TypeError:
            interp = sub.create()
        try:
            sub.run_string(interp, "import plexor.core.pluginmanager")
        except sub.RunFailedError as e:
            print(str(e))
        finally:
            sub.destroy(interp)
    """)
    assert "ImportError" in out
    assert ("Interpreter change detected - this module can only be loaded into one "
            "interpreter per process.\n") in out


# ---------------------------------------------------------------- class surface

def test_class_attributes(pm):
    cls = pm.PluginManager
    assert type(cls) is type and cls.__bases__ == (object,)
    assert (cls.__module__, cls.__qualname__, cls.__name__) == (MODNAME, "PluginManager",
                                                                "PluginManager")
    assert cls.__doc__ == ("\n        Loads all plugin implementation,\n"
                           "        provides API's for accessing plugins\n    ")
    assert list(vars(cls)) == ["__module__", "__doc__", *MEMBERS, "__dict__", "__weakref__"]


@pytest.mark.parametrize("name", MEMBERS)
def test_member_surface(pm, name):
    obj, twin = vars(pm.PluginManager)[name], vars(TWIN)[name]
    ftype = type(vars(pm.PluginManager)["__init__"])
    if type(twin) is property:
        assert type(obj) is property and obj.fdel is None and obj.__doc__ == TWIN_DOCS[name]
        pairs = [(obj.fget, twin.fget), (obj.fset, twin.fset)]
    elif type(twin) is staticmethod:
        assert type(obj) is staticmethod
        pairs = [(obj.__func__, twin.__func__)]
    else:
        pairs = [(obj, twin)]
    for func, model in pairs:
        assert type(func) is ftype
        assert func.__name__ == name and func.__qualname__ == "PluginManager." + name
        assert func.__module__ == MODNAME and func.__defaults__ == model.__defaults__
        assert func.__doc__ == TWIN_DOCS[name]
    if name == "print_tree":
        assert obj.__doc__.startswith(PRINT_TREE_HEAD) and obj.__doc__.endswith("\n\n        ")
        assert "|__ dual_rp" in obj.__doc__


# ---------------------------------------------------------------- constructor

def test_constructor_state(pm):
    a, b = pm.PluginManager(), pm.PluginManager()
    assert type(a._plugins) is dict and a._plugins == {} and a._plugins is not b._plugins
    assert a.chassis_type_list is b.chassis_type_list is pm.supported_chassis
    assert a.supported_os is b.supported_os is pm.supported_os
    assert list(vars(a)) == ["_plugins", "chassis_type_list", "supported_os"]
    assert a.__init__() is None
    a.anything = a.validate_os = 1
    assert vars(a)["anything"] == 1 and a.validate_os == 1


@pytest.mark.parametrize("name, attr, set_before", [
    ("supported_chassis", "chassis_type_list", ["_plugins"]),
    ("supported_os", "supported_os", ["_plugins", "chassis_type_list"]),
])
def test_module_names_are_read_at_each_construction(pm, monkeypatch, name, attr, set_before):
    before, ns = pm.PluginManager(), vars(pm)
    saved = dict(ns)
    try:  # the namespace is put back whole afterwards: its order is observable
        del ns[name]
        obj = pm.PluginManager.__new__(pm.PluginManager)
        with pytest.raises(NameError, match=r"^name '%s' is not defined$" % name):
            obj.__init__()
        assert list(vars(obj)) == set_before
        from_builtins = ["from-builtins"]
        monkeypatch.setattr(builtins, name, from_builtins, raising=False)
        assert getattr(pm.PluginManager(), attr) is from_builtins
        ns[name] = rebound = ["rebound"]
        assert getattr(pm.PluginManager(), attr) is rebound
    finally:
        ns.clear()
        ns.update(saved)
    assert getattr(before, attr) is getattr(plexor.plugins, name)


# ---------------------------------------------------------------- plugins property

def test_plugins_getter_is_live_and_cannot_be_deleted(mgr):
    assert mgr.plugins is mgr._plugins
    mgr.plugins["generic"] = {}
    assert mgr._plugins == {"generic": {}}
    with pytest.raises(AttributeError):
        del mgr.plugins
    mgr._plugins = other = {"x": 1}
    assert mgr.plugins is other
    del mgr._plugins
    with pytest.raises(AttributeError, match="_plugins"):
        mgr.plugins


@pytest.mark.parametrize("value", [None, "current"])
def test_plugins_assignment_is_refused(mgr, value):
    tree = mgr._plugins
    tree["generic"] = {}
    value = tree if value == "current" else value
    for assign in (lambda: setattr(mgr, "plugins", value),
                   lambda: type(mgr).plugins.fset(mgr, value)):
        with pytest.raises(Exception) as info:
            assign()
        assert type(info.value) is Exception and info.value.args == (PROTECTED,)
    assert mgr._plugins is tree and tree == {"generic": {}}
