"""Registration, lookup and unregistration on the plugin tree."""
import inspect

import pytest

from plexor.core.errors import ConnectionInfraError


class C1:
    pass


class C2:
    pass


class C3:
    pass


FILE = inspect.getfile(C1)
OS_LIST = "['generic', 'linux', 'nimbus', 'tern', 'quill']"


def rec(cls, path=FILE):
    return {"cls": cls, "path": path}


def chain(keys, leaf):
    for key in reversed(keys):
        leaf = {key: leaf}
    return leaf


def frozen(node):
    """Order-sensitive snapshot of a tree (classes compare by identity)."""
    if isinstance(node, dict):
        return tuple((k, frozen(v)) for k, v in node.items())
    return node


def refused(call, message):
    with pytest.raises(ConnectionInfraError) as info:
        call()
    assert type(info.value) is ConnectionInfraError
    assert info.value.args == (message,)


def not_found(path, chassis="single_rp"):
    return "Plugin data not found for (%s), type: %s " % ("/".join(path), chassis)


class Boom(Exception):
    pass


# -- registration -----------------------------------------------------------------

def test_first_registration_and_records(mgr, debug_log):
    assert mgr.register_plugin(C1, os="generic") is None
    assert mgr._plugins == {"generic": {"data": {"single_rp": rec(C1)}}}
    record = mgr._plugins["generic"]["data"]["single_rp"]
    assert type(record) is dict and list(record) == ["cls", "path"]
    assert record["cls"] is C1
    mgr.register_plugin(C2, "generic", chassis_type="dual_rp")
    data = mgr._plugins["generic"]["data"]
    assert list(data) == ["single_rp", "dual_rp"] and data["dual_rp"]["cls"] is C2
    assert debug_log() == []
    mgr.register_plugin(C3, os="generic")
    assert debug_log() == [" C1 already registered for ['generic'], C3 from %s "
                           "is overriding this class" % C3.__module__]
    assert mgr._plugins["generic"]["data"] is data
    assert list(data) == ["single_rp", "dual_rp"]
    assert data["single_rp"] == rec(C3) and data["single_rp"] is not record
    assert record == rec(C1)          # the old record is not changed in place


def test_override_notice_names_the_full_path(mgr, debug_log):
    mgr.register_plugin(C1, "generic", "p", "m", "f", "stack")
    mgr.register_plugin(C2, "generic", "p", "m", "f", "stack")
    assert debug_log() == [" C1 already registered for ['generic', 'p', 'm', 'f'], "
                           "C2 from %s is overriding this class" % C2.__module__]


@pytest.mark.parametrize("kwargs, path", [
    (dict(os="generic"), ["generic"]),
    (dict(os="generic", platform="p"), ["generic", "p"]),
    (dict(os="generic", platform="p", model="m"), ["generic", "p", "m"]),
    (dict(os="generic", os_flavor="f"), ["generic", "f"]),
    (dict(os="generic", platform="p", os_flavor="f"), ["generic", "p", "f"]),
    (dict(os="generic", platform="p", model="m", os_flavor="f"), ["generic", "p", "m", "f"]),
    (dict(os="generic", platform=""), ["generic", ""]),
    (dict(os="generic", platform="p", model=""), ["generic", "p", ""]),
    (dict(os="linux", platform=None, model="", os_flavor=0), ["linux", None, "", 0]),
    (dict(os=5, os_flavor=("a", "b")), [5, ("a", "b")]),
])
def test_path_rule(mgr, kwargs, path):
    mgr.register_plugin(C1, chassis_type="stack", **kwargs)
    assert mgr._plugins == chain(path, {"data": {"stack": rec(C1)}})
    assert mgr.get_plugin(chassis_type="stack", **kwargs) is C1
    mgr.unregister_plugin(**kwargs)
    assert mgr._plugins == chain(path, {})


def test_nodes_hold_data_and_children_and_selectors_meet(mgr):
    mgr.register_plugin(C1, os="x")
    mgr.register_plugin(C2, os="x", platform="p")
    assert mgr._plugins == {"x": {"data": {"single_rp": rec(C1)},
                                  "p": {"data": {"single_rp": rec(C2)}}}}
    mgr.register_plugin(C3, os="x", os_flavor="f")
    assert mgr.get_plugin(os="x", platform="f") is C3
    assert mgr.get_plugin(os="x", platform="p", os_flavor="f") is C2


def test_data_is_not_a_reserved_selector(mgr):
    mgr.register_plugin(C1, os="generic")
    mgr.register_plugin(C2, os="generic", os_flavor="data")
    assert mgr._plugins == {"generic": {"data": {
        "single_rp": rec(C1), "data": {"single_rp": rec(C2)}}}}
    assert mgr.get_plugin(os="generic") is C1
    assert mgr.get_plugin(os="generic", os_flavor="data") is C2


def test_getfile_is_looked_up_at_each_call(mgr, pm, monkeypatch):
    monkeypatch.setattr(pm, "getfile", lambda cls: ("fake", type(cls).__name__))
    mgr.register_plugin(C1, os="generic")
    mgr.register_plugin(42, os="generic", chassis_type="stack")
    assert mgr._plugins["generic"]["data"] == {"single_rp": rec(C1, ("fake", "type")),
                                               "stack": rec(42, ("fake", "int"))}
    monkeypatch.delattr(pm, "getfile")
    with pytest.raises(NameError):
        mgr.register_plugin(C2, os="nimbus")
    assert list(mgr._plugins) == ["generic"]


def test_request_prefix_calls_validate_arguments_positionally(pm):
    seen = []

    class Mgr(pm.PluginManager):
        def validate_arguments(self, *args, **kw):
            seen.append((args, kw))

    m = Mgr()
    m.register_plugin(C1, "A", "B", "C", "F", "K")
    m.get_plugin("A", "B", "C", "F", "K")
    m.unregister_plugin("A", "B", "C", "F", "K")
    m.register_plugin(C1)
    assert seen == [(("A", "B", "C", "K"), {})] * 2 + [(("A", "B", "C", "single_rp"), {}),
                                                      ((None, None, None, "single_rp"), {})]
    assert m._plugins == {"A": {"B": {"C": {"F": {"data": {}}}}},
                          None: {"data": {"single_rp": rec(C1)}}}


# -- refused or failed registrations leave the tree exactly as it was ----------------------

class Unhashable:
    __hash__ = None

    def __bool__(self):
        return True


@pytest.mark.parametrize("args, kwargs, exc", [
    ((C2,), dict(os=None), ConnectionInfraError),
    ((C2,), dict(os="generic", platform="P"), ConnectionInfraError),
    ((C2,), dict(os="generic", chassis_type="bogus"), ConnectionInfraError),
    ((int,), dict(os="generic", platform="p"), TypeError),
    ((int,), dict(os="new"), TypeError),
    (("text",), dict(os="generic", platform="p", model="m", os_flavor="f"), TypeError),
    ((C2,), dict(os="generic", platform="p", os_flavor=[1]), TypeError),
    ((C2,), dict(os="new", platform="p", model="m", os_flavor={}), TypeError),
    ((C2,), dict(os=["generic"]), TypeError),
    ((C2,), dict(os="linux", platform="p", chassis_type=[1]), TypeError),
    ((C2,), dict(os="linux", chassis_type=Unhashable()), TypeError),
    ((C2,), dict(os="linux", platform="q", chassis_type=Unhashable()), TypeError),
])
def test_failed_registration_leaves_tree_unchanged(mgr, args, kwargs, exc):
    mgr.register_plugin(C1, os="generic")
    mgr.register_plugin(C1, os="linux", chassis_type=None)
    mgr.register_plugin(C1, os="linux", platform="p", model="m")
    before = frozen(mgr._plugins)
    with pytest.raises(exc):
        mgr.register_plugin(*args, **kwargs)
    assert frozen(mgr._plugins) == before
    assert mgr.get_plugin(os="generic", platform="p") is C1
    assert mgr.get_plugin(os="linux", platform="p", model="m") is C1


def test_failed_registration_in_empty_tree(mgr):
    with pytest.raises(TypeError):
        mgr.register_plugin(int, os="generic", platform="p")
    assert mgr._plugins == {}


def test_getfile_runs_before_the_tree_is_touched(mgr, pm, monkeypatch):
    events = []

    class Watched(dict):
        def keys(self):
            events.append("keys")
            return dict.keys(self)

    def getfile(cls):
        events.append(("getfile", frozen(mgr._plugins)))
        return "f"

    mgr._plugins = Watched(generic={})
    monkeypatch.setattr(pm, "getfile", getfile)
    mgr.register_plugin(C1, os="generic", platform="p")
    assert events == [("getfile", (("generic", ()),)), "keys"]
    assert mgr._plugins == {"generic": {"p": {"data": {"single_rp": rec(C1, "f")}}}}


def test_override_failures_keep_the_earlier_record(mgr, pm, monkeypatch):
    class Log:
        def debug(self, msg):
            raise Boom(msg)

    mgr.register_plugin(C1, os="generic")
    monkeypatch.setattr(pm, "log", Log())
    with pytest.raises(Boom):
        mgr.register_plugin(C2, os="generic")
    assert mgr._plugins == {"generic": {"data": {"single_rp": rec(C1)}}}
    mgr.register_plugin(C2, os="generic", chassis_type="stack")   # no override, no log
    assert mgr.get_plugin(os="generic", chassis_type="stack") is C2


# -- lookup ----------------------------------------------------------------------------

def test_lookup_skips_unregistered_selectors(mgr):
    mgr.register_plugin(C1, os="generic")
    assert mgr.get_plugin(os="generic") is C1
    assert mgr.get_plugin(os="generic", platform="plat1", model="m1") is C1
    assert mgr.get_plugin("generic", "plat1", "m1", "flav", "single_rp") is C1
    refused(lambda: mgr.get_plugin(os="generic", platform="plat1", model="m1",
                                   chassis_type="dual_rp"),
            "Plugin data not found for (generic/plat1/m1), type: dual_rp ")
    refused(lambda: mgr.get_plugin(os="nimbus"), not_found(["nimbus"]))
    mgr.register_plugin(C2, os="x", os_flavor="f")
    assert mgr.get_plugin(os="x", platform="p", os_flavor="f") is C2
    refused(lambda: mgr.get_plugin(os="x", platform="p"), not_found(["x", "p"]))


def test_lookup_has_no_upward_or_chassis_fallback(mgr):
    mgr.register_plugin(C1, os="x")
    mgr.register_plugin(C2, os="x", platform="p", model="m")
    assert mgr.get_plugin(os="x", platform="p", model="m") is C2
    assert mgr.get_plugin(os="x", platform="q", model="m") is C1
    refused(lambda: mgr.get_plugin(os="x", platform="p"), not_found(["x", "p"]))
    refused(lambda: mgr.get_plugin(os="x", platform="p", model="n"), not_found(["x", "p", "n"]))
    refused(lambda: mgr.get_plugin(os="x", chassis_type="stack"), not_found(["x"], "stack"))


@pytest.mark.parametrize("kwargs, message", [
    (dict(os="generic"), not_found(["generic"])),
    (dict(os="generic", os_flavor=5), not_found(["generic", "5"])),
    (dict(os="generic", os_flavor=("a", "b")), not_found(["generic", "('a', 'b')"])),
    (dict(os=5, platform="1", model="2"), not_found(["5", "1", "2"])),
    (dict(os=("a",), os_flavor=None), not_found(["('a',)"])),
    (dict(os="linux", chassis_type=None), not_found(["linux"], "None")),
    (dict(os="linux", chassis_type=("s", 1)), not_found(["linux"], "('s', 1)")),
    (dict(os=None), "OS should be one of these " + OS_LIST + " , but got None"),
    (dict(os="generic", chassis_type=None),
     "chassis Type should be one of these ['single_rp', 'dual_rp', 'stack'], but got None"),
])
def test_lookup_failure_messages(mgr, kwargs, message):
    refused(lambda: mgr.get_plugin(**kwargs), message)


def test_lookup_with_linux_and_odd_chassis(mgr):
    mgr.register_plugin(C1, os="linux", chassis_type=None)
    assert mgr.get_plugin(os="linux", chassis_type=None) is C1
    refused(lambda: mgr.get_plugin(os="linux"), not_found(["linux"]))


def test_lookup_errors_propagate(mgr):
    class Ugly:
        def __str__(self):
            raise Boom("str")
        __hash__ = object.__hash__

    mgr.register_plugin(C1, os="generic")
    mgr.register_plugin(C1, os="linux", chassis_type=None)
    with pytest.raises(TypeError):
        mgr.get_plugin(os="generic", os_flavor=[1])
    with pytest.raises(TypeError):
        mgr.get_plugin(os="linux", chassis_type=[1])
    with pytest.raises(Boom):
        mgr.get_plugin(os="nimbus", os_flavor=Ugly())
    assert mgr.get_plugin(os="generic", os_flavor=Ugly()) is C1


# -- unregistration ------------------------------------------------------------------

def test_unregister_whole_data_and_one_chassis(mgr):
    mgr.register_plugin(C1, os="generic")
    mgr.register_plugin(C2, os="generic", chassis_type="dual_rp")
    mgr.unregister_plugin(os="generic", chassis_type="dual_rp")
    assert mgr._plugins == {"generic": {"data": {"single_rp": rec(C1)}}}
    assert mgr.get_plugin(os="generic") is C1
    refused(lambda: mgr.unregister_plugin(os="generic", chassis_type="dual_rp"),
            "Plugin data not found for dual_rp")
    mgr.register_plugin(C2, os="generic", chassis_type="dual_rp")
    assert mgr.unregister_plugin(os="generic") is None
    assert mgr._plugins == {"generic": {}}
    refused(lambda: mgr.get_plugin(os="generic"), not_found(["generic"]))
    refused(lambda: mgr.unregister_plugin(os="generic"), "Plugin data not found")
    refused(lambda: mgr.unregister_plugin(os="generic", chassis_type="stack"),
            "Plugin data not found")


def test_unregister_leaves_empty_data_which_is_refilled(mgr):
    mgr.register_plugin(C1, os="generic")
    data = mgr._plugins["generic"]["data"]
    mgr.unregister_plugin(os="generic", chassis_type="single_rp")
    assert mgr._plugins == {"generic": {"data": {}}}
    refused(lambda: mgr.get_plugin(os="generic"), not_found(["generic"]))
    mgr.register_plugin(C2, os="generic", chassis_type="stack")
    assert mgr._plugins["generic"]["data"] is data and data == {"stack": rec(C2)}
    mgr.unregister_plugin(os="generic", chassis_type="stack")
    mgr.unregister_plugin(os="generic")
    assert mgr._plugins == {"generic": {}}


@pytest.mark.parametrize("kwargs, message", [
    (dict(os="nimbus"), "Plugin data not found"),
    (dict(os="generic", os_flavor="f"), "Plugin data not found"),
    (dict(os="generic", platform="p"), "Plugin data not found"),
    (dict(os="generic", platform="p", model="m"), "Plugin data not found"),
    (dict(os="generic", platform="p", model="n"), "Plugin data not found"),
    (dict(os="generic", chassis_type="bogus"), "Plugin data not found for bogus"),
    (dict(os="generic", chassis_type=""), "Plugin data not found for "),
    (dict(os="generic", chassis_type=5), "Plugin data not found for 5"),
    (dict(os="generic", chassis_type=("a", "b")), "Plugin data not found for ('a', 'b')"),
    (dict(os="generic", chassis_type=("a",)), "Plugin data not found for ('a',)"),
    (dict(os="generic", chassis_type=()), "Plugin data not found for ()"),
    (dict(os=None, chassis_type="single_rp"),
     "OS should be one of these " + OS_LIST + " , but got None"),
    (dict(os="generic", platform="P"), "platform (P) has to be in lowercase"),
])
def test_unregister_failures_leave_tree_unchanged(mgr, kwargs, message):
    mgr.register_plugin(C1, os="generic")
    mgr.register_plugin(C2, os="generic", platform="p", model="x", os_flavor="f")
    before = frozen(mgr._plugins)
    refused(lambda: mgr.unregister_plugin(**kwargs), message)
    assert frozen(mgr._plugins) == before


def test_unregister_validates_single_rp_in_place_of_chassis(mgr):
    mgr.register_plugin(C1, os="linux", chassis_type="odd")
    mgr.unregister_plugin(os="linux", chassis_type="odd")
    mgr.chassis_type_list = []
    refused(lambda: mgr.unregister_plugin(os="generic", chassis_type="stack"),
            "chassis Type should be one of these [], but got single_rp")
    mgr.unregister_plugin(os="linux")
    assert mgr._plugins == {"linux": {}}
    with pytest.raises(TypeError):
        mgr.unregister_plugin(os="linux", os_flavor=[1])
    mgr._plugins["linux"]["data"] = {}
    with pytest.raises(TypeError):
        mgr.unregister_plugin(os="linux", chassis_type=[1])


# -- the tree attribute and dict subclasses as nodes ------------------------------------

def test_tree_attribute_is_read_at_each_call(mgr):
    mgr.register_plugin(C1, os="generic")
    old = mgr._plugins
    mgr._plugins = {}
    refused(lambda: mgr.get_plugin(os="generic"), not_found(["generic"]))
    mgr.register_plugin(C2, os="generic")
    assert mgr.plugins is mgr._plugins and mgr._plugins["generic"]["data"]["single_rp"]["cls"] is C2
    assert old["generic"]["data"]["single_rp"]["cls"] is C1
    del mgr._plugins
    for call in (lambda: mgr.register_plugin(C1, os="generic"),
                 lambda: mgr.get_plugin(os="generic"),
                 lambda: mgr.unregister_plugin(os="generic")):
        with pytest.raises(AttributeError):
            call()


class Hiding(dict):
    """A node whose keys() hides one child."""
    def keys(self):
        return [k for k in dict.keys(self) if k != "generic"]


class Phantom(dict):
    def keys(self):
        return list(dict.keys(self)) + ["ghost"]


class KeysRaise(dict):
    def keys(self):
        raise Boom("keys")


def test_node_keys_decide_the_walk(mgr):
    mgr._plugins = Hiding(generic={"data": {"single_rp": rec(C1)}}, data={"single_rp": rec(C3)})
    assert mgr.get_plugin(os="generic") is C3          # generic skipped, root data used
    refused(lambda: mgr.unregister_plugin(os="generic"), "Plugin data not found")
    mgr.register_plugin(C2, os="generic", platform="p")   # hidden child replaced
    assert mgr._plugins["generic"] == {"p": {"data": {"single_rp": rec(C2)}}}

    mgr._plugins = Phantom()
    with pytest.raises(KeyError):
        mgr.get_plugin(os="ghost")
    with pytest.raises(KeyError):
        mgr.register_plugin(C1, os="ghost")
    with pytest.raises(KeyError):
        mgr.unregister_plugin(os="ghost")
    assert mgr._plugins == {}

    mgr._plugins = {"generic": KeysRaise(p={})}
    for call in (lambda: mgr.get_plugin(os="generic", platform="p"),
                 lambda: mgr.register_plugin(C1, os="generic", platform="p"),
                 lambda: mgr.unregister_plugin(os="generic", platform="p")):
        with pytest.raises(Boom):
            call()
    assert mgr._plugins == {"generic": {"p": {}}}


def test_data_membership_is_tested_on_the_node(mgr):
    class NoData(dict):
        def __contains__(self, key):
            return key != "data" and dict.__contains__(self, key)

    mgr._plugins = {"generic": NoData(data={"stack": rec(C1)})}
    mgr.register_plugin(C2, os="generic")
    assert mgr._plugins == {"generic": {"data": {"single_rp": rec(C2)}}}


# -- re-entrancy --------------------------------------------------------------------------

class NameMeta(type):
    action = staticmethod(lambda: None)

    @property
    def __name__(cls):
        NameMeta.action()
        return "Evil"


class Evil(metaclass=NameMeta):
    pass


def test_reentrant_name_of_earlier_class(mgr, debug_log):
    actions = [lambda: mgr._plugins.clear(),
               lambda: setattr(mgr, "_plugins", {}),
               lambda: mgr._plugins.pop("generic", None),
               lambda: mgr._plugins["generic"].clear()]
    try:
        for i in range(2000):
            NameMeta.action = actions[i % len(actions)]
            mgr._plugins = {}
            mgr.register_plugin(Evil, os="generic", platform="p")
            node = mgr._plugins["generic"]["p"]
            mgr.register_plugin(C2, os="generic", platform="p")
            assert node == {"data": {"single_rp": rec(C2)}}
            assert mgr._plugins == ({} if i % 4 < 3 else {"generic": {}})
    finally:
        NameMeta.action = staticmethod(lambda: None)
    assert len(debug_log()) == 2000


@pytest.mark.parametrize("action", [lambda t: t.pop("generic"), lambda t: t.clear(),
                                    lambda t: t["generic"].clear()])
def test_reentrant_getfile(mgr, pm, monkeypatch, action):
    monkeypatch.setattr(pm, "getfile", lambda cls: (action(mgr._plugins), "f")[1])
    for i in range(1000):
        mgr._plugins = {"generic": {"data": {"single_rp": rec(C1)}, "p": {}}}
        mgr.register_plugin(C2, os="generic", platform="p")
        assert mgr._plugins == {"generic": {"p": {"data": {"single_rp": rec(C2, "f")}}}}


def test_reentrant_keys_and_log(mgr, pm, monkeypatch):
    class Clearing(dict):
        def keys(self):
            mgr._plugins.clear()
            return dict.keys(self)

    for i in range(2000):
        mgr._plugins = {"generic": Clearing(p={"data": {"single_rp": rec(C1)}})}
        assert mgr.get_plugin(os="generic", platform="p") is C1
        assert mgr._plugins == {}
        mgr._plugins = {"generic": Clearing(p={"data": {"single_rp": rec(C1)}})}
        mgr.unregister_plugin(os="generic", platform="p")
        mgr._plugins = {"generic": Clearing()}
        mgr.register_plugin(C2, os="generic", platform="p", model="m")
        assert mgr._plugins == {}

    class Log:
        def debug(self, msg):
            mgr._plugins = {}
            del old["generic"]

    monkeypatch.setattr(pm, "log", Log())
    for i in range(2000):
        mgr._plugins = old = {}
        mgr.register_plugin(C1, os="generic")
        mgr.register_plugin(C2, os="generic")
        assert mgr._plugins == {} and old == {}
