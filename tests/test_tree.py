"""Registration, lookup and unregistration on the plugin tree."""
import inspect

import pytest

from conftest import frozen, refused
from plexor.core.errors import ConnectionInfraError


# classes to register (type() gives them this module, so inspect.getfile finds the file)
C1, C2, C3 = (type(name, (), {}) for name in ("C1", "C2", "C3"))
FILE = inspect.getfile(C1)


Boom = type("Boom", (Exception,), {})


def boom(self, *args):
    raise Boom(*args)


RaisingLog = type("RaisingLog", (), dict(debug=boom))
BadStr = type("BadStr", (), dict(__str__=boom, __hash__=object.__hash__))


def rec(cls, path=FILE):
    return {"cls": cls, "path": path}


def chain(keys, leaf):
    for key in reversed(keys):
        leaf = {key: leaf}
    return leaf


def not_found(path, chassis="single_rp"):
    return "Plugin data not found for (%s), type: %s " % ("/".join(path), chassis)


# -- registration -----------------------------------------------------------------

def test_records_and_override_notice(mgr, pm, monkeypatch, debug_log):
    assert mgr.register_plugin(C1, "generic", "p", "m", "f") is None
    mgr.register_plugin(C2, "generic", "p", "m", "f", chassis_type="dual_rp")
    data = mgr._plugins["generic"]["p"]["m"]["f"]["data"]
    record = data["single_rp"]
    assert type(record) is dict and list(record) == ["cls", "path"] and record["cls"] is C1
    assert debug_log() == []
    mgr.register_plugin(C3, "generic", "p", "m", "f")
    assert debug_log() == [" C1 already registered for ['generic', 'p', 'm', 'f'], "
                           "C3 from %s is overriding this class" % C3.__module__]
    # the same plugin data keeps its order; a new record, the old one left as it was
    assert mgr._plugins["generic"]["p"]["m"]["f"]["data"] is data
    assert list(data) == ["single_rp", "dual_rp"] and data["single_rp"] == rec(C3)
    assert record == rec(C1)
    # a notice that fails leaves the earlier record in place
    monkeypatch.setattr(pm, "log", RaisingLog())
    with pytest.raises(Boom):
        mgr.register_plugin(C1, "generic", "p", "m", "f")
    assert data == {"single_rp": rec(C3), "dual_rp": rec(C2)}


@pytest.mark.parametrize("kwargs, path", [
    (dict(os="generic", os_flavor="f"), ["generic", "f"]),
    (dict(os="generic", platform="p", model="m", os_flavor="f"), ["generic", "p", "m", "f"]),
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


def test_getfile_is_looked_up_at_each_call(mgr, pm, monkeypatch):
    monkeypatch.setattr(pm, "getfile", lambda cls: type(cls).__name__)
    mgr.register_plugin(C1, os="generic")
    mgr.register_plugin(42, os="generic", chassis_type="stack")
    assert mgr._plugins == {"generic": {"data": {"single_rp": rec(C1, "type"),
                                                 "stack": rec(42, "int")}}}
    monkeypatch.delattr(pm, "getfile")
    with pytest.raises(NameError):
        mgr.register_plugin(C2, os="nimbus")
    assert list(mgr._plugins) == ["generic"]


def test_requests_call_validate_arguments_positionally(pm):
    seen = []

    class Mgr(pm.PluginManager):
        def validate_arguments(self, *args, **kw):
            seen.append((args, kw))

    m = Mgr()
    m.register_plugin(C1, "A", "B", "C", "F", "K")
    m.get_plugin("A", "B", "C", "F", "K")
    m.unregister_plugin("A", "B", "C", "F", "K")    # validated with "single_rp"
    m.register_plugin(C1)
    assert seen == [(("A", "B", "C", "K"), {})] * 2 + [(("A", "B", "C", "single_rp"), {}),
                                                      ((None, None, None, "single_rp"), {})]
    assert m._plugins == {"A": {"B": {"C": {"F": {"data": {}}}}},
                          None: {"data": {"single_rp": rec(C1)}}}


@pytest.mark.parametrize("args, kwargs, exc", [
    ((C2,), dict(os="generic", chassis_type="bogus"), ConnectionInfraError),
    ((int,), dict(os="generic", platform="p"), TypeError),   # getfile refuses the class
    ((int,), dict(os="new"), TypeError),
    (("text",), dict(os="generic", platform="p", model="m", os_flavor="f"), TypeError),
    ((C2,), dict(os="generic", platform="p", os_flavor=[1]), TypeError),
    ((C2,), dict(os="new", platform="p", model="m", os_flavor={}), TypeError),
    ((C2,), dict(os="linux", chassis_type=[1]), TypeError),
    ((C2,), dict(os="linux", platform="q", chassis_type=[1]), TypeError),
])
def test_failed_registration_leaves_tree_unchanged(mgr, args, kwargs, exc):
    mgr.register_plugin(C1, os="generic")
    mgr.register_plugin(C1, os="linux", chassis_type=None)
    mgr.register_plugin(C1, os="linux", platform="p", model="m")
    before = frozen(mgr._plugins)
    with pytest.raises(exc):
        mgr.register_plugin(*args, **kwargs)
    assert frozen(mgr._plugins) == before
    # no empty node left behind to block the fall-back of later lookups
    assert mgr.get_plugin(os="generic", platform="p") is C1
    assert mgr.get_plugin(os="linux", platform="p", model="m") is C1


# -- lookup ----------------------------------------------------------------------------

@pytest.mark.parametrize("lookup, expected", [
    # the walk skips selectors that are not in the tree
    (dict(os="x", platform="q", model="m", os_flavor="f"), C1),
    (dict(os="x", platform="p", model="m", os_flavor="f"), C2),
    (dict(os="x", platform="data"), C3),       # "data" is a selector like any other
    # no fall-back upwards or to another chassis type
    (dict(os="x", platform="p"), not_found(["x", "p"])),
    (dict(os="x", platform="p", model="n"), not_found(["x", "p", "n"])),
    (dict(os="x", chassis_type="stack"), not_found(["x"], "stack")),
    (dict(os="linux", chassis_type=None), C1),
    (dict(os="linux"), not_found(["linux"])),
    # the not-found message shows each selector's str()
    (dict(os="generic", os_flavor=5), not_found(["generic", "5"])),
    (dict(os="generic", os_flavor=("a", "b")), not_found(["generic", "('a', 'b')"])),
    (dict(os="linux", chassis_type=("s", 1)), not_found(["linux"], "('s', 1)")),
    # errors propagate
    (dict(os="x", os_flavor=[1]), TypeError),
    (dict(os="generic", os_flavor=BadStr()), Boom),
    (dict(os="x", os_flavor=BadStr()), C1),
])
def test_lookup(mgr, lookup, expected):
    mgr.register_plugin(C1, os="x")
    mgr.register_plugin(C2, os="x", platform="p", model="m")
    mgr.register_plugin(C3, os="x", os_flavor="data")
    mgr.register_plugin(C1, os="linux", chassis_type=None)
    if isinstance(expected, str):
        refused(lambda: mgr.get_plugin(**lookup), expected)
    elif issubclass(expected, Exception):
        with pytest.raises(expected):
            mgr.get_plugin(**lookup)
    else:
        assert mgr.get_plugin(**lookup) is expected


# -- unregistration ------------------------------------------------------------------

BOTH = {"single_rp": rec(C1), "dual_rp": rec(C2)}
DEEP = {"p": {"x": {"f": {"data": {"single_rp": rec(C3)}}}}}


@pytest.mark.parametrize("kwargs, outcome", [
    (dict(os="generic", chassis_type="dual_rp"),
     {"generic": dict(data={"single_rp": rec(C1)}, **DEEP)}),
    (dict(os="generic"), {"generic": DEEP}),
    # nothing is pruned
    (dict(os="generic", platform="p", model="x", os_flavor="f"),
     {"generic": {"data": BOTH, "p": {"x": {"f": {}}}}}),
    (dict(os="generic", platform="p", model="x", os_flavor="f", chassis_type="single_rp"),
     {"generic": {"data": BOTH, "p": {"x": {"f": {"data": {}}}}}}),
    # the walk is strict: no skipping
    (dict(os="generic", os_flavor="f"), "Plugin data not found"),
    (dict(os="generic", platform="p", chassis_type="stack"), "Plugin data not found"),
    (dict(os="generic", chassis_type="stack"), "Plugin data not found for stack"),
    (dict(os="generic", chassis_type=("a", "b")), "Plugin data not found for ('a', 'b')"),
    (dict(os="generic", chassis_type=("a",)), "Plugin data not found for ('a',)"),
    (dict(os="generic", os_flavor=[1]), TypeError),
    (dict(os="generic", chassis_type=[1]), TypeError),
])
def test_unregister(mgr, kwargs, outcome):
    mgr.register_plugin(C1, os="generic")
    mgr.register_plugin(C2, os="generic", chassis_type="dual_rp")
    mgr.register_plugin(C3, os="generic", platform="p", model="x", os_flavor="f")
    before = frozen(mgr._plugins)
    if isinstance(outcome, dict):
        assert mgr.unregister_plugin(**kwargs) is None
    elif isinstance(outcome, str):
        refused(lambda: mgr.unregister_plugin(**kwargs), outcome)
    else:
        with pytest.raises(outcome):
            mgr.unregister_plugin(**kwargs)
    assert frozen(mgr._plugins) == (frozen(outcome) if isinstance(outcome, dict) else before)


def test_emptied_plugin_data_stays_and_is_refilled(mgr):
    mgr.register_plugin(C1, os="generic")
    data = mgr._plugins["generic"]["data"]
    mgr.unregister_plugin(os="generic", chassis_type="single_rp")
    assert mgr._plugins == {"generic": {"data": {}}}
    mgr.register_plugin(C2, os="generic", chassis_type="stack")
    assert mgr._plugins["generic"]["data"] is data and data == {"stack": rec(C2)}
    # the caller's chassis type is not validated, "single_rp" is
    mgr.chassis_type_list = []
    refused(lambda: mgr.unregister_plugin(os="generic", chassis_type="stack"),
            "chassis Type should be one of these [], but got single_rp")


# -- the tree attribute and dict subclasses as nodes ------------------------------------

def test_tree_attribute_is_read_at_each_call(mgr):
    mgr.register_plugin(C1, os="generic")
    old, mgr._plugins = mgr._plugins, {}
    mgr.register_plugin(C2, os="generic")
    assert mgr._plugins == {"generic": {"data": {"single_rp": rec(C2)}}}
    assert old == {"generic": {"data": {"single_rp": rec(C1)}}}
    del mgr._plugins
    for call in (lambda: mgr.register_plugin(C1, os="generic"),
                 lambda: mgr.get_plugin(os="generic"),
                 lambda: mgr.unregister_plugin(os="generic")):
        with pytest.raises(AttributeError):
            call()


# nodes of dict subclasses: their own methods decide the walk
Hiding = type("Hiding", (dict,), dict(keys=lambda self: [k for k in dict.keys(self)
                                                         if k != "generic"]))
Phantom = type("Phantom", (dict,), dict(keys=lambda self: list(dict.keys(self)) + ["ghost"]))
KeysRaise = type("KeysRaise", (dict,), dict(keys=boom))
NoData = type("NoData", (dict,), dict(__contains__=lambda self, key: key != "data"
                                      and dict.__contains__(self, key)))


def test_node_methods_decide_the_walk(mgr):
    mgr._plugins = Hiding(generic={"data": {"single_rp": rec(C1)}}, data={"single_rp": rec(C3)})
    assert mgr.get_plugin(os="generic") is C3          # generic skipped, root data used
    refused(lambda: mgr.unregister_plugin(os="generic"), "Plugin data not found")
    mgr.register_plugin(C2, os="generic", platform="p")   # hidden child replaced
    assert mgr._plugins["generic"] == {"p": {"data": {"single_rp": rec(C2)}}}

    for node, exc in ((Phantom(), KeyError), (KeysRaise(ghost={}), Boom)):
        mgr._plugins = {"generic": node}
        before = frozen(mgr._plugins)
        for call in (lambda: mgr.get_plugin(os="generic", platform="ghost"),
                     lambda: mgr.register_plugin(C1, os="generic", platform="ghost"),
                     lambda: mgr.unregister_plugin(os="generic", platform="ghost")):
            with pytest.raises(exc):
                call()
        assert frozen(mgr._plugins) == before

    mgr._plugins = {"generic": NoData(data={"stack": rec(C1)})}
    mgr.register_plugin(C2, os="generic")
    assert mgr._plugins == {"generic": {"data": {"single_rp": rec(C2)}}}


# -- plugin code that changes the tree in the middle of a request -----------------------

HOOK = {"where": None, "action": None}


def hook(where):
    if HOOK["where"] == where:
        HOOK["action"]()


class NameMeta(type):
    """Reading __name__ (for the override notice) runs the hook."""
    __name__ = property(lambda cls: hook("__name__") or "Evil")


Evil = NameMeta("Evil", (), {})
Hooked = type("Hooked", (dict,), dict(keys=lambda self: hook("keys") or dict.keys(self)))
Log = type("Log", (), dict(debug=lambda self, msg: hook("log.debug")))
NEW = {"generic": {"p": {"data": {"single_rp": rec(C2, "f")}}}}


@pytest.mark.parametrize("where, action, tree, written", [
    # after the walk: the record goes into the node already reached
    ("__name__", "clear root", {}, True), ("__name__", "rebind root", {}, True),
    ("__name__", "clear node", {"generic": {}}, True),
    ("log.debug", "clear root", {}, True), ("log.debug", "rebind root", {}, True),
    ("log.debug", "clear node", {"generic": {}}, True),
    ("keys", "clear root", {}, True), ("keys", "rebind root", {}, True),
    # before the node is reached: a new branch stands on what is left
    ("keys", "clear node", NEW, False),
    ("getfile", "clear root", NEW, False), ("getfile", "clear node", NEW, False),
])
def test_tree_changed_by_plugin_code_during_a_request(mgr, pm, monkeypatch, where, action,
                                                      tree, written):
    actions = {"clear root": lambda: mgr._plugins.clear(),
               "rebind root": lambda: setattr(mgr, "_plugins", {}),
               "clear node": lambda: mgr._plugins.get("generic", {}).clear()}
    monkeypatch.setitem(HOOK, "where", where)
    monkeypatch.setitem(HOOK, "action", actions[action])
    monkeypatch.setattr(pm, "getfile", lambda cls: hook("getfile") or "f")
    monkeypatch.setattr(pm, "log", Log())
    for _ in range(300):
        leaf = {"data": {"single_rp": rec(Evil)}}
        mgr._plugins = {"generic": Hooked(p=leaf)}
        mgr.register_plugin(C2, os="generic", platform="p")
        assert frozen(mgr._plugins) == frozen(tree)
        assert leaf == {"data": {"single_rp": rec(C2, "f") if written else rec(Evil)}}
        # lookup and removal hold the nodes they walk through as well
        hidden = where == "keys" and action == "clear node"    # the walk no longer sees "p"
        for op, result in ((mgr.get_plugin, leaf["data"]["single_rp"]["cls"]),
                           (mgr.unregister_plugin, None)):
            mgr._plugins = {"generic": Hooked(p=leaf)}
            if hidden:
                with pytest.raises(ConnectionInfraError):
                    op(os="generic", platform="p")
            else:
                assert op(os="generic", platform="p") is result
        assert (leaf == {}) is not hidden
