"""Attribute access on self: what the methods find must be what plain attribute
access finds, however the class and the instance dictionary change, and the
direct path must be taken where nothing overrides the module's own members."""
import sys

import pytest

import plexor.core.pluginmanager as pm_module
from conftest import refused
from test_module import run_py


class ConnA:
    pass


class ConnB:
    pass


def runtime_key(*parts):
    """A text key built at run time, so not interned."""
    key = "".join(parts)
    assert key is not "".join(parts)  # noqa: F632 - two builds, two objects
    return key


@pytest.mark.parametrize("name, good, bad, call, request_args", [
    ("chassis_type_list", ["single_rp", "weird"], ["single_rp"],
     lambda m: m.validate_chassis_type("weird"), ("generic", None, None, "weird")),
    ("supported_os", ["generic", "weird"], ["generic"],
     lambda m: m.validate_os("weird"), ("weird", None, None, "single_rp")),
])
def test_class_property_wins_over_the_instance_dictionary(name, good, bad, call, request_args,
                                                          debug_log):
    class Sub(pm_module.PluginManager):
        pass

    m = Sub()
    m.__dict__[name] = bad
    setattr(Sub, name, property(lambda self: good))
    assert getattr(m, name) is good
    for _ in range(3):  # the first call and calls answered from a cache
        call(m)
        m.validate_arguments(*request_args)
    assert debug_log("weird is not part") == []
    setattr(Sub, name, property(lambda self: bad))
    if name == "chassis_type_list":
        refused(lambda: call(m), "chassis Type should be one of these ['single_rp'], but got weird")
    else:
        call(m)
        assert debug_log("weird is not part") == ["weird is not part of the built-in list of "
                                                  "supported OSes."]


def test_instance_override_under_a_key_made_at_run_time():
    m = pm_module.PluginManager()
    m.register_plugin(ConnA, os="generic")
    seen = []
    for _ in range(3):  # warm every cache first
        assert m.get_plugin(os="generic") is ConnA
        assert repr(m).startswith("plugins (")
    m.__dict__[runtime_key("validate_", "os")] = lambda os: seen.append(("os", os))
    m.__dict__[runtime_key("print_", "tree")] = (
        lambda data, output="plugin": seen.append("tree") or "T")
    for _ in range(3):
        assert m.get_plugin(os="generic") is ConnA
        assert repr(m) == "T"
        assert m.print_tree({"a": "b"}) == "T"
    assert seen == [("os", "generic"), "tree", "tree"] * 3
    del m.__dict__["validate_os"], m.__dict__["print_tree"]
    assert m.get_plugin(os="generic") is ConnA
    assert repr(m).startswith("plugins (")
    assert len(seen) == 9


def test_instance_attributes_changed_between_calls_by_compiled_python_code():
    # Python code that runs often enough is specialised by the interpreter;
    # its attribute stores must still be seen by the next call.
    m = pm_module.PluginManager()
    m.register_plugin(ConnA, os="generic")
    m.register_plugin(ConnB, os="linux")
    trees = [m._plugins, {"generic": {"data": {"single_rp": {"cls": ConnB}}}}]

    def flip(i):
        m._plugins = trees[i % 2]
        return m.get_plugin(os="generic")

    assert [flip(i) for i in range(400)] == [ConnA, ConnB] * 200


def test_class_changed_between_calls():
    class Sub(pm_module.PluginManager):
        pass

    m = Sub()
    m.register_plugin(ConnA, os="generic")
    # Through the base class's function: nothing but the change itself touches
    # Sub's version tag in between (m.get_plugin would renew it first).
    get_plugin = pm_module.PluginManager.get_plugin
    assert get_plugin(m, os="generic") is ConnA
    Sub.validate_os = lambda self, os: (_ for _ in ()).throw(KeyError(os))
    with pytest.raises(KeyError):
        get_plugin(m, os="generic")
    del Sub.validate_os
    assert m.get_plugin(os="generic") is ConnA
    m.__class__ = pm_module.PluginManager
    assert m.get_plugin(os="generic") is ConnA


class CountingDict(dict):
    def __init__(self, *args):
        super().__init__(*args)
        self.reads = []

    def __getitem__(self, key):
        self.reads.append(key)
        return super().__getitem__(key)

    def __contains__(self, key):
        self.reads.append(("in", key))
        return super().__contains__(key)


class SecondReadDiffers(dict):
    """Answers the second read of a key with another record."""

    def __init__(self, *args):
        super().__init__(*args)
        self.count = 0

    def __getitem__(self, key):
        self.count += 1
        if self.count == 2:
            return {"cls": ConnB}
        return super().__getitem__(key)


def test_lookup_reads_the_plugin_data_as_written(mgr):
    data = CountingDict({"single_rp": {"cls": ConnA, "path": "f"}})
    node = CountingDict({"data": data})
    mgr._plugins = {"generic": node}
    assert mgr.get_plugin(os="generic") is ConnA
    assert node.reads == [("in", "data"), "data", "data"]
    assert data.reads == [("in", "single_rp"), "single_rp"]

    node = CountingDict({"data": {"single_rp": {"cls": ConnA, "path": "f"}}})
    mgr._plugins = {"generic": node}
    assert mgr.get_plugin(os="generic") is ConnA
    assert node.reads == [("in", "data"), "data", "data"]

    mgr._plugins = {"generic": {"data": SecondReadDiffers(data)}}
    assert mgr.get_plugin(os="generic") is ConnA


stats = getattr(sys.modules.get("plexor.core._pluginmanager_stats"), "dispatch_stats", None)


@pytest.mark.skipif(stats is None, reason="needs a build with dispatch counters (./dev test)")
def test_direct_path_is_taken():
    m = pm_module.PluginManager()
    m.register_plugin(ConnA, os="generic")
    m.register_plugin(ConnB, os="generic", platform="p", model="m", os_flavor="f",
                      chassis_type="dual_rp")
    tree = {"a": {"b": {"c": "d"}, "e": "f"}, "g": "h"}

    def workload():
        m.get_plugin(os="generic")
        m.get_plugin("generic", "p", "m", "f", "dual_rp")
        m.validate_arguments("generic", "p", "m", "single_rp")
        m.register_plugin(ConnA, os="nimbus", platform="x")
        m.unregister_plugin(os="nimbus", platform="x")
        m.print_tree(tree)
        repr(m)

    for _ in range(2):  # the first calls fill the caches
        workload()
    before = stats()
    for _ in range(50):
        workload()
    assert stats() == before, "a member went through generic attribute access"

    class Traced(pm_module.PluginManager):
        def __getattribute__(self, name):  # attribute access the module cannot predict
            return super().__getattribute__(name)

    m = Traced()
    m.register_plugin(ConnA, os="generic")
    m.get_plugin(os="generic")
    assert stats() != before


views_taken = getattr(sys.modules.get("plexor.core._pluginmanager_stats"), "views_taken", None)


@pytest.mark.skipif(views_taken is None, reason="needs a build with dispatch counters (./dev test)")
def test_managers_used_in_turn_cost_what_one_does():
    class Sub(pm_module.PluginManager):
        pass

    managers = [pm_module.PluginManager(), pm_module.PluginManager(), Sub()]
    for m in managers:
        m.register_plugin(ConnA, os="generic")

    def views_per_call(used):
        for m in used:  # the first calls fill the caches
            m.get_plugin(os="generic")
            m.validate_arguments("generic", "p", "m", "single_rp")
        before = views_taken()
        for _ in range(20):
            for m in used:
                m.get_plugin(os="generic")
                m.validate_arguments("generic", "p", "m", "single_rp")
        return (views_taken() - before) / (40 * len(used))

    alone = views_per_call(managers[:1])
    assert alone <= 1
    assert views_per_call(managers[:2]) == alone
    assert views_per_call(managers[::2]) == alone


def test_a_manager_is_not_kept_alive_by_its_methods():
    import gc
    import weakref

    class Listed(list):
        pass

    m = pm_module.PluginManager()
    m.supported_os = Listed(["generic"])
    m.register_plugin(ConnA, os="generic")
    m.get_plugin(os="generic")
    gone = [weakref.ref(m), weakref.ref(m.supported_os)]
    del m
    gc.collect()
    assert [ref() for ref in gone] == [None, None]


def test_validate_arguments_in_the_instance_dictionary():
    m = pm_module.PluginManager()
    m.register_plugin(ConnA, os="generic")
    calls = []
    m.validate_arguments = lambda *args: calls.append(args)
    for _ in range(3):
        assert m.get_plugin(os="generic") is ConnA
    assert calls == [("generic", None, None, "single_rp")] * 3


class CountedKey:
    """A key that collides with a name and counts the comparisons it runs."""

    def __init__(self, name):
        self.name = name
        self.compared = 0

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        self.compared += 1
        return False


def test_each_attribute_is_looked_up_once():
    # A name the instance lacks: attribute access asks the dictionary once,
    # so the colliding key's __eq__ runs once per access.
    m = pm_module.PluginManager()
    key = CountedKey("supported_os")
    m.__dict__[key] = None
    del m.supported_os
    before = key.compared
    getattr(m, "supported_os", None)
    per_access = key.compared - before
    assert per_access >= 1
    for _ in range(2):
        with pytest.raises(AttributeError):
            m.validate_os("generic")
    assert key.compared - before == 3 * per_access


def test_instances_sharing_one_dictionary(tmp_path):
    # Run alone: what the freed list's memory holds next decides how a stale
    # view fails.
    out = run_py(tmp_path, """
        import logging
        from plexor.core.pluginmanager import PluginManager

        class Borg(PluginManager):
            _state = None
            def __init__(self):
                if Borg._state is None:
                    super().__init__(); Borg._state = self.__dict__
                else:
                    self.__dict__ = Borg._state

        notices = []
        logging.getLogger("plexor").addHandler(logging.Handler())
        logging.getLogger("plexor").handlers[-1].emit = lambda r: notices.append(r.getMessage())
        logging.getLogger("plexor").setLevel(logging.DEBUG)
        first, second = Borg(), Borg()
        class L(list): pass
        second.supported_os = L(["generic"])
        for _ in range(3): second.validate_os("generic")
        first.supported_os = ["generic", "linux"]  # frees the L list
        junk = [bytearray(64) for _ in range(20000)]
        second.validate_os("generic")
        first.supported_os = ["zzz"]
        second.validate_os("generic")
        print(len(notices))
        setattr(first, "validate_os", lambda os: print("hook", os))
        second.validate_arguments("generic", None, None, "single_rp")
    """)
    assert out.split() == ["1", "hook", "generic"]


@pytest.mark.skipif(sys.version_info < (3, 12), reason="dictionary watchers: 3.12+")
def test_another_dict_watcher_that_calls_the_manager(tmp_path):
    # A watcher is told of a change before it is made; calls made from it
    # must not leave the manager believing the old contents afterwards.
    out = run_py(tmp_path, """
        import ctypes, logging
        from plexor.core.pluginmanager import PluginManager

        class Conn:
            pass

        notices = []
        logging.getLogger("plexor").addHandler(logging.Handler())
        logging.getLogger("plexor").handlers[-1].emit = lambda r: notices.append(r.getMessage())
        logging.getLogger("plexor").setLevel(logging.DEBUG)
        m = PluginManager()
        m.register_plugin(Conn, os="generic")
        m.supported_os = type("Listed", (list,), {})(["generic"])

        def on_change(event, dict_, key, value):
            if event != 2:  # PyDict_EVENT_DEALLOCATED
                m.validate_os("generic")
                m.get_plugin(os="generic")
            return 0

        api = ctypes.pythonapi
        callback_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p,
                                         ctypes.c_void_p, ctypes.c_void_p)
        callback = callback_type(on_change)
        api.PyDict_AddWatcher.argtypes = [callback_type]
        api.PyDict_Watch.argtypes = [ctypes.c_int, ctypes.py_object]
        watcher = api.PyDict_AddWatcher(callback)
        assert watcher >= 0 and api.PyDict_Watch(watcher, m.__dict__) == 0
        m.supported_os = ["zzz"]  # frees the list the callback saw
        junk = [bytearray(64) for _ in range(20000)]
        m.validate_os("generic")
        print(len(notices))
        m.validate_os = lambda os: print("hook", os)
        m.get_plugin(os="generic")
        # Gone before the interpreter ends, which cannot run the callback then.
        api.PyDict_Unwatch.argtypes = [ctypes.c_int, ctypes.py_object]
        api.PyDict_Unwatch(watcher, m.__dict__)
        api.PyDict_ClearWatcher(watcher)
    """)
    assert out.split() == ["1", "hook", "generic"]


def test_print_tree_rebound_by_a_leaf_while_drawn(pure):
    class Rebinds:
        def __init__(self, manager):
            self.manager = manager

        def __str__(self):
            self.manager.print_tree = lambda data, output="plugin": "hooked " + output
            return "leaf"

    drawn = []
    for cls in (pure.PluginManager, pm_module.PluginManager):
        m = cls()
        drawn.append(m.print_tree({"a": Rebinds(m), "b": "x", "c": {"d": "y"}}))
    assert drawn[1] == drawn[0] and "hooked __ b" in drawn[1]


def test_own_method_stored_under_another_name(pure):
    """A class attribute holding one of the module's methods under another
    method's name is called as what it is."""
    def outcome(base):
        class Swapped(base):
            validate_model = base.validate_os

        with pytest.raises(TypeError) as info:
            Swapped().validate_arguments("generic", "plat", "mod", "single_rp")
        return str(info.value)

    assert outcome(pm_module.PluginManager) == outcome(pure.PluginManager)


@pytest.mark.parametrize("hook", ["weakref", "del"])
def test_manager_called_while_a_hot_store_replaces_an_attribute(tmp_path, hook):
    # A specialised store into a combined dictionary (instances sharing one,
    # as the Borg idiom makes) frees the value it replaces while it stores:
    # the weak reference callback or __del__ of that value calls the manager,
    # which must read the value now stored, and nothing freed.
    out = run_py(tmp_path, """
        import gc, logging, weakref
        from plexor.core.pluginmanager import PluginManager

        notices = []
        logging.getLogger("plexor").addHandler(logging.Handler())
        logging.getLogger("plexor").handlers[-1].emit = lambda r: notices.append(r.getMessage())
        logging.getLogger("plexor").setLevel(logging.DEBUG)

        class Borg(PluginManager):
            _state = {}
            def __init__(self):
                self.__dict__ = Borg._state
                if not self._state:
                    super().__init__()

        first, second = Borg(), Borg()
        current = ["os0"]
        callbacks = []

        def on_release(_ref=None):
            second.validate_os(current[0])

        class Listed(list):
            if HOOK == "del":
                def __del__(self):
                    on_release()

        def store(i):
            current[0] = "os%d" % i
            first.supported_os = Listed([current[0]])

        gc.disable()
        for i in range(1, 400):
            store(i)
            if HOOK == "weakref":
                callbacks.append(weakref.ref(first.supported_os, on_release))
            second.validate_os(current[0])
        print(len(notices))
    """.replace("HOOK", repr(hook)))
    assert out.split() == ["0"]


def rebinding_cases(base):
    """Managers each of whose checks, comparisons, sorts or releases rebinds an
    attribute that the method reads next, with what each call gives."""

    class A:
        pass

    class B:
        pass

    def tree(cls):
        return {"generic": {"data": {"single_rp": {"cls": cls, "path": "p"}}}}

    def rebinding_item(attribute, value):  # an item of the OS list, compared with the OS
        class Rebinds(str):
            def __eq__(self, other):
                setattr(manager, attribute, value)
                return str.__eq__(self, other)

            __hash__ = str.__hash__
        return Rebinds("generic")

    class Sorted(str):  # a key of an inner level, compared while its keys are sorted
        def __lt__(self, other):
            manager.print_tree = lambda data, output="plugin": "<hooked %s>" % output
            return str.__lt__(self, other)

    class Finalised(list):  # the OS list, released once the comparison drops it
        def __del__(self):
            manager._plugins = tree(B)

    results = {}
    manager = base()
    manager._plugins = tree(A)
    # A validator of the instance's own, called out to.
    manager.validate_os = lambda os: setattr(manager, "_plugins", tree(B))
    results["call out"] = manager.get_plugin(os="generic").__name__

    manager = base()
    manager._plugins = tree(A)
    manager.supported_os = [rebinding_item("chassis_type_list", ["stack"])]
    try:
        manager.get_plugin(os="generic")
        results["comparison"] = "found"
    except Exception as exc:
        results["comparison"] = str(exc)

    manager = base()
    results["sorting"] = manager.print_tree({"a": {Sorted("y"): "1", Sorted("x"): "2"},
                                             "b": {"c": "d"}})

    manager = base()
    manager._plugins = tree(A)
    manager.supported_os = Finalised([rebinding_item("supported_os", ["generic"])])
    results["release"] = manager.get_plugin(os="generic").__name__
    return results


def test_a_step_that_runs_code_renews_what_self_holds(pure):
    expected = rebinding_cases(pure.PluginManager)
    assert rebinding_cases(pm_module.PluginManager) == expected
    assert expected["call out"] == expected["release"] == "B"
    assert expected["comparison"].startswith("chassis Type should be one of these ['stack']")
    assert "<hooked __ x>" in expected["sorting"]
