"""The native function type of the PluginManager members: binding, descriptors, calls."""
import functools
import re

import pytest

from plexor.core.pluginmanager import PluginManager as Native


class PluginManager:
    """Pure-Python twin with the same signatures; the interpreter's own binding errors."""

    def __init__(self):
        pass

    @property
    def plugins(self):
        pass

    @plugins.setter
    def plugins(self, value):
        pass

    def validate_model(self, os, platform, model):
        pass

    def validate_platform(self, os, platform):
        pass

    def validate_os(self, os):
        pass

    def validate_chassis_type(self, chassis_type):
        pass

    def validate_arguments(self, os, platform, model, chassis_type):
        pass

    def get_plugin(self, os=None, platform=None, model=None, os_flavor=None,
                   chassis_type="single_rp"):
        pass

    def unregister_plugin(self, os=None, platform=None, model=None, os_flavor=None,
                          chassis_type=None):
        pass

    def register_plugin(self, cls, os=None, platform=None, model=None, os_flavor=None,
                        chassis_type="single_rp"):
        pass

    @staticmethod
    def discover_builtin_plugins():
        pass

    @staticmethod
    def discover_external_plugins():
        pass

    def print_tree(self, data, output="plugin"):
        pass

    def __repr__(self):
        pass


Twin = PluginManager


class Sub(Native):
    """A subclass that overrides one validator with a plain Python function."""

    def validate_os(self, os):
        self.seen = os
        return "overridden"


class Traced(Native):
    """A subclass that watches every attribute fetch."""

    def __getattribute__(self, name):
        object.__getattribute__(self, "fetched").append(name)
        return object.__getattribute__(self, name)


BAD_CALLS = [
    # missing arguments
    "o.validate_os()",
    "o.validate_platform('a')",
    "o.validate_model()",
    "o.validate_arguments(os=1, platform=2, model=3)",
    "o.print_tree()",
    "o.register_plugin()",
    "o.register_plugin(os='linux')",
    "o.print_tree(output='x')",
    # too many positional arguments
    "o.__init__(1)",
    "o.__repr__(1)",
    "o.validate_os('a', 'b')",
    "o.get_plugin(1, 2, 3, 4, 5, 6)",
    "o.register_plugin(1, 2, 3, 4, 5, 6, 7)",
    "o.print_tree(1, 2, 3)",
    # unexpected keywords
    "o.get_plugin(x=1)",
    "o.validate_os(bad=1)",
    "o.get_plugin(1, 2, 3, 4, 5, 6, x=1)",
    "o.unregister_plugin(os='a', OS='b')",
    "o.validate_chassis_type(chassis='a')",
    "o.get_plugin('linux', platfrom='x')",
    "o.register_plugin(int, chasis_type='stack')",
    # repeated arguments
    "o.get_plugin('a', os='b')",
    "o.validate_platform('a', os='b')",
    "o.validate_os(self=o)",
    "o.validate_os(1, 2, os=3)",
    "o.register_plugin(1, 2, cls=3, os=4)",
    # calls through the class without self
    "C.get_plugin()",
    "C.__init__()",
    "C.validate_os('linux')",
    "C.validate_model('a', 'b', model='c')",
    "C.plugins.fget()",
    "C.plugins.fset(o)",
    "C.plugins.fset(o, 1, 2)",
    # static methods take nothing at all
    "C.discover_builtin_plugins(1)",
    "o.discover_builtin_plugins(o)",
    "C.discover_external_plugins(x=1)",
    "o.discover_external_plugins(**{'group': 'g'})",
    # calls through *args/**kwargs, bound method objects and partial objects
    "getattr(o, 'validate_os')(*(), **{'bad': 1})",
    "getattr(o, 'get_plugin')(*('a',), **{'os': 'b'})",
    "C.validate_os(*[o, 1, 2])",
    "functools.partial(C.get_plugin, o, 1)(os=2)",
    "functools.partial(o.validate_model, 1)(os=2, platform=3)",
    "o.get_plugin(**{1: 2})",
    "o.get_plugin(os=1, **{1: 2})",
    "o.validate_os(**{'os': 1, 2: 3})",
]


def call(src, cls):
    obj = cls.__new__(cls)
    return eval(src, {"C": cls, "o": obj, "functools": functools})


def binding_error(src, cls):
    with pytest.raises(TypeError) as info:
        call(src, cls)
    assert type(info.value) is TypeError
    return str(info.value)


@pytest.mark.parametrize("src", BAD_CALLS)
def test_binding_errors_match_python_functions(src):
    assert binding_error(src, Native) == binding_error(src, Twin)


@pytest.mark.parametrize("src", [
    "o.validate_os()", "o.validate_os('linux', 'x')", "o.validate_os(os=1, x=2)",
    "o.validate_os('linux', os='linux')",
])
def test_binding_error_comes_before_the_body(mgr, src):
    del mgr.supported_os
    with pytest.raises(AttributeError):
        mgr.validate_os("linux")  # the body does run for a good call
    with pytest.raises(TypeError) as info:
        eval(src, {"o": mgr})
    assert type(info.value) is TypeError


# ---------------------------------------------------------------- descriptors

def test_functions_bind_like_python_functions(mgr):
    func = vars(Native)["get_plugin"]
    assert Native.get_plugin is func
    assert func.__get__(None, Native) is func
    bound = mgr.get_plugin
    assert type(bound) is type(Twin().get_plugin)
    assert bound.__self__ is mgr and bound.__func__ is func
    assert bound == mgr.get_plugin and bound is not mgr.get_plugin
    assert func.__get__(mgr, Native).__self__ is mgr
    assert callable(func)


def test_static_methods_are_not_bound(mgr):
    for name in ("discover_builtin_plugins", "discover_external_plugins"):
        func = vars(Native)[name].__func__
        assert getattr(Native, name) is func and getattr(mgr, name) is func


def test_function_repr():
    for name in ("get_plugin", "__init__", "print_tree"):
        func = vars(Native)[name]
        assert re.fullmatch(r"<function PluginManager\.%s at 0x[0-9a-f]+>" % name,
                            repr(func))
        assert repr(func).endswith(" at %#x>" % id(func))


def test_function_type_is_closed():
    func = Native.get_plugin
    with pytest.raises(TypeError):
        type(func)()
    for attr, value in [("__defaults__", ()), ("__name__", "x"), ("__qualname__", "x")]:
        with pytest.raises((AttributeError, TypeError)):
            setattr(func, attr, value)
    assert func.__name__ == "get_plugin"
    assert func.__defaults__ == (None, None, None, None, "single_rp")


# ---------------------------------------------------------------- good calls

@pytest.mark.parametrize("args, kwargs", [
    (("linux", None, None, None, "single_rp"), {}),
    (("linux",), {"platform": None, "model": None, "os_flavor": None,
                  "chassis_type": "single_rp"}),
    (("linux", None), {"chassis_type": "single_rp", "os_flavor": None}),
    (("linux", None, None, None), {"chassis_type": "single_rp"}),
    ((), {"chassis_type": "single_rp", "model": None, "os": "linux"}),
])
def test_get_plugin_mixes_positional_and_keyword(mgr, args, kwargs):
    mgr.register_plugin(Sub, os="linux")
    assert mgr.get_plugin(*args, **kwargs) is Sub
    assert getattr(mgr, "get_plugin")(*args, **kwargs) is Sub
    assert Native.get_plugin(mgr, *args, **kwargs) is Sub
    assert functools.partial(Native.get_plugin, mgr)(*args, **kwargs) is Sub
    assert Native.get_plugin(self=mgr, os="linux") is Sub


def test_subclass_override_and_instance_shadowing_are_called():
    sub = Sub()
    assert sub.validate_arguments("linux", None, None, "single_rp") is None
    assert sub.seen == "linux"
    sub.validate_os = lambda os: sub.__dict__.setdefault("shadowed", os)
    sub.validate_arguments("generic", None, None, "single_rp")
    assert sub.shadowed == "generic" and sub.seen == "linux"


def test_subclass_getattribute_sees_method_fetches():
    obj = Traced.__new__(Traced)
    object.__setattr__(obj, "fetched", [])
    obj.__init__()
    obj.register_plugin(Sub, os="linux")
    assert obj.get_plugin("linux") is Sub
    assert obj.fetched.count("validate_arguments") == 2
    assert "validate_os" in obj.fetched and "_plugins" in obj.fetched
    assert "plugins" not in obj.fetched
