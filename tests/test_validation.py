"""Selector validation: the four validators and validate_arguments."""
import ctypes
import warnings

import pytest
from hypothesis import given, settings, strategies as st

import plexor.core.pluginmanager
import plexor.plugins
from conftest import refused
from plexor.core.errors import ConnectionInfraError

OS_LIST = "['generic', 'linux', 'nimbus', 'tern', 'quill']"
NO_OS = "OS should be one of these " + OS_LIST + " , but got %s"
NO_CHASSIS = "chassis Type should be one of these ['single_rp', 'dual_rp', 'stack'], but got %s"
NO_CONTEXT = "OS and platform are required for Model: %s"
NO_OS_FOR_PLATFORM = "OS information not provided for platform: %s"
MODEL_CASE = " Model (%s) has to be in lowecase"
PLATFORM_CASE = "platform (%s) has to be in lowercase"
NOTICE = "%s is not part of the built-in list of supported OSes."
PARAMS = {"model": ("os", "platform", "model"), "platform": ("os", "platform"),
          "os": ("os",), "chassis_type": ("chassis_type",)}


def check(call, message):
    """call() returns None if message is None, else refuses with exactly that message."""
    if message is None:
        assert call() is None
    else:
        refused(call, message)


Boom = type("Boom", (Exception,), {})


def boom(self, *args):
    raise Boom(*args)


# values whose protocols misbehave
Raising = type("Raising", (), dict(__bool__=boom, __eq__=boom, __str__=boom,
                                   __hash__=object.__hash__))
EqRaises = type("EqRaises", (), dict(__eq__=boom, __hash__=object.__hash__))
EqGivesRaising = type("EqGivesRaising", (), dict(__eq__=lambda self, other: Raising(),
                                                 __hash__=object.__hash__))
BadStr = type("BadStr", (), dict(__str__=boom))
ContainsRaises = type("ContainsRaises", (list,), dict(__contains__=boom))
RaisingLog = type("RaisingLog", (), dict(debug=boom))
# str subclasses: their own methods decide
LowerAlways = type("LowerAlways", (str,), dict(islower=lambda self: True))
DigitOnly = type("DigitOnly", (str,), dict(islower=lambda self: False, isdigit=lambda self: True))
IsLowerRaises = type("IsLowerRaises", (str,), dict(islower=boom))
FalsyLower = type("FalsyLower", (str,), dict(islower=lambda self: Raising()))
Shown = type("Shown", (str,), dict(__str__=lambda self: "shown"))


class LinuxLike:
    """Compares equal to "linux" and to nothing else; records what it was compared with."""
    def __init__(self):
        self.compared = []

    def __eq__(self, other):
        self.compared.append(other)
        return other == "linux"

    __hash__ = object.__hash__


@pytest.mark.parametrize("name, args, message", [
    # model: only the truth of os, platform and model matters before the type test
    ("model", (None, None, 0), None), ("model", (1, "P", "abc"), None),
    ("model", ("g", "p", "1234"), None), ("model", ("g", "p", "abc-12"), None),
    ("model", ("g", "", "abc"), NO_CONTEXT % "abc"), ("model", (None, "p", 5), NO_CONTEXT % 5),
    ("model", ("", "p", "abc"), NO_CONTEXT % "abc"),
    ("model", ("g", "p", ("a",)), "Model should be of type str"),
    ("model", ("g", "p", "Abc"), MODEL_CASE % "Abc"),
    ("model", ("g", "p", "12.5"), MODEL_CASE % "12.5"),
    # the case test uses a str subclass's own methods; the message its __str__
    ("model", ("g", "p", LowerAlways("ABC")), None), ("platform", ("g", DigitOnly("X-Y")), None),
    ("model", ("g", "p", Shown("ABC")), MODEL_CASE % "shown"),
    ("platform", ("g", Shown("ABC")), PLATFORM_CASE % "shown"),
    # platform: only an OS that is None is refused, and before the type test
    ("platform", (None, ""), None), ("platform", ("", "p"), None), ("platform", (0, "p"), None),
    ("platform", ("g", "1234"), None),
    ("platform", (None, "p"), NO_OS_FOR_PLATFORM % "p"),
    ("platform", (None, 7), NO_OS_FOR_PLATFORM % 7),
    ("platform", ("", 7), "platform should be of type str"),
    ("platform", ("a", "P"), PLATFORM_CASE % "P"),
    ("platform", ("", "12.5"), PLATFORM_CASE % "12.5"),
    # os: false values are refused (and draw no notice)
    ("os", (None,), NO_OS % None), ("os", ("",), NO_OS % ""), ("os", (0,), NO_OS % 0),
    ("os", ((),), NO_OS % "()"),
    ("chassis_type", ("dual_rp",), None), ("chassis_type", (None,), NO_CHASSIS % None),
    ("chassis_type", ("",), NO_CHASSIS % ""), ("chassis_type", ("Stack",), NO_CHASSIS % "Stack"),
    ("chassis_type", (["stack"],), NO_CHASSIS % "['stack']"),
])
def test_validators(mgr, debug_log, name, args, message):
    check(lambda: getattr(mgr, "validate_" + name)(**dict(zip(PARAMS[name], args))), message)
    assert debug_log() == []


@pytest.mark.parametrize("os, notice", [
    ("generic", None), ("linux", None),
    ("GENERIC", "GENERIC is not part of the built-in list of supported OSes."),
    (5, "5 is not part of the built-in list of supported OSes."),
    (("a", "b"), "('a', 'b') is not part of the built-in list of supported OSes."),
    (["x"], "['x'] is not part of the built-in list of supported OSes."),
])
def test_os_notice_for_unlisted_values(mgr, debug_log, os, notice):
    assert mgr.validate_os(os=os) is None
    assert debug_log() == ([] if notice is None else [notice])


def test_host_lists_are_read_at_each_call(mgr, debug_log):
    mgr.supported_os = ["abc"]
    mgr.validate_os("abc")
    mgr.validate_os("generic")
    assert debug_log() == [NOTICE % "generic"]
    check(lambda: mgr.validate_os(None), "OS should be one of these ['abc'] , but got None")
    # a manager holds the host's very lists: changes in place reach it
    other = type(mgr)()
    os_list, chassis_list = plexor.plugins.supported_os, plexor.plugins.supported_chassis
    assert other.supported_os is os_list and other.chassis_type_list is chassis_list
    os_list.append("newos")
    chassis_list.append("blade")
    try:
        assert other.validate_os("newos") is None
        assert other.validate_chassis_type("blade") is None
        check(lambda: other.validate_os(""),
              "OS should be one of these " + OS_LIST[:-1] + ", 'newos'] , but got ")
    finally:
        os_list.remove("newos")
        chassis_list.remove("blade")
    check(lambda: other.validate_chassis_type("blade"), NO_CHASSIS % "blade")
    assert debug_log() == [NOTICE % "generic"]


def test_chassis_list_is_read_for_the_test_and_again_for_the_message(pm):
    reads = []

    class Mgr(pm.PluginManager):
        chassis_type_list = property(lambda self: reads.append(1) or ["read %d" % len(reads)],
                                     lambda self, value: None)

    check(lambda: Mgr().validate_chassis_type("stack"),
          "chassis Type should be one of these ['read 2'], but got stack")
    assert len(reads) == 2


@pytest.mark.parametrize("attrs, call, exc", [
    (dict(supported_os=ContainsRaises(["generic"])), lambda m: m.validate_os("generic"), Boom),
    ({}, lambda m: (delattr(m, "supported_os"), m.validate_os("generic")), AttributeError),
    (dict(supported_os=[]), lambda m: m.validate_os(Raising()), Boom),
    (dict(supported_os=[]), lambda m: m.validate_os(BadStr()), Boom),
    (dict(supported_os=["generic"]), lambda m: m.validate_os(EqRaises()), Boom),
    (dict(chassis_type_list=ContainsRaises()), lambda m: m.validate_chassis_type("stack"), Boom),
    (dict(chassis_type_list=3), lambda m: m.validate_chassis_type("stack"), TypeError),
    (dict(chassis_type_list=[]), lambda m: m.validate_chassis_type(Raising()), Boom),
    (dict(chassis_type_list=[]), lambda m: m.validate_chassis_type(BadStr()), Boom),
    ({}, lambda m: m.validate_model("g", "p", Raising()), Boom),
    ({}, lambda m: m.validate_model(None, None, BadStr()), Boom),
    ({}, lambda m: m.validate_platform("g", Raising()), Boom),
    ({}, lambda m: m.validate_model("g", "p", IsLowerRaises("abc")), Boom),
    ({}, lambda m: m.validate_platform("g", FalsyLower("abc")), Boom),
])
def test_errors_of_values_and_lists_propagate(mgr, debug_log, attrs, call, exc):
    for name, value in attrs.items():
        setattr(mgr, name, value)
    with pytest.raises(exc):
        call(mgr)
    assert debug_log() == []


def test_module_names_are_looked_up_at_each_call(mgr, pm, monkeypatch):
    Other = type("Other", (Exception,), {})
    monkeypatch.setattr(pm, "ConnectionInfraError", Other)
    monkeypatch.setattr(pm, "log", RaisingLog())
    with pytest.raises(Other) as info:
        mgr.validate_os(None)
    assert info.value.args == (NO_OS % None,)
    with pytest.raises(Boom) as info:     # the OS is then not accepted
        mgr.validate_os("unlisted")
    assert info.value.args == (NOTICE % "unlisted",)
    monkeypatch.delattr(pm, "ConnectionInfraError")
    monkeypatch.delattr(pm, "log")
    for call in (lambda: mgr.validate_os(None), lambda: mgr.validate_chassis_type("x"),
                 lambda: mgr.validate_model(None, None, "m"),
                 lambda: mgr.validate_platform(None, "p"),
                 lambda: mgr.validate_model(None, None, BadStr()),  # looked up before str()
                 lambda: mgr.validate_os("unlisted")):
        with pytest.raises(NameError):
            call()
    assert mgr.validate_os("generic") is None


@pytest.mark.parametrize("args, message", [
    ((None, None, None, None), NO_OS % None), ((None, "p", None, None), NO_OS_FOR_PLATFORM % "p"),
    ((None, "P", "m", None), NO_CONTEXT % "m"), (("generic", "P", "M", None), MODEL_CASE % "M"),
    (("generic", "P", "m", None), PLATFORM_CASE % "P"), (("", "p", None, "single_rp"), NO_OS % ""),
    (("generic", "p", "m", None), NO_CHASSIS % None), (("Linux", None, None, "x"),
                                                        NO_CHASSIS % "x"),
    (("generic", "p", "m", "single_rp"), None), (("linux", "p", "m", None), None),
])
def test_validate_arguments_order(mgr, args, message):
    check(lambda: mgr.validate_arguments(*args), message)


def test_linux_rule_uses_equality_of_os(mgr, debug_log):
    os = LinuxLike()
    assert mgr.validate_arguments(os=os, platform=None, model=None, chassis_type=None) is None
    assert "linux" in os.compared
    assert debug_log() == []           # equal to the listed "linux": no notice
    mgr.supported_os = ["generic"]     # "linux" itself unlisted: notice, still no chassis check
    assert mgr.validate_arguments("linux", None, None, "nope") is None
    assert debug_log() == [NOTICE % "linux"]
    with pytest.raises(Boom):          # the result of the comparison is truth-tested
        mgr.validate_arguments(EqGivesRaising(), None, None, "single_rp")


@pytest.mark.skipif(not hasattr(ctypes.pythonapi, "PyUnicode_FromUnicode"),
                    reason="texts are always in canonical form from 3.12")
def test_texts_made_by_the_legacy_c_api(pm):
    """A text that old C code made and nothing has read yet is still "linux"."""
    api = ctypes.pythonapi
    api.PyUnicode_FromUnicode.restype = ctypes.py_object
    api.PyUnicode_FromUnicode.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
    api.PyUnicode_AsUnicode.restype = ctypes.c_void_p
    api.PyUnicode_AsUnicode.argtypes = [ctypes.py_object]

    def legacy(value):
        with warnings.catch_warnings():  # deprecated from 3.10 on
            warnings.simplefilter("ignore", DeprecationWarning)
            text = api.PyUnicode_FromUnicode(None, len(value))
        ctypes.memmove(api.PyUnicode_AsUnicode(text), ctypes.create_unicode_buffer(value),
                       len(value) * ctypes.sizeof(ctypes.c_wchar))
        return text

    class Quiet(pm.PluginManager):
        def validate_os(self, os):
            pass

    assert Quiet().validate_arguments(legacy("linux"), None, None, "nope") is None
    check(lambda: Quiet().validate_arguments("generic", legacy("p"), legacy("M1"), None),
          MODEL_CASE % "M1")


def test_validators_are_fetched_from_self_and_called_by_keyword(pm, mgr, monkeypatch):
    calls = []

    def recorder(name):
        return lambda self, **kw: calls.append((name, list(kw.items())))

    Mgr = type("Mgr", (pm.PluginManager,), {"validate_" + name: recorder(name)
                                            for name in PARAMS})
    Mgr().validate_arguments("a", "b", "c", "d")
    assert calls == [("model", [("os", "a"), ("platform", "b"), ("model", "c")]),
                     ("platform", [("platform", "b"), ("os", "a")]),
                     ("os", [("os", "a")]), ("chassis_type", [("chassis_type", "d")])]
    calls.clear()
    Mgr().validate_arguments("linux", None, None, None)
    assert [c[0] for c in calls] == ["model", "platform", "os"]

    NoOsParam = type("NoOsParam", (pm.PluginManager,), dict(validate_os=lambda self, name: None))
    with pytest.raises(TypeError):
        NoOsParam().validate_arguments("generic", None, None, "stack")

    mgr.validate_model = lambda **kw: calls.append(("instance", kw))
    check(lambda: mgr.validate_arguments(None, None, "M", None), NO_OS % None)
    assert calls[-1] == ("instance", {"os": None, "platform": None, "model": "M"})

    monkeypatch.setattr(pm.PluginManager, "validate_chassis_type",
                        lambda self, chassis_type: calls.append(("class", chassis_type)))
    assert pm.PluginManager().validate_arguments("generic", None, None, "bogus") is None
    assert calls[-1] == ("class", "bogus")



@settings(max_examples=300, deadline=None)
@given(value=st.text(alphabet=st.sampled_from("aZz09_ -\xe9\u01c5\u0130\u2167\u0663\U0001d7ce"),
                     min_size=1, max_size=5),
       listed=st.lists(st.text(alphabet="ab\xe9\u65e5", min_size=1, max_size=3), max_size=4))
def test_case_tests_and_list_search_agree_with_str(value, listed):
    """Lower case, digits and list membership as str's own methods and `in` decide."""
    mgr = plexor.core.pluginmanager.PluginManager()
    checks = (lambda v: mgr.validate_platform("generic", v),
              lambda v: mgr.validate_model("generic", "p", v))
    for check in checks:
        if value.islower() or value.isdigit():
            check(value)
        else:
            with pytest.raises(ConnectionInfraError, match="has to be in low"):
                check(value)
    mgr.chassis_type_list = listed
    for probe in [(text + ".")[:-1] for text in listed] + ["zz", value]:
        if probe in listed:
            mgr.validate_chassis_type(probe)
        else:
            with pytest.raises(ConnectionInfraError):
                mgr.validate_chassis_type(probe)


class FormatsItself(str):
    """A text in upper case whose % with a pattern on its left is its own."""

    def __rmod__(self, pattern):
        return "formatted: " + pattern.replace("%s", str.__str__(self))


@pytest.mark.parametrize("call", [
    lambda m: m.validate_model("o", "p", FormatsItself("X")),
    lambda m: m.validate_platform("o", FormatsItself("X")),
])
def test_case_messages_apply_the_value_with_the_operator(mgr, pure, call):
    with pytest.raises(ConnectionInfraError) as expected:
        call(pure.PluginManager())
    assert expected.value.args[0].startswith("formatted: ")
    refused(lambda: call(mgr), expected.value.args[0])
