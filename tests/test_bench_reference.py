"""The pure-Python PluginManager of bench/ behaves like the native one.

The benchmark compares the two, so they must do the same work: same results,
same messages, same trees, same rendering.
"""


class ConnA:
    pass


class ConnB:
    pass


class ConnC:
    pass


OPS = [
    ("register_plugin", (ConnA,), dict(os="generic")),
    ("register_plugin", (ConnB,), dict(os="generic", chassis_type="dual_rp")),
    ("register_plugin", (ConnC,), dict(os="generic")),  # override notice
    ("register_plugin", (ConnA,), dict(os="nimbus", platform="p1", model="m1", os_flavor="f1")),
    ("register_plugin", (ConnB,), dict(os="Other", platform="p1")),  # OS notice
    ("register_plugin", (ConnA,), dict(os="linux", platform="q", chassis_type=None)),
    ("register_plugin", (int,), dict(os="generic", platform="p")),  # getfile refuses
    ("register_plugin", (ConnA,), dict(os="generic", os_flavor=["x"])),
    ("register_plugin", (ConnA,), dict(os="fresh", os_flavor=["x"])),
    ("register_plugin", (ConnA,), dict(os="generic", platform="P")),
    ("get_plugin", (), dict(os="generic")),
    ("get_plugin", ("generic", "zz", "yy"), {}),
    ("get_plugin", (), dict(os="generic", chassis_type="stack")),
    ("get_plugin", (), dict(os="nimbus", platform="p1")),
    ("get_plugin", (), dict(os="generic", os_flavor=5, chassis_type="stack")),
    ("get_plugin", (), dict(os="nimbus", platform="p1", model="m1", os_flavor="f1")),
    ("get_plugin", (), dict(os="linux", platform="q", chassis_type=None)),
    ("unregister_plugin", (), dict(os="generic", chassis_type=("a", "b"))),
    ("unregister_plugin", (), dict(os="generic", chassis_type="dual_rp")),
    ("unregister_plugin", (), dict(os="generic", platform="zz")),
    ("unregister_plugin", (), dict(os="nimbus")),
    ("unregister_plugin", (), dict(os="generic")),
    ("get_plugin", (), dict(os="generic")),
    ("validate_arguments", (None, None, None, "single_rp"), {}),
    ("validate_arguments", (None, "p", None, "single_rp"), {}),
    ("validate_arguments", ("generic", None, "m", "single_rp"), {}),
    ("validate_arguments", ("generic", "p", 5, "single_rp"), {}),
    ("validate_arguments", ("generic", 7, None, "single_rp"), {}),
    ("validate_arguments", ("generic", "p", "M", "single_rp"), {}),
    ("validate_arguments", ("", "p", None, "single_rp"), {}),
    ("validate_arguments", ("generic", None, None, "bogus"), {}),
    ("validate_os", ((1, 2),), {}),
]


def outcome(mgr, name, args, kwargs):
    try:
        return "ok", getattr(mgr, name)(*args, **kwargs)
    except Exception as exc:  # compared below, type and arguments
        return "raised", type(exc), exc.args


def test_same_results_messages_trees_and_notices(pm, pure, debug_log):
    native, ref = pm.PluginManager(), pure.PluginManager()
    for name, args, kwargs in OPS:
        logged = len(debug_log())
        got = outcome(native, name, args, kwargs)
        native_notices = debug_log()[logged:]
        logged = len(debug_log())
        assert outcome(ref, name, args, kwargs) == got, (name, args, kwargs)
        assert debug_log()[logged:] == native_notices
        assert native._plugins == ref._plugins
    assert debug_log()  # the notices were compared, not absent


def _fill(mgr):
    classes = (ConnA, ConnB, ConnC)
    for i in range(50):  # 2 OSes x 5 platforms x 5 models
        mgr.register_plugin(classes[i % 3], os="os%d" % (i // 25),
                            platform="p%d" % (i // 5 % 5), model="m%d" % (i % 5))
    mgr.register_plugin(ConnB, os="os0", chassis_type="dual_rp")


def test_same_rendering(pm, pure):
    native, ref = pm.PluginManager(), pure.PluginManager()
    assert repr(native) == repr(ref) == ""
    _fill(native)
    _fill(ref)
    assert native._plugins == ref._plugins
    text = native.print_tree(native._plugins)
    assert text.count("\n") > 250
    assert ref.print_tree(ref._plugins) == text
    odd = {"b": {"y": "v2", "x": "v1"}, "a": "w", "c": None, "Z": {}}
    assert native.print_tree(odd, "top") == ref.print_tree(odd, "top")
    native_head, native_body = repr(native).split("\n", 1)
    ref_head, ref_body = repr(ref).split("\n", 1)
    assert native_body == ref_body == text.split("\n", 1)[1]
    assert native_head.startswith("plugins (<class ") and ref_head.startswith("plugins (<class ")
