"""Selector validation: the four validators and validate_arguments."""
import pytest

import plexor.plugins
from plexor.core.errors import ConnectionInfraError

OS_LIST = "['generic', 'linux', 'nimbus', 'tern', 'quill']"
CH_LIST = "['single_rp', 'dual_rp', 'stack']"
NOTICE = "%s is not part of the built-in list of supported OSes."


def refused(call, message):
    with pytest.raises(ConnectionInfraError) as info:
        call()
    assert type(info.value) is ConnectionInfraError
    assert info.value.args == (message,)


class Boom(Exception):
    pass


class Raising:
    """Every protocol used on a selector raises Boom."""
    def __bool__(self):
        raise Boom("bool")

    def __eq__(self, other):
        raise Boom("eq")

    def __str__(self):
        raise Boom("str")

    __hash__ = object.__hash__


class BadStr:
    def __str__(self):
        raise Boom("str")


class LowerAlways(str):
    def islower(self):
        return True


class DigitOnly(str):
    def islower(self):
        return False

    def isdigit(self):
        return True


class IsLowerRaises(str):
    def islower(self):
        raise Boom("islower")


class FalsyLower(str):
    """islower answers with an object whose truth test raises."""
    def islower(self):
        return Raising()


class LinuxLike:
    """Compares equal to "linux" and to nothing else."""
    def __init__(self):
        self.compared = []

    def __eq__(self, other):
        self.compared.append(other)
        return other == "linux"

    __hash__ = object.__hash__


class ContainsRaises(list):
    def __contains__(self, item):
        raise Boom("contains")


# -- validate_model ---------------------------------------------------------

@pytest.mark.parametrize("os, platform, model, message", [
    (None, None, None, None), (None, None, "", None), (None, None, 0, None),
    ("generic", "p", "abc", None), ("generic", "p", "1234", None),
    ("generic", "p", "abc-12", None), ("generic", "p", "x 1", None),
    ("generic", "", "abc", "OS and platform are required for Model: abc"),
    (None, "p", "abc", "OS and platform are required for Model: abc"),
    ("", "p", "abc", "OS and platform are required for Model: abc"),
    (None, "p", 5, "OS and platform are required for Model: 5"),
    ("generic", "p", 5, "Model should be of type str"),
    ("generic", "p", ("a",), "Model should be of type str"),
    ("generic", "p", "Abc", " Model (Abc) has to be in lowecase"),
    ("generic", "p", "ABC", " Model (ABC) has to be in lowecase"),
    ("generic", "p", "-", " Model (-) has to be in lowecase"),
    ("generic", "p", "12.5", " Model (12.5) has to be in lowecase"),
    # only the truth of os/platform matters here, not their type or case
    (1, "P", "abc", None),
])
def test_validate_model(mgr, os, platform, model, message):
    call = lambda: mgr.validate_model(os, platform, model)
    if message is None:
        assert call() is None
    else:
        refused(call, message)


# -- validate_platform ------------------------------------------------------

@pytest.mark.parametrize("os, platform, message", [
    (None, None, None), (None, "", None), (None, 0, None), (None, False, None),
    ("", "p", None), (False, "p", None), (0, "p", None),
    ("generic", "1234", None), ("generic", "abc-12", None),
    (None, "p", "OS information not provided for platform: p"),
    (None, 7, "OS information not provided for platform: 7"),
    ("a", 7, "platform should be of type str"),
    ("", 7, "platform should be of type str"),
    ("a", "P", "platform (P) has to be in lowercase"),
    ("", "12.5", "platform (12.5) has to be in lowercase"),
    ("a", "-", "platform (-) has to be in lowercase"),
])
def test_validate_platform(mgr, os, platform, message):
    call = lambda: mgr.validate_platform(os=os, platform=platform)
    if message is None:
        assert call() is None
    else:
        refused(call, message)


# -- case test on str subclasses ----------------------------------------------

@pytest.mark.parametrize("value, outcome", [
    (LowerAlways("ABC"), None),
    (DigitOnly("X-Y"), None),
    (IsLowerRaises("abc"), Boom),
    (FalsyLower("abc"), Boom),
])
def test_case_test_uses_the_values_own_methods(mgr, value, outcome):
    for call in (lambda: mgr.validate_model("g", "p", value),
                 lambda: mgr.validate_platform("g", value)):
        if outcome is None:
            assert call() is None
        else:
            with pytest.raises(outcome):
                call()


def test_refusal_message_formats_a_str_subclass_with_percent(mgr):
    class Upper(str):
        def __str__(self):
            return "shown"
    value = Upper("ABC")
    refused(lambda: mgr.validate_model("g", "p", value),
            " Model (%s) has to be in lowecase" % (value,))
    refused(lambda: mgr.validate_platform("g", value),
            "platform (%s) has to be in lowercase" % (value,))


# -- validate_os --------------------------------------------------------------

@pytest.mark.parametrize("os, message", [
    (None, "OS should be one of these " + OS_LIST + " , but got None"),
    ("", "OS should be one of these " + OS_LIST + " , but got "),
    (False, "OS should be one of these " + OS_LIST + " , but got False"),
    (0, "OS should be one of these " + OS_LIST + " , but got 0"),
    ((), "OS should be one of these " + OS_LIST + " , but got ()"),
])
def test_validate_os_refuses_false_values(mgr, debug_log, os, message):
    refused(lambda: mgr.validate_os(os), message)
    assert debug_log() == []


@pytest.mark.parametrize("os, notice", [
    ("generic", None), ("linux", None),
    ("GENERIC", "GENERIC is not part of the built-in list of supported OSes."),
    ("Abc", "Abc is not part of the built-in list of supported OSes."),
    (5, "5 is not part of the built-in list of supported OSes."),
    (("a", "b"), "('a', 'b') is not part of the built-in list of supported OSes."),
    (("a",), "('a',) is not part of the built-in list of supported OSes."),
    (["x"], "['x'] is not part of the built-in list of supported OSes."),
])
def test_validate_os_notice_for_unlisted_values(mgr, debug_log, os, notice):
    assert mgr.validate_os(os=os) is None
    assert debug_log() == ([] if notice is None else [notice])


def test_os_lists_are_read_at_each_call(mgr, debug_log):
    mgr.supported_os = ["abc"]
    mgr.validate_os("abc")
    mgr.validate_os("generic")
    assert debug_log() == [NOTICE % "generic"]
    refused(lambda: mgr.validate_os(None), "OS should be one of these ['abc'] , but got None")
    # the host list is the very object: a change in place reaches existing managers
    other = type(mgr)()
    host = plexor.plugins.supported_os
    assert other.supported_os is host
    host.append("newos")
    try:
        other.validate_os("newos")
        refused(lambda: other.validate_os(""),
                "OS should be one of these " + OS_LIST[:-1] + ", 'newos'] , but got ")
    finally:
        host.remove("newos")
    assert debug_log() == [NOTICE % "generic"]


def test_os_list_object_errors_propagate(mgr, debug_log):
    mgr.supported_os = ContainsRaises(["generic"])
    with pytest.raises(Boom):
        mgr.validate_os("generic")
    mgr.supported_os = 5
    with pytest.raises(TypeError):
        mgr.validate_os("generic")
    # a false OS never reaches the membership test
    refused(lambda: mgr.validate_os(None), "OS should be one of these 5 , but got None")
    del mgr.supported_os
    with pytest.raises(AttributeError):
        mgr.validate_os("generic")
    assert debug_log() == []


class EqRaises:
    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = object.__hash__


@pytest.mark.parametrize("os, listed", [
    (Raising(), []), (BadStr(), []), (EqRaises(), ["generic"])])
def test_validate_os_value_errors_propagate(mgr, debug_log, os, listed):
    mgr.supported_os = listed
    with pytest.raises(Boom):
        mgr.validate_os(os)
    assert debug_log() == []


def test_log_debug_errors_propagate(mgr, pm, monkeypatch):
    class Log:
        def debug(self, msg):
            raise Boom(msg)
    monkeypatch.setattr(pm, "log", Log())
    with pytest.raises(Boom) as info:
        mgr.validate_os("unlisted")
    assert info.value.args == (NOTICE % "unlisted",)
    assert mgr.validate_os("generic") is None
    monkeypatch.delattr(pm, "log")
    with pytest.raises(NameError):
        mgr.validate_os("unlisted")
    assert mgr.validate_os("generic") is None


# -- validate_chassis_type -----------------------------------------------------

@pytest.mark.parametrize("chassis, message", [
    ("single_rp", None), ("dual_rp", None), ("stack", None),
    (None, "chassis Type should be one of these " + CH_LIST + ", but got None"),
    ("", "chassis Type should be one of these " + CH_LIST + ", but got "),
    ("stack2", "chassis Type should be one of these " + CH_LIST + ", but got stack2"),
    ("Single_rp", "chassis Type should be one of these " + CH_LIST + ", but got Single_rp"),
    (["stack"], "chassis Type should be one of these " + CH_LIST + ", but got ['stack']"),
])
def test_validate_chassis_type(mgr, chassis, message):
    call = lambda: mgr.validate_chassis_type(chassis_type=chassis)
    if message is None:
        assert call() is None
    else:
        refused(call, message)


def test_chassis_list_is_read_for_test_and_again_for_message():
    import plexor.core.pluginmanager as pm

    class Mgr(pm.PluginManager):
        reads = 0

        @property
        def chassis_type_list(self):
            Mgr.reads += 1
            return ["first"] if Mgr.reads == 1 else ["second"]

        @chassis_type_list.setter
        def chassis_type_list(self, value):
            pass

    m = Mgr()
    refused(lambda: m.validate_chassis_type("stack"),
            "chassis Type should be one of these ['second'], but got stack")
    assert Mgr.reads == 2
    refused(lambda: m.validate_chassis_type(None),
            "chassis Type should be one of these ['second'], but got None")
    assert Mgr.reads == 3


def test_chassis_list_changes_and_errors(mgr):
    host = plexor.plugins.supported_chassis
    host.append("blade")
    try:
        assert mgr.validate_chassis_type("blade") is None
    finally:
        host.remove("blade")
    refused(lambda: mgr.validate_chassis_type("blade"),
            "chassis Type should be one of these " + CH_LIST + ", but got blade")
    mgr.chassis_type_list = ("x",)
    refused(lambda: mgr.validate_chassis_type("single_rp"),
            "chassis Type should be one of these ('x',), but got single_rp")
    mgr.chassis_type_list = ContainsRaises()
    with pytest.raises(Boom):
        mgr.validate_chassis_type("stack")
    mgr.chassis_type_list = 3
    with pytest.raises(TypeError):
        mgr.validate_chassis_type("stack")
    mgr.chassis_type_list = []
    with pytest.raises(Boom):
        mgr.validate_chassis_type(Raising())
    with pytest.raises(Boom):
        mgr.validate_chassis_type(BadStr())


# -- the error class is looked up at each refusal ------------------------------

def test_error_class_looked_up_at_each_refusal(mgr, pm, monkeypatch):
    class Other(Exception):
        pass
    monkeypatch.setattr(pm, "ConnectionInfraError", Other)
    with pytest.raises(Other) as info:
        mgr.validate_os(None)
    assert info.value.args == ("OS should be one of these " + OS_LIST + " , but got None",)
    monkeypatch.delattr(pm, "ConnectionInfraError")
    calls = [lambda: mgr.validate_os(None), lambda: mgr.validate_chassis_type("x"),
             lambda: mgr.validate_model(None, None, "m"),
             lambda: mgr.validate_platform(None, "p"),
             # the name is resolved before the message is composed
             lambda: mgr.validate_model(None, None, BadStr())]
    for call in calls:
        with pytest.raises(NameError):
            call()
    assert mgr.validate_os("generic") is None


def test_value_errors_in_model_and_platform_propagate(mgr):
    with pytest.raises(Boom):
        mgr.validate_model("g", "p", Raising())
    with pytest.raises(Boom):
        mgr.validate_model("g", Raising(), "m")
    with pytest.raises(Boom):
        mgr.validate_model(None, None, BadStr())     # str() for the message
    with pytest.raises(Boom):
        mgr.validate_platform(None, BadStr())
    with pytest.raises(Boom):
        mgr.validate_platform("g", Raising())


# -- validate_arguments ---------------------------------------------------------

@pytest.mark.parametrize("args, message", [
    ((None, None, None, None), "OS should be one of these " + OS_LIST + " , but got None"),
    ((None, "p", None, None), "OS information not provided for platform: p"),
    ((None, None, "m", None), "OS and platform are required for Model: m"),
    ((None, "P", "m", None), "OS and platform are required for Model: m"),
    (("generic", "P", "M", None), " Model (M) has to be in lowecase"),
    (("generic", "P", "m", None), "platform (P) has to be in lowercase"),
    (("", "p", None, "single_rp"), "OS should be one of these " + OS_LIST + " , but got "),
    (("generic", "p", "m", None), "chassis Type should be one of these " + CH_LIST + ", but got None"),
    (("Linux", None, None, "nope"), "chassis Type should be one of these " + CH_LIST + ", but got nope"),
    (("generic", "p", "m", "single_rp"), None),
    (("linux", None, None, None), None),
    (("linux", "p", "m", "nope"), None),
    (("linux", "", None, ""), None),
])
def test_validate_arguments_order(mgr, args, message):
    if message is None:
        assert mgr.validate_arguments(*args) is None
    else:
        refused(lambda: mgr.validate_arguments(*args), message)


def test_linux_rule_uses_equality_of_os(mgr, debug_log):
    os = LinuxLike()
    assert mgr.validate_arguments(os=os, platform=None, model=None, chassis_type=None) is None
    assert "linux" in os.compared
    assert debug_log() == []           # equal to the listed "linux": no notice
    mgr.supported_os = ["generic"]     # "linux" itself is then unlisted: notice, no check
    assert mgr.validate_arguments("linux", None, None, "nope") is None
    assert debug_log() == [NOTICE % "linux"]


def test_linux_comparison_result_is_truth_tested(mgr):
    class Os:
        def __eq__(self, other):
            return Raising()
        __hash__ = object.__hash__
        def __str__(self):
            return "os"
    mgr.supported_os = []
    with pytest.raises(Boom):
        mgr.validate_arguments(Os(), None, None, "single_rp")


def test_validate_arguments_calls_validators_by_keyword(pm):
    calls = []

    def recorder(name):
        def method(self, **kw):
            calls.append((name, list(kw.items())))
        return method

    class Mgr(pm.PluginManager):
        validate_model = recorder("model")
        validate_platform = recorder("platform")
        validate_os = recorder("os")
        validate_chassis_type = recorder("chassis")

    Mgr().validate_arguments("a", "b", "c", "d")
    assert calls == [("model", [("os", "a"), ("platform", "b"), ("model", "c")]),
                     ("platform", [("platform", "b"), ("os", "a")]),
                     ("os", [("os", "a")]),
                     ("chassis", [("chassis_type", "d")])]
    calls.clear()
    Mgr().validate_arguments("linux", None, None, None)
    assert [c[0] for c in calls] == ["model", "platform", "os"]


def test_validator_overrides_are_honoured(pm, mgr, monkeypatch):
    seen = []

    class SwappedParams(pm.PluginManager):
        def validate_platform(self, platform, os):    # keyword call binds by name
            seen.append((platform, os))

    SwappedParams().validate_arguments("generic", "PLAT", None, "stack")
    assert seen == [("PLAT", "generic")]

    class NoOsParam(pm.PluginManager):
        def validate_os(self, name):
            seen.append(name)

    with pytest.raises(TypeError):
        NoOsParam().validate_arguments("generic", None, None, "stack")

    mgr.validate_model = lambda **kw: seen.append(("instance", kw))
    refused(lambda: mgr.validate_arguments(None, None, "M", None),
            "OS should be one of these " + OS_LIST + " , but got None")
    assert seen[-1] == ("instance", {"os": None, "platform": None, "model": "M"})

    def class_level(self, chassis_type):
        seen.append(("class", chassis_type))
    monkeypatch.setattr(pm.PluginManager, "validate_chassis_type", class_level)
    assert pm.PluginManager().validate_arguments("generic", None, None, "bogus") is None
    assert seen[-1] == ("class", "bogus")

