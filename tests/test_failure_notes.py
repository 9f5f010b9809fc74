"""From 3.11 on, a refused lookup or removal carries one note: where the walk ended and
what the node there holds. The messages stay as they are."""
import sys

import pytest
from conftest import refused

NOTES = sys.version_info >= (3, 11)


class Linux:
    pass


class Edge(Linux):
    pass


@pytest.fixture
def tree(mgr):
    mgr.register_plugin(Linux, os="generic")
    mgr.register_plugin(Linux, os="linux")
    mgr.register_plugin(Edge, os="linux", platform="edge", model="e8")
    return mgr


def note_of(call, message):
    """The notes of the ConnectionInfraError(message) that call() raises."""
    from plexor.core.errors import ConnectionInfraError

    refused(call, message)
    with pytest.raises(ConnectionInfraError) as info:
        call()
    return getattr(info.value, "__notes__", None)


NOTE = "the walk ended at %s: selectors %r, chassis types %r"


def expected(where, selectors, chassis_types):
    return [NOTE % (where, selectors, chassis_types)] if NOTES else None


LOOKUP = "Plugin data not found for (%s), type: %s "


@pytest.mark.parametrize("call, message, where, selectors, chassis_types", [
    (lambda m: m.get_plugin(os="zzz"), LOOKUP % ("zzz", "single_rp"),
     "the root", ["generic", "linux"], []),
    (lambda m: m.get_plugin(os="linux", platform="edge", model="m9"),
     LOOKUP % ("linux/edge/m9", "single_rp"), "(linux/edge)", ["e8"], []),
    (lambda m: m.get_plugin(os="linux", platform="core", chassis_type="dual_rp"),
     LOOKUP % ("linux/core", "dual_rp"), "(linux)", ["edge"], ["single_rp"]),
    (lambda m: m.unregister_plugin(os="linux", platform="core"), "Plugin data not found",
     "(linux)", ["edge"], ["single_rp"]),
    (lambda m: m.unregister_plugin(os="linux", platform="edge"), "Plugin data not found",
     "(linux/edge)", ["e8"], []),
])
def test_refusals_say_where_the_walk_ended(tree, call, message, where, selectors,
                                           chassis_types):
    assert note_of(lambda: call(tree), message) == expected(where, selectors, chassis_types)


class Node(dict):
    """A node that is not a plain dict: the note would have to run its code."""


@pytest.mark.parametrize("call, message", [
    (lambda m: m.get_plugin(os="linux", platform="core"), LOOKUP % ("linux/core", "single_rp")),
    (lambda m: m.unregister_plugin(os="linux", platform="core"), "Plugin data not found"),
])
def test_no_note_where_a_node_is_not_a_plain_dict(mgr, call, message):
    mgr._plugins = {"linux": Node(edge={})}
    assert note_of(lambda: call(mgr), message) is None


def test_the_docs_quote_notes_as_the_cases_above_raise_them():
    from test_docs import API, README

    root = NOTE % ("the root", ["generic", "linux"], [])
    edge = NOTE % ("(linux/edge)", ["e8"], [])
    assert "`%s`" % root in API and "`%s`" % edge in API and "`%s`" % edge in README
