"""Attribute access on self: what the methods find must be what plain attribute
access finds, however the class and the instance dictionary change, and the
direct path must be taken where nothing overrides the module's own members."""
import sys

import pytest

import plexor.core.pluginmanager as pm_module
from conftest import refused


class ConnA:
    pass


class ConnB:
    pass


def runtime_key(*parts):
    """A text key built at run time, so not interned."""
    key = "".join(parts)
    assert key is not "".join(parts)  # noqa: F632 - two builds, two objects
    return key


@pytest.mark.parametrize("name, good, bad, call, request_args", [
    ("chassis_type_list", ["single_rp", "weird"], ["single_rp"],
     lambda m: m.validate_chassis_type("weird"), ("generic", None, None, "weird")),
    ("supported_os", ["generic", "weird"], ["generic"],
     lambda m: m.validate_os("weird"), ("weird", None, None, "single_rp")),
])
def test_class_property_wins_over_the_instance_dictionary(name, good, bad, call, request_args,
                                                          debug_log):
    class Sub(pm_module.PluginManager):
        pass

    m = Sub()
    m.__dict__[name] = bad
    setattr(Sub, name, property(lambda self: good))
    assert getattr(m, name) is good
    for _ in range(3):  # the first call and calls answered from a cache
        call(m)
        m.validate_arguments(*request_args)
    assert debug_log("weird is not part") == []
    setattr(Sub, name, property(lambda self: bad))
    if name == "chassis_type_list":
        refused(lambda: call(m), "chassis Type should be one of these ['single_rp'], but got weird")
    else:
        call(m)
        assert debug_log("weird is not part") == ["weird is not part of the built-in list of "
                                                  "supported OSes."]


def test_instance_override_under_a_key_made_at_run_time():
    m = pm_module.PluginManager()
    m.register_plugin(ConnA, os="generic")
    seen = []
    for _ in range(3):  # warm every cache first
        assert m.get_plugin(os="generic") is ConnA
        assert repr(m).startswith("plugins (")
    m.__dict__[runtime_key("validate_", "os")] = lambda os: seen.append(("os", os))
    m.__dict__[runtime_key("print_", "tree")] = (
        lambda data, output="plugin": seen.append("tree") or "T")
    for _ in range(3):
        assert m.get_plugin(os="generic") is ConnA
        assert repr(m) == "T"
        assert m.print_tree({"a": "b"}) == "T"
    assert seen == [("os", "generic"), "tree", "tree"] * 3
    del m.__dict__["validate_os"], m.__dict__["print_tree"]
    assert m.get_plugin(os="generic") is ConnA
    assert repr(m).startswith("plugins (")
    assert len(seen) == 9


def test_instance_attributes_changed_between_calls_by_compiled_python_code():
    # Python code that runs often enough is specialised by the interpreter;
    # its attribute stores must still be seen by the next call.
    m = pm_module.PluginManager()
    m.register_plugin(ConnA, os="generic")
    m.register_plugin(ConnB, os="linux")
    trees = [m._plugins, {"generic": {"data": {"single_rp": {"cls": ConnB}}}}]

    def flip(i):
        m._plugins = trees[i % 2]
        return m.get_plugin(os="generic")

    assert [flip(i) for i in range(400)] == [ConnA, ConnB] * 200


def test_class_changed_between_calls():
    class Sub(pm_module.PluginManager):
        pass

    m = Sub()
    m.register_plugin(ConnA, os="generic")
    assert m.get_plugin(os="generic") is ConnA
    Sub.validate_os = lambda self, os: (_ for _ in ()).throw(KeyError(os))
    with pytest.raises(KeyError):
        m.get_plugin(os="generic")
    del Sub.validate_os
    assert m.get_plugin(os="generic") is ConnA
    m.__class__ = pm_module.PluginManager
    assert m.get_plugin(os="generic") is ConnA


class CountingDict(dict):
    def __init__(self, *args):
        super().__init__(*args)
        self.reads = []

    def __getitem__(self, key):
        self.reads.append(key)
        return super().__getitem__(key)

    def __contains__(self, key):
        self.reads.append(("in", key))
        return super().__contains__(key)


class SecondReadDiffers(dict):
    """Answers the second read of a key with another record."""

    def __init__(self, *args):
        super().__init__(*args)
        self.count = 0

    def __getitem__(self, key):
        self.count += 1
        if self.count == 2:
            return {"cls": ConnB}
        return super().__getitem__(key)


def test_lookup_reads_the_plugin_data_as_written(mgr):
    data = CountingDict({"single_rp": {"cls": ConnA, "path": "f"}})
    node = CountingDict({"data": data})
    mgr._plugins = {"generic": node}
    assert mgr.get_plugin(os="generic") is ConnA
    assert node.reads == [("in", "data"), "data", "data"]
    assert data.reads == [("in", "single_rp"), "single_rp"]

    mgr._plugins = {"generic": {"data": SecondReadDiffers(data)}}
    assert mgr.get_plugin(os="generic") is ConnA


stats = getattr(sys.modules.get("plexor.core._pluginmanager_stats"), "dispatch_stats", None)


@pytest.mark.skipif(stats is None, reason="needs a build with dispatch counters (./dev test)")
def test_direct_path_is_taken():
    m = pm_module.PluginManager()
    m.register_plugin(ConnA, os="generic")
    m.register_plugin(ConnB, os="generic", platform="p", model="m", os_flavor="f",
                      chassis_type="dual_rp")
    tree = {"a": {"b": {"c": "d"}, "e": "f"}, "g": "h"}

    def workload():
        m.get_plugin(os="generic")
        m.get_plugin("generic", "p", "m", "f", "dual_rp")
        m.validate_arguments("generic", "p", "m", "single_rp")
        m.register_plugin(ConnA, os="nimbus", platform="x")
        m.unregister_plugin(os="nimbus", platform="x")
        m.print_tree(tree)
        repr(m)

    for _ in range(2):  # the first calls fill the caches
        workload()
    before = stats()
    for _ in range(50):
        workload()
    assert stats() == before, "a member went through generic attribute access"

    class Traced(pm_module.PluginManager):
        def __getattribute__(self, name):  # attribute access the module cannot predict
            return super().__getattribute__(name)

    m = Traced()
    m.register_plugin(ConnA, os="generic")
    m.get_plugin(os="generic")
    assert stats() != before
