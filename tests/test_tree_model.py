"""Random register / get / unregister sequences checked against a small model."""
import inspect
import logging

from hypothesis import given, settings, strategies as st

import plexor.core.pluginmanager as pm
import plexor.plugins
from conftest import frozen
from plexor.core.errors import ConnectionInfraError


class A:
    pass


class B:
    pass


FILE = inspect.getfile(A)
OS = list(plexor.plugins.supported_os)
CHASSIS = list(plexor.plugins.supported_chassis)


class Err(Exception):
    """What the model expects: compared by type and args."""
    def __init__(self, message, kind=ConnectionInfraError):
        super().__init__(message)
        self.kind = kind


def cased(value):
    return value.islower() or value.isdigit()


class Model:
    def __init__(self):
        self.tree = {}
        self.log = []

    def validate(self, os, platform, model, chassis):
        if model:
            if not platform or not os:
                raise Err("OS and platform are required for Model: " + str(model))
            if not isinstance(model, str):
                raise Err("Model should be of type str")
            if not cased(model):
                raise Err(" Model (%s) has to be in lowecase" % model)
        if platform:
            if os is None:
                raise Err("OS information not provided for platform: " + str(platform))
            if not isinstance(platform, str):
                raise Err("platform should be of type str")
            if not cased(platform):
                raise Err("platform (%s) has to be in lowercase" % platform)
        if not os:
            raise Err("OS should be one of these %s , but got %s" % (OS, os))
        if os not in OS:
            self.log.append("%s is not part of the built-in list of supported OSes." % (os,))
        if os == "linux":
            return
        if not chassis or chassis not in CHASSIS:
            raise Err("chassis Type should be one of these %s, but got %s" % (CHASSIS, chassis))

    @staticmethod
    def path(os, platform, model, flavor):
        path = [os, platform, model] if model is not None else \
            [os, platform] if platform is not None else [os]
        return path + ([flavor] if flavor is not None else [])

    def register(self, cls, os, platform, model, flavor, chassis):
        self.validate(os, platform, model, chassis)
        path = self.path(os, platform, model, flavor)
        record = {"cls": cls, "path": FILE}
        node = self.tree
        for i, key in enumerate(path):
            if key not in node:
                branch = {"data": {chassis: record}}
                for k in reversed(path[i + 1:]):
                    branch = {k: branch}
                node[key] = branch
                return None
            node = node[key]
        if "data" not in node:
            node["data"] = {chassis: record}
            return None
        if chassis in node["data"]:
            self.log.append(" %s already registered for %s, %s from %s is overriding this class"
                            % (node["data"][chassis]["cls"].__name__, path,
                               cls.__name__, cls.__module__))
        node["data"][chassis] = record
        return None

    def get(self, os, platform, model, flavor, chassis):
        self.validate(os, platform, model, chassis)
        path = self.path(os, platform, model, flavor)
        node = self.tree
        for key in path:
            if key in node:
                node = node[key]
        if "data" not in node or chassis not in node["data"]:
            raise Err("Plugin data not found for (%s), type: %s "
                      % ("/".join(map(str, path)), chassis))
        return node["data"][chassis]["cls"]

    def unregister(self, os, platform, model, flavor, chassis):
        self.validate(os, platform, model, "single_rp")
        node = self.tree
        for key in self.path(os, platform, model, flavor):
            if key not in node:
                raise Err("Plugin data not found")
            node = node[key]
        if "data" not in node:
            raise Err("Plugin data not found")
        if chassis is None:
            del node["data"]
        elif chassis not in node["data"]:
            raise Err("Plugin data not found for %s" % (chassis,))
        else:
            del node["data"][chassis]
        return None


def outcome(call, *args):
    try:
        return ("ok", call(*args))
    except Err as e:
        return ("raise", e.kind, e.args)
    except Exception as e:
        return ("raise", type(e), e.args)


class BadStr:
    def __str__(self):
        raise RuntimeError("str")


class BadBool:
    def __bool__(self):
        raise RuntimeError("bool")


# every selector is drawn from the same small set of values; the repetitions
# keep most requests past validation
ODD = ["", "Abc", 5, ("a", "b"), [1], BadStr(), BadBool()]
selectors = st.tuples(
    st.sampled_from(["generic", "generic", "x", "x", "linux", "data", None] + ODD),
    st.sampled_from([None] * 5 + ["x", "data", "generic", "linux"] + ODD),
    st.sampled_from([None] * 12 + ["x", "data"] + ODD),
    st.sampled_from([None] * 3 + ["x", "data", "generic"] + ODD),
    st.sampled_from(["single_rp"] * 3 + ["dual_rp", "stack", None, "bogus", [1]]))
value = st.sampled_from([None, "x", "data", "generic", "linux", 5])
# operations refer to a small pool of selector tuples, so that lookups and
# removals often meet earlier registrations; one selector and the chassis
# type may be swapped
operation = st.tuples(st.sampled_from(["register", "register", "get", "get", "unregister"]),
                      st.sampled_from([A, B]), st.integers(0, 3),
                      st.one_of(st.none(), st.none(),
                                st.tuples(st.sampled_from([0, 1, 1, 3, 3]), value)),
                      st.sampled_from(["keep"] * 4 + [None, "dual_rp"]))


class ListHandler(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())


@settings(max_examples=300, deadline=None)
@given(st.lists(selectors, min_size=1, max_size=3), st.lists(operation, min_size=5, max_size=40))
def test_random_sequences_match_the_model(pool, ops):
    logger = logging.getLogger("plexor")
    handler, level = ListHandler(), logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    try:
        mgr, model = pm.PluginManager(), Model()
        for name, cls, index, tweak, chassis in ops:
            args = pool[index % len(pool)]
            if tweak is not None:
                args = args[:tweak[0]] + (tweak[1],) + args[tweak[0] + 1:]
            if chassis != "keep":
                args = args[:4] + (chassis,)
            if name == "register":
                args = (cls,) + args
            handler.messages.clear()
            model.log.clear()
            real = outcome(getattr(mgr, name + "_plugin"), *args)
            expected = outcome(getattr(model, name), *args)
            assert real == expected, (name, args)
            assert handler.messages == model.log, (name, args)
            assert mgr._plugins == model.tree
            assert frozen(mgr._plugins) == frozen(model.tree)
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)
