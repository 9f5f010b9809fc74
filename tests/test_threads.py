"""Threads on shared managers, with and without the GIL.

PLEXOR_STRESS_SECONDS sets how long the stress test runs (default 2).
"""
import os
import re
import sys
import sysconfig
import threading
import time

import pytest

import plexor.core.pluginmanager as pm
from plexor.core.errors import ConnectionInfraError

SECONDS = float(os.environ.get("PLEXOR_STRESS_SECONDS", "2"))
WORKERS = 8
# A rendered line: the root, or a bar-drawn child with an optional value.
LINE = re.compile(r"^(plugin|plugins \(<class '[\w.]+'> at 0x[0-9a-f]+\) )$"
                  r"|^[ |]*\|(__ [\w.]+( = .*)?)?$")


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def gil_enabled():
    return getattr(sys, "_is_gil_enabled", lambda: True)()


class Sub(pm.PluginManager):
    pass


def make_conn(n):
    return type("Conn%d" % n, (), {"__module__": __name__})


def check_rendering(text, root):
    if not text:
        return
    lines = text.split("\n")
    assert lines[0].startswith(root), text[:200]
    bad = [line for line in lines if not LINE.match(line)]
    assert not bad, bad[:3]


def test_stress_on_shared_managers():
    """Workers register, look up, validate, render and unregister on shared
    managers of two classes while one more thread rebinds the attributes the
    methods read. Only KeyError (a key removed between a rendering's listing
    and its subscription) and ConnectionInfraError (a registration removed
    by another thread) may come out; each worker finds its own class in the
    manager nobody rebinds; every rendering starts with its root line."""
    shared = [pm.PluginManager(), Sub()]
    private = pm.PluginManager()  # only the workers' own paths, never rebound
    stop = time.monotonic() + SECONDS
    unexpected, finished = [], []
    counts = {"KeyError": 0, "ConnectionInfraError": 0, "rounds": 0}

    def worker(n):
        conn = make_conn(n)
        os_name, platform = ("generic", "linux", "ios")[n % 3], "p%d" % n
        try:
            while time.monotonic() < stop:
                counts["rounds"] += 1
                private.register_plugin(conn, os=os_name, platform=platform, model="m",
                                        os_flavor="f%d" % n)
                assert private.get_plugin(os=os_name, platform=platform, model="m",
                                          os_flavor="f%d" % n) is conn
                for mgr in shared:
                    try:
                        mgr.register_plugin(conn, os=os_name, platform=platform,
                                            chassis_type=("single_rp", "dual_rp")[n % 2])
                        mgr.validate_arguments(os_name, platform, "m", "stack")
                        mgr.get_plugin(os=os_name, platform=platform,
                                       chassis_type=("single_rp", "dual_rp")[n % 2])
                        check_rendering(mgr.print_tree(mgr._plugins), "plugin")
                        check_rendering(repr(mgr), "plugins (")
                        mgr.unregister_plugin(os=os_name, platform=platform)
                    except KeyError:
                        counts["KeyError"] += 1
                    except ConnectionInfraError:
                        counts["ConnectionInfraError"] += 1
                private.unregister_plugin(os=os_name, platform=platform, model="m",
                                          os_flavor="f%d" % n)
        except BaseException as exc:  # pragma: no cover - reported below
            unexpected.append(exc)
        finally:
            finished.append(n)

    def rebinder():
        lists = [["generic", "linux", "ios"], ["ios", "linux", "generic", "nxos"]]
        chassis = [["single_rp", "dual_rp", "stack"], ["stack", "dual_rp", "single_rp"]]
        i = 0
        try:
            while time.monotonic() < stop:
                i += 1
                for mgr in shared:
                    mgr.supported_os = list(lists[i % 2])
                    mgr.chassis_type_list = list(chassis[i % 2])
                    if i % 50 == 0:
                        mgr._plugins = {}
        except BaseException as exc:  # pragma: no cover - reported below
            unexpected.append(exc)
        finally:
            finished.append("rebinder")

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(WORKERS)]
    threads.append(threading.Thread(target=rebinder))
    for t in threads:
        t.start()
    for t in threads:
        t.join(SECONDS + 60)
    assert not [t for t in threads if t.is_alive()], "a thread did not finish"
    assert unexpected == []
    assert len(finished) == WORKERS + 1 and counts["rounds"] > 0
    assert private._plugins.keys() <= {"generic", "linux", "ios"}
    if FREE_THREADED:
        assert not gil_enabled(), "the GIL came back"


def test_a_level_emptied_while_others_render():
    """A level that another thread fills and empties is tested for truth and
    listed in one step: it renders whole or as nothing, never raising the
    IndexError of a listing found empty (a key removed before its
    subscription still gives KeyError)."""
    mgr = pm.PluginManager()
    conn = make_conn(0)
    stop = time.monotonic() + SECONDS / 2
    unexpected = []

    def churn():
        while time.monotonic() < stop:
            mgr.register_plugin(conn, os="generic", chassis_type="dual_rp")
            mgr.unregister_plugin(os="generic", chassis_type="dual_rp")

    def render():
        try:
            while time.monotonic() < stop:
                try:
                    check_rendering(mgr.print_tree(mgr._plugins), "plugin")
                except KeyError:
                    pass
        except BaseException as exc:  # pragma: no cover - reported below
            unexpected.append(exc)

    mgr.register_plugin(conn, os="generic", chassis_type="dual_rp")
    threads = [threading.Thread(target=churn)] + [threading.Thread(target=render)
                                                   for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert unexpected == []


class Yielding:
    """A leaf whose str() lets other threads run."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        time.sleep(0)
        return self.text


def yielding_trees():
    return [{"t%d" % n: {"k%03d" % i: Yielding("%d-%d" % (n, i)) if i % 7 == 0 else "v" * n
                         for i in range(300)}} for n in range(6)]


def large_trees():
    return [{"os%d" % n: {"p%04d" % i: "x" * (n + 1) * 40 for i in range(3000)}}
            for n in range(4)]


@pytest.mark.parametrize("trees", [yielding_trees, large_trees])
def test_renderings_on_threads_keep_their_own_text(trees):
    """Renderings at once on several threads, which let each other run in the
    middle (yielding leaves) or write megabytes from the method's kept memory
    or their own (large trees), each come out whole."""
    mgr = pm.PluginManager()
    trees = trees()
    expected = [mgr.print_tree(tree, "root%d" % n) for n, tree in enumerate(trees)]
    unexpected = []

    def worker(n):
        try:
            for _ in range(8):
                assert mgr.print_tree(trees[n], "root%d" % n) == expected[n]
        except BaseException as exc:  # pragma: no cover - reported below
            unexpected.append(exc)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(len(trees))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert unexpected == []
