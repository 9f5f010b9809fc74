"""The native function type of the PluginManager members: binding, descriptors, calls."""
import functools
import inspect
import pydoc
import re

import pytest

from plexor.core.pluginmanager import PluginManager as Native
from test_module import MEMBERS
from test_module import TWIN as Twin  # same signatures, the interpreter's own binding errors


class Sub(Native):
    def validate_os(self, os):
        self.seen = os


BAD_CALLS = [
    # missing arguments
    "o.validate_os()", "o.validate_platform('a')",
    "o.validate_arguments(os=1, platform=2, model=3)",
    "o.register_plugin(os='linux')", "o.print_tree(output='x')",
    # too many positional arguments
    "o.__init__(1)", "o.__repr__(1)", "o.validate_os('a', 'b')",
    "o.get_plugin(1, 2, 3, 4, 5, 6)", "o.register_plugin(1, 2, 3, 4, 5, 6, 7)",
    # unexpected keywords
    "o.get_plugin(x=1)", "o.get_plugin(1, 2, 3, 4, 5, 6, x=1)",
    "o.unregister_plugin(os='a', OS='b')", "o.validate_chassis_type(chassis='a')",
    # repeated arguments
    "o.get_plugin('a', os='b')", "o.validate_os(self=o)", "o.register_plugin(1, 2, cls=3, os=4)",
    # calls through the class without self
    "C.get_plugin()", "C.__init__()", "C.validate_model('a', 'b', model='c')",
    "C.plugins.fget()", "C.plugins.fset(o)", "C.plugins.fset(o, 1, 2)",
    # static methods take nothing at all, through the class or an instance
    "C.discover_builtin_plugins(1)", "o.discover_builtin_plugins(o)",
    "C.discover_external_plugins(x=1)", "o.discover_external_plugins(**{'group': 'g'})",
    # *args/**kwargs, bound method objects and partial objects
    "getattr(o, 'get_plugin')(*('a',), **{'os': 'b'})", "C.validate_os(*[o, 1, 2])",
    "functools.partial(o.validate_model, 1)(os=2, platform=3)",
    "o.get_plugin(os=1, **{1: 2})", "o.validate_os(**{'os': 1, 2: 3})",
]


def binding_error(src, cls):
    with pytest.raises(TypeError) as info:
        eval(src, {"C": cls, "o": cls.__new__(cls), "functools": functools})
    assert type(info.value) is TypeError
    return str(info.value)


@pytest.mark.parametrize("src", BAD_CALLS)
def test_binding_errors_match_python_functions(src):
    assert binding_error(src, Native) == binding_error(src, Twin)


def test_binding_error_comes_before_the_body(mgr):
    del mgr.supported_os
    with pytest.raises(AttributeError):
        mgr.validate_os("linux")  # the body does run for a good call
    for bad in (lambda: mgr.validate_os(), lambda: mgr.validate_os("linux", os="linux")):
        with pytest.raises(TypeError) as info:
            bad()
        assert type(info.value) is TypeError


# ---------------------------------------------------------------- descriptors

def test_functions_bind_like_python_functions(mgr):
    func = vars(Native)["get_plugin"]
    assert Native.get_plugin is func and func.__get__(None, Native) is func
    bound = mgr.get_plugin
    assert type(bound) is type(Twin().get_plugin)
    assert bound.__self__ is mgr and bound.__func__ is func
    assert bound == mgr.get_plugin and bound is not mgr.get_plugin
    assert func.__get__(mgr, Native).__self__ is mgr
    for name in ("discover_builtin_plugins", "discover_external_plugins"):
        static = vars(Native)[name].__func__
        assert getattr(Native, name) is static and getattr(mgr, name) is static
    for name in ("get_plugin", "__init__"):
        func = vars(Native)[name]
        assert re.fullmatch(r"<function PluginManager\.%s at 0x[0-9a-f]+>" % name, repr(func))
        assert repr(func).endswith(" at %#x>" % id(func))


def test_function_type_is_closed():
    func = Native.get_plugin
    with pytest.raises(TypeError):
        type(func)()
    with pytest.raises((AttributeError, TypeError)):
        func.__defaults__ = ()
    assert func.__defaults__ == (None, None, None, None, "single_rp")


# ---------------------------------------------------------------- introspection

def _functions(cls, name):
    """The function objects behind a member: both accessors of a property."""
    raw = vars(cls)[name]
    if isinstance(raw, property):
        return [raw.fget, raw.fset]
    return [getattr(cls, name)]


@pytest.mark.parametrize("name", MEMBERS)
def test_signatures_match_python_functions(name):
    for native, twin in zip(_functions(Native, name), _functions(Twin, name)):
        assert inspect.signature(native) == inspect.signature(twin)
        assert native.__defaults__ == twin.__defaults__
    if name != "plugins":
        bound = getattr(Native(), name)
        assert str(inspect.signature(bound)) == str(inspect.signature(getattr(Twin(), name)))


def test_help_shows_signatures_and_docstrings(pm):
    page = pydoc.render_doc(pm, renderer=pydoc.plaintext)
    assert pm.__doc__.strip().splitlines()[0] in page
    flat = re.sub(r"[\s|]", "", page)  # newer pydoc wraps long signatures
    for line in (
        "class PluginManager(builtins.object)",
        "get_plugin(self, os=None, platform=None, model=None, os_flavor=None, "
        "chassis_type='single_rp')",
        "unregister_plugin(self, os=None, platform=None, model=None, os_flavor=None, "
        "chassis_type=None)",
        "print_tree(self, data, output='plugin')",
        "Static methods defined here:", "discover_external_plugins()",
        "This method returns the connection class based on the",
    ):
        assert re.sub(r"\s", "", line) in flat
    assert inspect.signature(Native) == inspect.Signature()


# ---------------------------------------------------------------- good calls

@pytest.mark.parametrize("args, kwargs", [
    (("linux", None, None, None, "single_rp"), {}),
    (("linux", None), {"chassis_type": "single_rp", "os_flavor": None}),
    ((), {"chassis_type": "single_rp", "model": None, "os": "linux"}),
])
def test_get_plugin_mixes_positional_and_keyword(mgr, args, kwargs):
    mgr.register_plugin(Sub, os="linux")
    assert mgr.get_plugin(*args, **kwargs) is Sub
    assert Native.get_plugin(mgr, *args, **kwargs) is Sub
    assert functools.partial(Native.get_plugin, mgr)(*args, **kwargs) is Sub
    assert Native.get_plugin(self=mgr, os="linux") is Sub


def test_methods_are_fetched_through_the_instance():
    sub = Sub()
    assert sub.validate_arguments("linux", None, None, "single_rp") is None
    assert sub.seen == "linux"
    sub.validate_os = lambda os: sub.__dict__.setdefault("shadowed", os)
    sub.validate_arguments("generic", None, None, "single_rp")
    assert sub.shadowed == "generic" and sub.seen == "linux"


def test_functions_are_weakly_referenced_copied_and_pickled_like_python_functions():
    import copy
    import gc
    import pickle
    import weakref

    mgr = Native()
    method = weakref.WeakMethod(mgr.get_plugin)
    assert method() == mgr.get_plugin
    plain = Native.__dict__["get_plugin"]
    ref = weakref.ref(plain)
    assert ref() is plain
    for name in ("get_plugin", "print_tree", "__repr__", "discover_builtin_plugins"):
        function = getattr(Native, name)
        assert copy.copy(function) is function and copy.deepcopy(function) is function
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(function, protocol)) is function
    del mgr
    gc.collect()
    assert method() is None
