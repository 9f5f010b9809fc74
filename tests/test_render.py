"""PluginManager.print_tree and PluginManager.__repr__: the text drawing of a tree."""
import builtins
import ctypes
import gc
import inspect
import sys

import pytest
from hypothesis import given, settings, strategies as st

import plexor.core.pluginmanager as pm_module
from conftest import load_pure_python
from plexor.plugins.generic import GenericDualRPConnection, GenericSingleRpConnection


class Loud(str):
    """A text that marks every text added to it from the left."""

    def __radd__(self, other):
        return Loud(str.__add__(str.__add__(other, "!"), self))

    def __str__(self):
        return self

    def split(self, sep=None):
        return [Loud(part) for part in str.split(self, sep)]


class Unequal(str):
    """A key that never equals anything, itself included."""

    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


# The literal algorithm (repeated concatenation and split), as the benchmark has it.
REF = load_pure_python().PluginManager()


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
    single = {"cls": GenericSingleRpConnection, "path": PATH}
    return {"generic": {"data": {"single_rp": single,
                                 "dual_rp": {"cls": GenericDualRPConnection, "path": PATH}}},
            "linux": {"data": {"single_rp": dict(single)}}}


def header(mgr):
    return "plugins (%s at %s) " % (type(mgr), hex(id(mgr)))


def test_worked_examples(mgr):
    mgr._plugins.update(big_tree())
    assert repr(mgr) == ("plugins (<class 'plexor.core.pluginmanager.PluginManager'> at "
                         + hex(id(mgr)) + ") " + BIG_BODY)
    assert mgr.print_tree(SMALL) == SMALL_TEXT
    assert mgr.print_tree(data=SMALL, output="plugin") == SMALL_TEXT


def test_repr_header_uses_builtins_kept_from_load(monkeypatch):
    mgr = PassThroughManager()
    assert repr(mgr) == ""
    mgr._plugins["x"] = 1
    monkeypatch.setattr(builtins, "hex", lambda n: "HEX")
    monkeypatch.setattr(builtins, "id", lambda o: 0)
    text = repr(mgr)
    monkeypatch.undo()
    assert text == "plugins (<class '%s.PassThroughManager'> at %s) \n  |__ x = 1" % (
        __name__, hex(id(mgr)))
    del mgr._plugins
    with pytest.raises(AttributeError):
        repr(mgr)


class Boom(Exception):
    pass


def raise_boom(*args):
    raise Boom


def odd(base, **methods):
    """A subclass of ``base`` with the given methods."""
    return type("Odd", (base,), methods)


@pytest.mark.parametrize("data, output, expected", [
    (None, "plugin", ""), ({}, 5, ""), ("", None, ""), (0, "r", ""), ([], "r", ""),
    (odd(object, __eq__=lambda s, o: True, __hash__=object.__hash__)(), "r", ""),
    (odd(object, __bool__=lambda s: False, __eq__=raise_boom, __hash__=object.__hash__)(),
     "r", ""),
    ("leaf", "root", "root = leaf"),
    ({"a": "w"}, "", "\n  |__ a = w"),
    ({"k": {}}, "root", "root\n  |"),
    ({"k": None, "m": ""}, "root", "root\n  |\n  |"),
    ({"Z": 1, "a": 2}, "r", "r\n  |__ Z = 1\n  |__ a = 2"),
    ({"a": {"b": {"c": 1}}, "d": 2}, "r", "r\n  |__ a\n  |  |__ b\n  |    |__ c = 1\n  |__ d = 2"),
    ({"a": {"b": {"c": 1}, "e": 3}}, "r", "r\n  |__ a\n    |__ b\n    |  |__ c = 1\n    |__ e = 3"),
    ({"a": [1, 2], "b": 1.5, "c": True}, "r", "r\n  |__ a = [1, 2]\n  |__ b = 1.5\n  |__ c = True"),
    ({"a": "x\ny"}, "r", "r\n  |__ a = x\n  y"),
    ({"a": "x\ny", "b": 1}, "r", "r\n  |__ a = x\n  |y\n  |__ b = 1"),
    ({"a\nb": {"c": 1}}, "r", "r\n  |__ a\n  b\n    |__ c = 1"),
])
def test_rendering_rules(mgr, data, output, expected):
    assert mgr.print_tree(data, output) == expected
    assert REF.print_tree(data, output) == expected


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


@pytest.mark.parametrize("child, expected", [
    (odd(object, split=lambda self, sep: ["x", 7] if sep == "\n" else None)(),
     "plugin\n  |x\n  |7\n  |__ b = 2"),
    ("one\ntwo", "plugin\n  |one\n  |two\n  |__ b = 2"),
    (5, AttributeError),
])
def test_override_returning_other_objects(child, expected):
    mgr = HookManager()
    mgr.hook = lambda d, o: child if o == "__ a" else None
    if isinstance(expected, str):
        assert mgr.print_tree({"a": 1, "b": 2}) == expected
    else:
        with pytest.raises(expected):
            mgr.print_tree({"a": 1, "b": 2})


def test_key_removed_while_rendering():
    mgr = HookManager()
    data = {"a": 1, "b": 2, "c": 3}
    mgr.hook = lambda d, output: data.pop("b") and None if output == "__ a" else None
    with pytest.raises(KeyError):
        mgr.print_tree(data)
    assert data == {"a": 1, "c": 3}


Reversed = odd(str, __lt__=str.__gt__)
Tagged = odd(str, __str__=lambda self: "tag")


@pytest.mark.parametrize("data, expected", [
    (odd(dict, keys=lambda self: iter(["b"]))(a=1, b=2), "plugin\n  |__ b = 2"),
    (odd(dict, __getitem__=lambda self, key: key.upper())(a=1, b=2),
     "plugin\n  |__ a = A\n  |__ b = B"),
    ({Reversed("a"): {"x": 1, "y": 2}, Reversed("b"): Tagged("v\nw")},
     "plugin\n  |__ b = tag\n  |__ a\n    |__ x = 1\n    |__ y = 2"),
    ({Tagged("k"): Tagged("v")}, "plugin\n  |__ k = tag"),
    (odd(dict, keys=raise_boom)(a=1), Boom),
    (odd(dict, __getitem__=raise_boom)(a=1), Boom),
    (odd(dict, keys=lambda self: [])(a=1), IndexError),
    ({1: "x"}, TypeError),
    ({"a": {"b": {2: "x"}}}, TypeError),
    ({"a": 1, None: 1}, TypeError),
    ({"a": odd(object, __str__=raise_boom)()}, Boom),
    ({odd(str, __lt__=raise_boom)("a"): 1, odd(str, __lt__=raise_boom)("b"): 2}, Boom),
    ({"a": odd(object, __str__=raise_boom)(), "b": 1, 3: 1}, TypeError),  # keys sorted first
])
def test_odd_mappings_keys_and_leaves(mgr, data, expected):
    if isinstance(expected, str):
        assert mgr.print_tree(data) == expected
        assert REF.print_tree(data) == expected
    else:
        for impl in (mgr, REF):
            with pytest.raises(expected):
                impl.print_tree(data)


text = st.text(alphabet=st.sampled_from("ab Z\n|_=é€\U0001f600"), max_size=6)
keys = st.one_of(text, text.map(Unequal))
trees = st.recursive(
    st.one_of(text, text.map(Loud), st.none(), st.integers(-2, 2), st.booleans()),
    lambda children: st.dictionaries(keys, children, max_size=4),
    max_leaves=25,
)


@settings(max_examples=200, deadline=None)
@given(data=trees, output=text)
def test_matches_reference(data, output):
    expected = REF.print_tree(data, output)
    assert pm_module.PluginManager().print_tree(data, output) == expected
    assert PassThroughManager().print_tree(data, output) == expected
    if data:
        for impl in (REF, pm_module.PluginManager()):
            with pytest.raises(TypeError):
                impl.print_tree(data, 5)


class _Q(str):
    def __radd__(self, other):
        return "R"


class _Y(str):
    def __str__(self):
        return self

    def __radd__(self, other):
        return _Q("q")


class _X(str):
    def split(self, sep):
        return [_Y("line")]


class _Z(str):
    def __radd__(self, other):
        return _X("x")


class _Leaf:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


@pytest.mark.parametrize("wide_key", ["\u65e5", "\U0001f600", "\xe9"])
@pytest.mark.parametrize("data, expected", [
    # A piece that widened the text is cut back out by text subclasses.
    (lambda w: {w: {"k": _Leaf(_Z("leaf"))}, "a": "b"}, "plugin\n  |__ a = b\n  |R"),
    (lambda w: {"a": "b", "c": {w: _Leaf(_Z("x"))}}, "plugin\n  |__ a = b\n  |R"),
    # Wide pieces that stay, beside plain ones.
    (lambda w: {w: "v", "a": {"b": "c"}}, None),
])
def test_results_are_canonical_text(mgr, wide_key, data, expected):
    result = mgr.print_tree(data(wide_key))
    if expected is None:
        expected = REF.print_tree(data(wide_key))
    assert type(result) is str
    assert result == expected and hash(result) == hash(expected)
    assert result.isascii() == expected.isascii()
    assert {expected: 1}[result] == 1
    mgr._plugins = data(wide_key)
    shown = repr(mgr)
    assert shown.isascii() == all(ord(c) < 128 for c in shown)


# Keys that order by code points in every way a bytewise comparison could get
# wrong: prefixes, one-byte texts beyond ASCII, wider kinds, more than fit inline.
MANY_KEYS = ["b", "a", "ab", "a\x00", "A", "\xe9", "\xe9a", "\xff", "~", "z", "aa", "\u0100",
             "\u65e5", "\U0001f600", "", " ", "a" * 40, "a" * 39 + "b", "Z\n", "m10", "m9"]


@pytest.mark.parametrize("count", [1, 2, 8, 9, 16, len(MANY_KEYS)])
def test_many_plain_keys_sort_as_sorted_does(mgr, count):
    keys = MANY_KEYS[:count]
    data = {key: {"x": key, "y": {"z": 1}} if i % 3 else i + 1 for i, key in enumerate(keys)}
    assert mgr.print_tree(data, "root") == REF.print_tree(data, "root")


class Meddling:
    """A leaf whose str() changes the mapping being rendered."""

    def __init__(self, change):
        self.change = change

    def __str__(self):
        self.change()
        return "m"


def _replace(d):
    d["c"] = "new"


def _move(d):
    value = d.pop("c")
    d["c"] = value + "!"


def _grow(d):
    d.update(("x%03d" % i, i) for i in range(200))
    d["c"] = "after growth"


def _swap(d):
    d.clear()
    d.update({"c": "cleared", "b": None, "a": "again"})


def _delete(d):
    del d["c"]


@pytest.mark.parametrize("change", [_replace, _move, _grow, _swap, _delete])
@pytest.mark.parametrize("width", [3, 12])
def test_children_read_after_the_mapping_changed(mgr, change, width):
    """Each child is read when its turn comes, as data[key] reads it."""

    def tree():
        data = {"k%02d" % i: "v" for i in range(width - 3)}
        data.update({"c": "old", "d": {"e": "f"}})
        data["b"] = Meddling(lambda: change(data))
        return data

    try:
        expected = REF.print_tree(tree())
    except KeyError:
        with pytest.raises(KeyError):
            mgr.print_tree(tree())
    else:
        assert mgr.print_tree(tree()) == expected


def test_renderings_nested_in_a_rendering(mgr):
    """A leaf that renders while being rendered gets its own text."""
    mgr._plugins = {"x": {"y": "z" * 5000}}
    inner = {"p": "q" * 3000}
    seen = []

    class Nested:
        def __str__(self):
            seen.append((repr(mgr), mgr.print_tree(inner)))
            return "nested"

    data = {"a": "b" * 2000, "n": Nested(), "z": {"w": "v"}}
    assert mgr.print_tree(data) == REF.print_tree({"a": "b" * 2000, "n": "nested",
                                                   "z": {"w": "v"}})
    (shown, text), = seen
    assert shown == header(mgr) + "\n  |__ x\n    |__ y = " + "z" * 5000
    assert text == REF.print_tree(inner)
    # Texts of every size one after another, larger than any memory kept.
    for size in (10, 10 ** 6, 3 * 10 ** 7, 0, 10 ** 5):
        assert mgr.print_tree({"k": "v" * size}) == ("plugin\n  |__ k = " + "v" * size
                                                     if size else "plugin\n  |")


@pytest.mark.parametrize("data, output", [
    ({"a": "b"}, ""), ("leaf", ""), ({"": {"": ""}}, ""), ({"a": "\xe9"}, ""), ({"a": "b"}, "r"),
])
def test_first_pieces_of_a_rendering_without_memory(mgr, data, output):
    """A rendering nested in another starts with no memory of its own."""
    seen = []

    class Inner:
        def __str__(self):
            seen.append(mgr.print_tree(data, output))
            return "inner"

    assert mgr.print_tree({"k": Inner()}) == "plugin\n  |__ k = inner"
    assert seen == [REF.print_tree(data, output)]


def test_children_read_through_the_lookup_of_data_key(mgr):
    """A key added meanwhile whose equality runs code is asked, as data[key] asks it."""

    def tree(late_key):
        class Collider:
            armed = False

            def __hash__(self):
                return hash("b")

            def __eq__(self, other):
                return Collider.armed and other == "b"

        data = {}

        class Leaf:
            def __str__(self):
                data.clear()
                data[Collider()] = "from the collider"
                data["b"] = "from b"
                if late_key:
                    data["c"] = "late"
                Collider.armed = True
                return "L"

        data["a"] = Leaf()
        data["b"] = "first"
        return data

    for late_key in (False, True):
        assert mgr.print_tree(tree(late_key)) == REF.print_tree(tree(late_key))
        assert "from the collider" in REF.print_tree(tree(late_key))


def nested(levels):
    """A tree `levels` dictionaries deep."""
    tree = {"k": "v"}
    for _ in range(levels - 1):
        tree = {"k": tree}
    return tree


def deepest_drawn(draw, frames):
    """The deepest tree `draw` draws when called `frames` frames further down."""
    if frames:
        return deepest_drawn(draw, frames - 1)
    low, high = 0, sys.getrecursionlimit()
    while low < high:
        middle = (low + high + 1) // 2
        try:
            draw(nested(middle))
            low = middle
        except RecursionError:
            high = middle - 1
    return low


def draw_repr(manager, tree):
    manager._plugins = tree
    return repr(manager)


def overriding(base):
    class Override(base):
        def print_tree(self, data, output="plugin"):
            return super().print_tree(data, output)
    return Override


@pytest.mark.parametrize("draw", [lambda manager, tree: manager.print_tree(tree), draw_repr])
@pytest.mark.parametrize("override", [False, True])
def test_nesting_drawn_within_the_recursion_limit(pm, pure, draw, override):
    """As deep as the plain-Python twin draws, from the caller's depth on."""
    if override and sys.version_info < (3, 12):
        pytest.skip("before 3.12 the interpreter counts the C calls between the levels too")
    figures = {}
    for base in (pm.PluginManager, pure.PluginManager):
        manager = overriding(base)() if override else base()
        old_limit = sys.getrecursionlimit()
        sys.setrecursionlimit(len(inspect.stack(0)) + 150)
        try:
            figures[base] = [deepest_drawn(lambda tree, m=manager: draw(m, tree), frames)
                             for frames in (0, 40)]
        finally:
            sys.setrecursionlimit(old_limit)
    module, plain = figures[pm.PluginManager], figures[pure.PluginManager]
    # 40 frames more take 40 levels, or 20 where each level is the override's call too.
    assert module[0] - module[1] == (20 if override else 40) and 50 < module[0] < 150
    if sys.version_info >= (3, 12):
        assert module == plain
    else:
        assert abs(module[0] - plain[0]) <= 2


class Shown(str):
    """A text that shows itself otherwise once formatted."""

    def __format__(self, spec):
        return "formatted " + str.__format__(self, spec)


def test_repr_header_formats_a_text_subclass_once_more(pm):
    """str() of the class giving a str subclass: format(text, "") makes the plain text."""
    meta = odd(type, __str__=lambda cls: Shown("<shown>"))
    manager = meta("Managed", (pm.PluginManager,), {})()
    manager._plugins = {"a": 1}
    assert repr(manager) == f"plugins ({type(manager)!s} at {hex(id(manager))}) \n  |__ a = 1"
    assert repr(manager).startswith("plugins (formatted <shown> at ")


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def malloc_in_use():
    """Bytes the C allocator has handed out and not had back (glibc), or None."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def test_memory_kept_between_renderings_is_bounded(mgr):
    """print_tree and __repr__ keep at most 2 MiB in all once their texts are freed."""
    if malloc_in_use() is None:
        pytest.skip("needs glibc's mallinfo2")
    mgr._plugins = {"k%05d" % i: "v" * 200 for i in range(20000)}
    mgr.print_tree({"a": "b"})
    gc.collect()
    before = malloc_in_use()
    assert len(mgr.print_tree(mgr._plugins)) > 4 * 2 ** 20 and len(repr(mgr)) > 4 * 2 ** 20
    gc.collect()
    assert malloc_in_use() - before <= 2.25 * 2 ** 20


def test_kept_memory_serves_a_larger_rendering_next(mgr):
    """A rendering over 1 MiB leaves its memory cut down to 1 MiB for the next
    call, which grows it again for a larger text (under the sanitizer build,
    a capacity that outlived the cut shows as a write past the block)."""
    def tree(count):
        return {"k%05d" % i: "v" * 100 for i in range(count)}

    def expected(data):
        return "plugin" + "".join("\n  |__ %s = %s" % item for item in sorted(data.items()))

    for count in (12000, 30000, 12000):
        data = tree(count)
        text = mgr.print_tree(data)
        assert len(text) > 2 ** 20 and text == expected(data)
