"""PluginManager.print_tree and PluginManager.__repr__: the text drawing of a tree."""
import builtins
import inspect

import pytest
from hypothesis import given, settings, strategies as st

import plexor.core.pluginmanager as pm_module
from plexor.plugins.generic import GenericDualRPConnection, GenericSingleRpConnection
from plexor.plugins.linux import LinuxConnection


class Reference:
    """The rendering algorithm in plain Python: repeated concatenation and split."""

    def print_tree(self, data, output="plugin"):
        if not data:
            return ""
        if data == {}:
            return ""
        if not isinstance(data, dict):
            return output + " = " + str(data)
        sorted_keys = list(data.keys())
        sorted_keys.sort()
        last_key = sorted_keys[-1]
        for key in sorted_keys:
            temp_output = self.print_tree(data=data[key], output="__ " + key)
            separator = "  " if key == last_key else "  |"
            current_line = 1
            for line in temp_output.split("\n"):
                if current_line == 1 and key == last_key:
                    piece = "\n  |" + str(line)
                else:
                    piece = "\n" + separator + str(line)
                current_line += 1
                output += piece
        return output


REF = Reference()


class RecordingCallsManager(pm_module.PluginManager):
    """Records the exact arguments of every print_tree call."""

    def __init__(self):
        super().__init__()
        self.calls = []

    def print_tree(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return super().print_tree(*args, **kwargs)


class PassThroughManager(pm_module.PluginManager):
    def print_tree(self, data, output="plugin"):
        return super().print_tree(data, output)


class HookManager(pm_module.PluginManager):
    """print_tree runs self.hook(data, output) first; a non-None result replaces the text."""

    hook = staticmethod(lambda data, output: None)

    def print_tree(self, data, output="plugin"):
        result = self.hook(data, output)
        return super().print_tree(data, output) if result is None else result


SMALL = {"b": {"y": "v2", "x": "v1"}, "a": "w", "c": None}
SMALL_TEXT = "plugin\n  |__ a = w\n  |__ b\n  |  |__ x = v1\n  |  |__ y = v2\n  |"
PATH = "/usr/lib/plexor/plugins/generic/__init__.py"
BIG_BODY = (
    "\n  |__ generic"
    "\n  |  |__ data"
    "\n  |    |__ dual_rp"
    "\n  |    |  |__ cls = <class 'plexor.plugins.generic.GenericDualRPConnection'>"
    "\n  |    |  |__ path = /usr/lib/plexor/plugins/generic/__init__.py"
    "\n  |    |__ single_rp"
    "\n  |      |__ cls = <class 'plexor.plugins.generic.GenericSingleRpConnection'>"
    "\n  |      |__ path = /usr/lib/plexor/plugins/generic/__init__.py"
    "\n  |__ linux"
    "\n    |__ data"
    "\n      |__ single_rp"
    "\n        |__ cls = <class 'plexor.plugins.generic.GenericSingleRpConnection'>"
    "\n        |__ path = /usr/lib/plexor/plugins/generic/__init__.py"
)


def big_tree():
    return {
        "generic": {"data": {
            "single_rp": {"cls": GenericSingleRpConnection, "path": PATH},
            "dual_rp": {"cls": GenericDualRPConnection, "path": PATH},
        }},
        "linux": {"data": {"single_rp": {"cls": GenericSingleRpConnection, "path": PATH}}},
    }


def header(mgr):
    return "plugins (%s at %s) " % (type(mgr), hex(id(mgr)))


def test_worked_examples(mgr):
    mgr._plugins.update(big_tree())
    text = repr(mgr)
    assert text == ("plugins (<class 'plexor.core.pluginmanager.PluginManager'> at "
                    + hex(id(mgr)) + ") " + BIG_BODY)
    assert mgr.print_tree(SMALL) == SMALL_TEXT
    assert mgr.print_tree(data=SMALL, output="plugin") == SMALL_TEXT


def test_repr_of_registered_plugins(mgr):
    mgr.register_plugin(GenericSingleRpConnection, os="generic")
    mgr.register_plugin(LinuxConnection, os="linux", platform="pi")
    generic, linux = inspect.getfile(GenericSingleRpConnection), inspect.getfile(LinuxConnection)
    assert repr(mgr) == header(mgr) + (
        "\n  |__ generic\n  |  |__ data\n  |    |__ single_rp"
        "\n  |      |__ cls = " + str(GenericSingleRpConnection) +
        "\n  |      |__ path = " + generic +
        "\n  |__ linux\n    |__ pi\n      |__ data\n        |__ single_rp"
        "\n          |__ cls = " + str(LinuxConnection) +
        "\n          |__ path = " + linux)


@pytest.mark.parametrize("data", [None, {}, "", 0, False, 0.0, [], ()])
@pytest.mark.parametrize("output", ["plugin", "root", "", 5, None])
def test_false_or_empty_data_renders_nothing(mgr, data, output):
    assert mgr.print_tree(data, output) == ""


class EqualsEverything:
    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


class FalseWithBadEq:
    def __bool__(self):
        return False

    def __eq__(self, other):
        raise AssertionError("compared")

    __hash__ = object.__hash__


@pytest.mark.parametrize("data, output, expected", [
    ("leaf", "root", "root = leaf"),
    ({"a": "w"}, "root", "root\n  |__ a = w"),
    ({"k": {}}, "root", "root\n  |"),
    ({"k": None, "m": ""}, "root", "root\n  |\n  |"),
    ({"Z": 1, "a": 2}, "r", "r\n  |__ Z = 1\n  |__ a = 2"),
    ({"a": {"b": {"c": 1}}, "d": 2}, "r", "r\n  |__ a\n  |  |__ b\n  |    |__ c = 1\n  |__ d = 2"),
    ({"a": {"b": {"c": 1}, "e": 3}}, "r", "r\n  |__ a\n    |__ b\n    |  |__ c = 1\n    |__ e = 3"),
    ({"a": [1, 2], "b": 1.5, "c": True}, "r", "r\n  |__ a = [1, 2]\n  |__ b = 1.5\n  |__ c = True"),
    ({"a": "x\ny"}, "r", "r\n  |__ a = x\n  y"),
    ({"a": "x\ny", "b": 1}, "r", "r\n  |__ a = x\n  |y\n  |__ b = 1"),
    ({"a\nb": {"c": 1}}, "r", "r\n  |__ a\n  b\n    |__ c = 1"),
    ({"a": "w"}, "", "\n  |__ a = w"),
    (EqualsEverything(), "r", ""),
    (FalseWithBadEq(), "r", ""),
])
def test_rendering_rules(mgr, data, output, expected):
    assert mgr.print_tree(data, output) == expected
    assert REF.print_tree(data, output) == expected


def test_repr_header_and_empty_manager(mgr):
    assert repr(mgr) == ""
    mgr.register_plugin(LinuxConnection, os="linux")
    assert repr(mgr).startswith(header(mgr) + "\n  |__ linux\n")
    sub = PassThroughManager()
    sub._plugins["x"] = 1
    assert repr(sub) == "plugins (<class '%s.PassThroughManager'> at %s) \n  |__ x = 1" % (
        __name__, hex(id(sub)))


def test_repr_uses_builtins_kept_from_load_and_the_tree_attribute(mgr, monkeypatch):
    mgr._plugins["x"] = 1
    monkeypatch.setattr(builtins, "hex", lambda n: "HEX")
    monkeypatch.setattr(builtins, "id", lambda o: 0)
    text = repr(mgr)
    monkeypatch.undo()
    assert text == header(mgr) + "\n  |__ x = 1"
    del mgr._plugins
    with pytest.raises(AttributeError):
        repr(mgr)


def test_override_sees_every_level_with_keywords():
    rec = RecordingCallsManager()
    assert rec.print_tree(SMALL) == SMALL_TEXT
    assert rec.calls[0] == ((SMALL,), {})
    assert rec.calls[1:] == [((), {"data": d, "output": o}) for d, o in [
        ("w", "__ a"), (SMALL["b"], "__ b"), ("v1", "__ x"), ("v2", "__ y"), (None, "__ c")]]
    rec.calls.clear()
    rec._plugins.update(big_tree())
    assert repr(rec) == header(rec) + BIG_BODY
    assert rec.calls[0] == ((), {"data": rec._plugins, "output": header(rec)})
    assert len(rec.calls) == 1 + 13


def test_instance_attribute_print_tree_is_used_for_children(mgr):
    seen = []
    mgr.print_tree = lambda data, output: seen.append(output) or "<%s>" % output
    assert type(mgr).print_tree(mgr, {"a": 1, "b": {"c": 2}}) == "plugin\n  |<__ a>\n  |<__ b>"
    assert seen == ["__ a", "__ b"]


class SplitsOddly:
    def split(self, sep):
        assert sep == "\n"
        return ["x", 7]


@pytest.mark.parametrize("child, expected", [
    (SplitsOddly(), "plugin\n  |x\n  |7\n  |__ b = 2"),
    (5, AttributeError),
    ("one\ntwo", "plugin\n  |one\n  |two\n  |__ b = 2"),
])
def test_override_returning_other_objects(child, expected):
    mgr = HookManager()
    mgr.hook = lambda d, o: child if o == "__ a" else None
    if isinstance(expected, str):
        assert mgr.print_tree({"a": 1, "b": 2}) == expected
    else:
        with pytest.raises(expected):
            mgr.print_tree({"a": 1, "b": 2})


class Boom(Exception):
    pass


def raise_boom(*args):
    raise Boom


class SubsetKeys(dict):
    def keys(self):
        return iter(["b"])


class RaisingKeys(dict):
    keys = raise_boom


class NoKeys(dict):
    def keys(self):
        return []


class UpperValues(dict):
    def __getitem__(self, key):
        return key.upper()


class RaisingGetitem(dict):
    __getitem__ = raise_boom


class BadStr:
    __str__ = raise_boom


class BadLt(str):
    __lt__ = raise_boom


@pytest.mark.parametrize("data, expected", [
    (SubsetKeys(a=1, b=2), "plugin\n  |__ b = 2"),
    (UpperValues(a=1, b=2), "plugin\n  |__ a = A\n  |__ b = B"),
    (RaisingKeys(a=1), Boom),
    (NoKeys(a=1), IndexError),
    (RaisingGetitem(a=1), Boom),
    ({1: "x"}, TypeError),
    ({"a": {"b": {2: "x"}}}, TypeError),
    ({"a": 1, 2: "x"}, TypeError),
    ({"a": 1, None: 1}, TypeError),
    ({"a": BadStr()}, Boom),
    ({BadLt("a"): 1, BadLt("b"): 2}, Boom),
    ({"a": BadStr(), "b": 1, 3: 1}, TypeError),  # keys are sorted before any child renders
])
def test_odd_mappings_keys_and_leaves(mgr, data, expected):
    if isinstance(expected, str):
        assert mgr.print_tree(data) == expected
        assert REF.print_tree(data) == expected
    else:
        with pytest.raises(expected):
            mgr.print_tree(data)
        with pytest.raises(expected):
            REF.print_tree(data)


class Reversed(str):
    def __lt__(self, other):
        return str.__gt__(self, other)


class Tagged(str):
    def __str__(self):
        return "tag"


def test_str_subclass_keys_and_values(mgr):
    data = {Reversed("a"): {"x": 1, "y": 2}, Reversed("b"): Tagged("v\nw")}
    expected = "plugin\n  |__ b = tag\n  |__ a\n    |__ x = 1\n    |__ y = 2"
    assert mgr.print_tree(data) == REF.print_tree(data) == expected
    assert mgr.print_tree({Tagged("k"): Tagged("v")}) == "plugin\n  |__ k = tag"


@pytest.mark.parametrize("output", [5, None, b"x", 1.5])
@pytest.mark.parametrize("data", ["leaf", {"a": 1}, {"k": {}}])
def test_output_not_text(mgr, output, data):
    with pytest.raises(TypeError):
        mgr.print_tree(data, output)
    with pytest.raises(TypeError):
        REF.print_tree(data, output)


@pytest.mark.parametrize("cls", [pm_module.PluginManager, PassThroughManager])
def test_deep_tree_gives_recursion_error(cls):
    data = {}
    for _ in range(100000):
        data = {"k": data}
    with pytest.raises(RecursionError):
        cls().print_tree(data)
    assert cls().print_tree({"k": {"k": {"k": 1}}}) == "plugin\n  |__ k\n    |__ k\n      |__ k = 1"


def test_wide_tree(mgr):
    data = {"k%06d" % i: i + 1 for i in range(100000)}
    data["k000005"] = {"x": "1\n2"}
    lines = mgr.print_tree(data, "root").split("\n")
    assert len(lines) == 100001 + 2
    assert lines[:3] == ["root", "  |__ k000000 = 1", "  |__ k000001 = 2"]
    assert lines[6:9] == ["  |__ k000005", "  |  |__ x = 1", "  |  2"]
    assert lines[-1] == "  |__ k099999 = 100000"


def test_key_removed_while_rendering():
    mgr = HookManager()
    data = {"a": 1, "b": 2, "c": 3}

    def hook(d, output):
        if output == "__ a":
            del data["b"]

    mgr.hook = hook
    with pytest.raises(KeyError):
        mgr.print_tree(data)
    assert data == {"a": 1, "c": 3}


text = st.text(alphabet=st.sampled_from("ab Z\n|_=é€\U0001f600"), max_size=6)
trees = st.recursive(
    st.one_of(text, st.none(), st.integers(-2, 2), st.booleans()),
    lambda children: st.dictionaries(text, children, max_size=4),
    max_leaves=25,
)


@settings(max_examples=200, deadline=None)
@given(data=trees, output=text)
def test_matches_reference(data, output):
    expected = REF.print_tree(data, output)
    assert pm_module.PluginManager().print_tree(data, output) == expected
    assert PassThroughManager().print_tree(data, output) == expected
    if data and data != {}:
        for impl in (REF, pm_module.PluginManager()):
            with pytest.raises(TypeError):
                impl.print_tree(data, 5)
