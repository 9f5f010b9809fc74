"""Module load rules, module namespace, class surface, constructor and the plugins property."""
import builtins
import importlib
import inspect
import os
import pkgutil
import subprocess
import sys
import textwrap

import pkg_resources
import pytest

import plexor
import plexor.core.errors
import plexor.plugins

MODNAME = "plexor.core.pluginmanager"

MEMBERS = [
    "__init__", "plugins", "validate_model", "validate_platform", "validate_os",
    "validate_chassis_type", "validate_arguments", "get_plugin", "unregister_plugin",
    "register_plugin", "discover_builtin_plugins", "discover_external_plugins",
    "print_tree", "__repr__",
]

DEFAULTS = {
    "__init__": None, "validate_model": None, "validate_platform": None,
    "validate_os": None, "validate_chassis_type": None, "validate_arguments": None,
    "get_plugin": (None, None, None, None, "single_rp"),
    "unregister_plugin": (None, None, None, None, None),
    "register_plugin": (None, None, None, None, "single_rp"),
    "discover_builtin_plugins": None, "discover_external_plugins": None,
    "print_tree": ("plugin",), "__repr__": None,
}

DOCS = {
    "__init__": "\n            Initialize\n        ",
    "validate_model": "\n         Validates Model\n        ",
    "validate_platform": "\n         Validates platform\n        ",
    "validate_os": "\n         Validates OS\n        ",
    "validate_chassis_type": "\n         Validate chassis\n        ",
    "validate_arguments": " Validates the input arguments provided\n        ",
    "get_plugin": "\n            This method returns the connection class based on the\n"
                  "            input details provided\n        ",
    "unregister_plugin": "\n            This method unregister a particular implementations from\n"
                         "            the internal database\n        ",
    "register_plugin": (
        "\n            This method registers all the implementation plugin(i.e connection class)\n"
        "            to the plexor plugin manager\n\n"
        "            It takes OS, platform, MODEL information and based on that\n"
        "            registers it\n\n"
        "            cls refer to the connection class\n"
        "            chassis_type indicates if the connection class is for single_rp or\n"
        "            dual_rp or stack(default single_rp)\n\n        "),
    "discover_builtin_plugins": "loads all plugins",
    "discover_external_plugins":
        "\n        discover external plugins defined that users pip installed.\n        ",
    "__repr__": None,
}

PROTECTED = " Protected Member, cannot modify Plugins"


def run_py(tmp_path, code, *flags):
    """Run ``code`` in a fresh interpreter; return its stdout (the run must succeed)."""
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(code))
    proc = subprocess.run(
        [sys.executable, "-W", "ignore::DeprecationWarning",
         "-W", "ignore:pkg_resources is deprecated:UserWarning", *flags, str(script)],
        cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        universal_newlines=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def member_functions(cls):
    """(name, function) for every function object among the members, accessors included."""
    for name in MEMBERS:
        obj = vars(cls)[name]
        if isinstance(obj, property):
            yield name, obj.fget
            yield name, obj.fset
        elif isinstance(obj, staticmethod):
            yield name, obj.__func__
        else:
            yield name, obj


# ---------------------------------------------------------------- module namespace

def test_namespace_names_in_binding_order(pm):
    names = list(vars(pm))
    assert names[-13:] == [
        "__builtins__", "os", "pkgutil", "importlib", "log", "supported_chassis",
        "supported_os", "getfile", "ConnectionInfraError", "iter_entry_points",
        "ENTRYPOINT_GROUP", "PluginManager", "__test__"]
    assert set(names[:-13]) == {"__name__", "__doc__", "__package__", "__loader__",
                                "__spec__", "__file__"}


def test_namespace_values(pm):
    assert pm.__builtins__ is builtins
    assert pm.os is os and pm.pkgutil is pkgutil and pm.importlib is importlib
    assert pm.log is plexor.log
    assert pm.supported_chassis is plexor.plugins.supported_chassis
    assert pm.supported_os is plexor.plugins.supported_os
    assert pm.getfile is inspect.getfile
    assert pm.ConnectionInfraError is plexor.core.errors.ConnectionInfraError
    assert pm.iter_entry_points is pkg_resources.iter_entry_points
    assert pm.ENTRYPOINT_GROUP == "plexor.plugins" and type(pm.ENTRYPOINT_GROUP) is str
    assert type(pm.__test__) is dict and pm.__test__ == {}


def test_creation_attributes(pm):
    assert pm.__name__ == MODNAME
    assert pm.__doc__ == (
        "\nModule:\n    plexor.core.pluginmanager\n\nDescription:\n"
        "    This module provides\n"
        "    1. Methods for identifying and loading plugin implementations\n"
        "    2. Methods for validating and accessing platform implementation\n")
    assert pm.__loader__ is pm.__spec__.loader
    assert pm.__file__ == pm.__spec__.origin and os.path.isfile(pm.__file__)
    assert pm.__package__ == "plexor.core"
    assert not hasattr(pm, "__path__")


# ---------------------------------------------------------------- load rules

def test_second_import_gives_same_module_and_class(tmp_path):
    out = run_py(tmp_path, """
        import sys
        import plexor.core.pluginmanager as first
        cls, test = first.PluginManager, first.__test__
        del sys.modules["plexor.core.pluginmanager"]
        import plexor.core.pluginmanager as second
        assert second is first and second.PluginManager is cls
        assert second.__test__ is test
        assert sys.modules["plexor.core.pluginmanager"] is first
        print("ok")
    """)
    assert out == "ok\n"


@pytest.mark.parametrize("modname, name, exc", [
    ("plexor.plugins", "supported_os", "AttributeError"),
    ("inspect", "getfile", "KeyError"),  # not AttributeError: no fall-back either
])
def test_failed_load_leaves_nothing_and_reload_is_fresh(tmp_path, modname, name, exc):
    # A module __getattr__ on the source module sees the half-loaded module object.
    out = run_py(tmp_path, """
        import importlib, sys
        src = importlib.import_module("{modname}")
        saved = src.{name}
        del src.{name}
        seen = []
        def __getattr__(attr):
            if attr != "{name}":
                raise AttributeError(attr)
            seen.append(sys.modules.get("plexor.core.pluginmanager"))
            raise {exc}(attr)
        src.__getattr__ = __getattr__
        try:
            import plexor.core.pluginmanager
        except ImportError as e:
            print(str(e))
        assert "plexor.core.pluginmanager" not in sys.modules
        del src.__getattr__
        src.{name} = saved
        import plexor.core.pluginmanager as m
        half = seen[-1]
        assert half is not None and half is not m and all(h is half for h in seen)
        assert half.supported_chassis is m.supported_chassis
        assert not hasattr(half, "{name}") and not hasattr(half, "PluginManager")
        assert m.{name} is saved
        assert list(vars(m))[-3:] == ["ENTRYPOINT_GROUP", "PluginManager", "__test__"]
        print("ok")
    """.format(modname=modname, name=name, exc=exc))
    assert out == "cannot import name %s\nok\n" % name


def test_from_import_falls_back_to_module_table(tmp_path):
    out = run_py(tmp_path, """
        import sys, types
        import plexor.core.errors as errors
        del errors.ConnectionInfraError
        stand_in = types.ModuleType("plexor.core.errors.ConnectionInfraError")
        sys.modules["plexor.core.errors.ConnectionInfraError"] = stand_in
        import plexor.core.pluginmanager as m
        assert m.ConnectionInfraError is stand_in
        print("ok")
    """)
    assert out == "ok\n"


@pytest.mark.parametrize("name", ["object", "property", "staticmethod", "ImportError",
                                  "hex", "id"])
def test_missing_builtin_fails_load(tmp_path, name):
    out = run_py(tmp_path, """
        import builtins
        del builtins.%s
        try:
            import plexor.core.pluginmanager
        except NameError as e:
            print(str(e))
    """ % name)
    assert out == "name '%s' is not defined\n" % name


def test_builtins_hex_and_id_are_kept_from_load(tmp_path):
    (tmp_path / "plugin_mod.py").write_text("class Conn:\n    pass\n")
    out = run_py(tmp_path, """
        import builtins
        import plexor.core.pluginmanager as m
        from plugin_mod import Conn
        mgr = m.PluginManager()
        mgr.register_plugin(Conn, os="generic")
        expected = "plugins (%s at %s) " % (type(mgr), hex(id(mgr)))
        builtins.hex = lambda value: "HEX"
        builtins.id = lambda value: 0
        print(repr(mgr).startswith(expected))
    """)
    assert out == "True\n"


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


def test_no_version_warning_on_matching_interpreter(tmp_path):
    assert run_py(tmp_path, "import plexor.core.pluginmanager; print('ok')",
                  "-W", "error::RuntimeWarning") == "ok\n"


# ---------------------------------------------------------------- class surface

def test_class_attributes(pm):
    cls = pm.PluginManager
    assert type(cls) is type and cls.__bases__ == (object,)
    assert cls.__module__ == MODNAME and cls.__qualname__ == "PluginManager"
    assert cls.__name__ == "PluginManager"
    assert cls.__doc__ == ("\n        Loads all plugin implementation,\n"
                           "        provides API's for accessing plugins\n    ")
    assert list(vars(cls)) == ["__module__", "__doc__", *MEMBERS, "__dict__", "__weakref__"]


def test_member_kinds(pm):
    ns = vars(pm.PluginManager)
    ftype = type(ns["__init__"])
    prop = ns["plugins"]
    assert type(prop) is property and prop.fdel is None
    assert type(prop.fget) is ftype and type(prop.fset) is ftype
    for name in ("discover_builtin_plugins", "discover_external_plugins"):
        assert type(ns[name]) is staticmethod and type(ns[name].__func__) is ftype
    for name in set(MEMBERS) - {"plugins", "discover_builtin_plugins",
                                "discover_external_plugins"}:
        assert type(ns[name]) is ftype, name


def test_member_function_attributes(pm):
    for name, func in member_functions(pm.PluginManager):
        assert func.__name__ == name
        assert func.__qualname__ == "PluginManager." + name
        assert func.__module__ == MODNAME
        if name == "plugins":
            assert func.__doc__ == " Plugin list getter\n        "
            assert func.__defaults__ is None
        else:
            assert func.__defaults__ == DEFAULTS[name], name
            if name != "print_tree":
                assert func.__doc__ == DOCS[name], name
    assert pm.PluginManager.__repr__.__doc__ is None
    assert vars(pm.PluginManager)["plugins"].__doc__ == " Plugin list getter\n        "


def test_print_tree_docstring(pm):
    doc = pm.PluginManager.print_tree.__doc__
    assert doc.startswith(" This Method print the plugin list in tree structure\n\n"
                          "        Sample Tree Structure::\n\n")
    assert doc.endswith("\n\n        ")
    sample = doc.split("Sample Tree Structure::\n\n", 1)[1]
    for word in ("generic", "data", "dual_rp", "single_rp", "cls", "path"):
        assert word in sample


# ---------------------------------------------------------------- constructor

def test_constructor_state(pm):
    a, b = pm.PluginManager(), pm.PluginManager()
    assert type(a._plugins) is dict and a._plugins == {}
    assert a._plugins is not b._plugins
    assert a.chassis_type_list is b.chassis_type_list is pm.supported_chassis
    assert a.supported_os is b.supported_os is pm.supported_os
    assert list(vars(a)) == ["_plugins", "chassis_type_list", "supported_os"]
    assert a.__init__() is None


def test_rebinding_module_name_reaches_only_later_managers(pm, monkeypatch):
    before = pm.PluginManager()
    new_os, new_chassis = ["x"], ["y"]
    monkeypatch.setattr(pm, "supported_os", new_os)
    monkeypatch.setattr(pm, "supported_chassis", new_chassis)
    after = pm.PluginManager()
    assert after.supported_os is new_os and after.chassis_type_list is new_chassis
    assert before.supported_os is plexor.plugins.supported_os
    assert before.chassis_type_list is plexor.plugins.supported_chassis


def test_module_name_falls_back_to_builtins(pm, monkeypatch):
    stand_in = ["from-builtins"]
    monkeypatch.delattr(pm, "supported_os")
    monkeypatch.setattr(builtins, "supported_os", stand_in, raising=False)
    assert pm.PluginManager().supported_os is stand_in


@pytest.mark.parametrize("name, set_before", [
    ("supported_chassis", ["_plugins"]),
    ("supported_os", ["_plugins", "chassis_type_list"]),
])
def test_missing_module_name_gives_name_error(pm, monkeypatch, name, set_before):
    monkeypatch.delattr(pm, name)
    with pytest.raises(NameError, match=r"^name '%s' is not defined$" % name):
        pm.PluginManager()
    obj = pm.PluginManager.__new__(pm.PluginManager)
    with pytest.raises(NameError):
        obj.__init__()
    assert list(vars(obj)) == set_before


@pytest.fixture
def recording_cls(pm):
    class Recording(pm.PluginManager):
        def __init__(self, extra):
            self.assigned = []
            super().__init__()
            self.extra = extra

        def __setattr__(self, name, value):
            if name != "assigned":
                self.assigned.append(name)
            super().__setattr__(name, value)

    return Recording


def test_subclass_init_and_setattr_hook(recording_cls, pm):
    obj = recording_cls(5)
    assert obj.assigned == ["_plugins", "chassis_type_list", "supported_os", "extra"]
    assert obj._plugins == {} and obj.supported_os is pm.supported_os
    assert obj.extra == 5 and isinstance(obj, pm.PluginManager)


def test_instances_accept_arbitrary_attributes(mgr):
    mgr.anything = 1
    mgr.validate_os = None
    assert vars(mgr)["anything"] == 1 and mgr.validate_os is None


# ---------------------------------------------------------------- plugins property

def test_plugins_getter_is_live(mgr):
    assert mgr.plugins is mgr._plugins
    mgr.plugins["generic"] = {}
    assert mgr._plugins == {"generic": {}}
    other = {"x": 1}
    mgr._plugins = other
    assert mgr.plugins is other
    del mgr._plugins
    with pytest.raises(AttributeError, match="_plugins"):
        mgr.plugins


@pytest.mark.parametrize("value", [None, {}, "current"])
def test_plugins_assignment_is_refused(mgr, value):
    tree = mgr._plugins
    tree["generic"] = {}
    value = tree if value == "current" else value
    with pytest.raises(Exception) as info:
        mgr.plugins = value
    assert type(info.value) is Exception and info.value.args == (PROTECTED,)
    with pytest.raises(Exception) as info:
        type(mgr).plugins.fset(mgr, value)
    assert type(info.value) is Exception and info.value.args == (PROTECTED,)
    assert mgr._plugins is tree and tree == {"generic": {}}


def test_plugins_cannot_be_deleted(mgr):
    with pytest.raises(AttributeError):
        del mgr.plugins
    assert mgr.plugins is mgr._plugins
