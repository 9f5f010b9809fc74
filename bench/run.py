"""Benchmark of plexor.core.pluginmanager.

Compares, in one process and one run, the native module, the pure-Python
rendering in bench/pure_python.py and the bare dictionary walk (the floor),
then checks the performance targets.

    ./dev bench [--quick] [--json PATH] [--check]

--quick   tiny repeats, only to see that it runs (CI); no instruction counts
--json    also write the results to PATH
--check   exit with status 1 when a target fails (default: report only)

Every figure and every target comes from the interpreter that runs this
script; nothing is compared with figures of another run or interpreter. Where
valgrind is installed, callgrind counts the instructions of the renderings
(bench/instructions.py) with this interpreter as well.
"""
import argparse
import importlib.util
import json
import logging
import os
import platform
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time
import timeit
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))

with warnings.catch_warnings():
    # The module imports pkg_resources, which may warn that it is deprecated.
    warnings.simplefilter("ignore")
    import plexor.core.pluginmanager as native_module
from plexor import log
from plexor.core.errors import ConnectionInfraError


try:
    # Development builds (./dev) count how often the methods leave their
    # direct path; release builds have no such module.
    from plexor.core._pluginmanager_stats import dispatch_stats
except ImportError:
    dispatch_stats = None


def _load(filename, name):
    """The module in file `filename` of this directory, as `name`."""
    found = importlib.util.spec_from_file_location(name, os.path.join(HERE, filename))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


pure_module = _load("pure_python.py", "plexor_bench_pure_python")


# Connection classes to register; defined here so that inspect.getfile finds
# this file.
class ConnA:
    pass


class ConnB:
    pass


class ConnC:
    pass


class ConnD:
    pass


CLASSES = (ConnA, ConnB, ConnC, ConnD)


# --------------------------------------------------------------------------
# Trees

def small_manager(cls):
    """A manager with 'generic' and generic/p1/m1/f1 registered."""
    mgr = cls()
    mgr.register_plugin(ConnA, os="generic")
    mgr.register_plugin(ConnB, os="generic", platform="p1", model="m1", os_flavor="f1")
    return mgr


def big_manager(cls, n_os, n_platforms, n_models):
    """A manager with n_os * n_platforms * n_models records at model level."""
    mgr = cls()
    i = 0
    for o in range(n_os):
        for p in range(n_platforms):
            for m in range(n_models):
                mgr.register_plugin(CLASSES[i % len(CLASSES)], os="os%d" % o,
                                    platform="p%d" % p, model="m%d" % m)
                i += 1
    return mgr


def plain_copy(tree):
    """An equal tree made of plain dictionaries only."""
    if isinstance(tree, dict):
        return {key: plain_copy(value) for key, value in tree.items()}
    return tree


SIZES = {1000: (10, 10, 10), 10000: (20, 20, 25)}


# --------------------------------------------------------------------------
# Timing

class Timing:
    def __init__(self, quick):
        # seconds per repeat, number of repeats
        self.target, self.repeats = (0.004, 2) if quick else (0.05, 15)

    def calibrate(self, timer):
        """Loop count that makes one repeat last about the target time."""
        number = 1
        while True:
            elapsed = timer.timeit(number)
            if elapsed >= self.target or number >= 10 ** 8:
                return number
            # grow towards the target time, at most 10x at once
            factor = self.target / elapsed if elapsed > 0 else 10.0
            number = max(number + 1, int(number * min(10.0, factor * 1.1)))

    def measure(self, columns):
        """columns: {name: (stmt, namespace, setup)} -> {name: (min, median) ns per call}.

        The repeats of the columns are interleaved, so a burst of load from
        other processes hits every column alike and the ratios hold.
        """
        timers = {name: timeit.Timer(stmt, setup=setup, globals=namespace)
                  for name, (stmt, namespace, setup) in columns.items()}
        numbers = {name: self.calibrate(timer) for name, timer in timers.items()}
        per_call = {name: [] for name in timers}
        for _ in range(self.repeats):
            for name, timer in timers.items():
                per_call[name].append(timer.timeit(numbers[name]) / numbers[name] * 1e9)
        return {name: (min(v), statistics.median(v)) for name, v in per_call.items()}


# Locals in the timed function (timeit runs setup inside it), so the
# statements pay the same name lookups in every column.
LOCALS = ("m = _m; m2 = _m2; tree = _tree; ConnectionInfraError = _err; KeyError_ = KeyError; "
          "ConnB = _ConnB; PluginManager = _PluginManager")


def workloads():
    """(key, label, statement, floor statement or None)."""
    floor4 = "tree['generic']['data']['single_rp']['cls']"
    floor7 = "tree['generic']['p1']['m1']['f1']['data']['single_rp']['cls']"
    return [
        ("get_os", "get_plugin(os='generic')", "m.get_plugin(os='generic')", floor4),
        ("get_positional", "get_plugin('generic')", "m.get_plugin('generic')", floor4),
        ("get_two", "get_plugin(os='generic'), two managers in turn",
         "m.get_plugin(os='generic')\nm2.get_plugin(os='generic')", floor4 + "\n" + floor4),
        ("get_five", "get_plugin(all five selectors)",
         "m.get_plugin(os='generic', platform='p1', model='m1', os_flavor='f1', "
         "chassis_type='single_rp')", floor7),
        ("get_skip", "get_plugin(os, unregistered platform+model)",
         "m.get_plugin(os='generic', platform='zz', model='yy')", floor4),
        ("get_fail", "get_plugin failing (caught)",
         "try:\n    m.get_plugin(os='nimbus')\nexcept ConnectionInfraError:\n    pass",
         "try:\n    tree['nimbus']['data']['single_rp']['cls']\n"
         "except KeyError_:\n    pass"),
        # Its floor is the same four-step walk: one call that checks four
        # arguments against the cost of four subscripts.
        ("validate", "validate_arguments('generic', None, None, 'single_rp')",
         "m.validate_arguments('generic', None, None, 'single_rp')", floor4),
        ("reg_unreg", "register + unregister",
         "m.register_plugin(ConnB, os='generic', platform='p2')\n"
         "m.unregister_plugin(os='generic', platform='p2')", None),
        ("construct", "PluginManager()", "PluginManager()", None),
    ]


def measure_counted(timing, columns, row):
    """timing.measure(columns); in builds that count them, row["generic"] is
    how often the native calls left their direct path meanwhile."""
    before = dispatch_stats() if dispatch_stats is not None else None
    measured = timing.measure(columns)
    if before is not None:
        row["generic"] = sum(after - was for after, was in zip(dispatch_stats(), before))
    return measured


def run_micro(timing, progress):
    results = {}
    impls = {"native": native_module.PluginManager, "pure": pure_module.PluginManager}
    managers = {name: small_manager(cls) for name, cls in impls.items()}
    others = {name: small_manager(cls) for name, cls in impls.items()}
    assert managers["native"]._plugins == managers["pure"]._plugins
    floor_tree = plain_copy(managers["native"]._plugins)
    for key, label, stmt, floor_stmt in workloads():
        columns = {}
        for name, cls in impls.items():
            ns = {"_m": managers[name], "_m2": others[name], "_tree": floor_tree,
                  "_err": ConnectionInfraError,
                  "_ConnB": ConnB, "_PluginManager": cls}
            columns[name] = (stmt, ns, LOCALS)
        if floor_stmt is not None:
            ns = {"_m": None, "_m2": None, "_tree": floor_tree, "_err": ConnectionInfraError,
                  "_ConnB": ConnB, "_PluginManager": None}
            columns["floor"] = (floor_stmt, ns, LOCALS)
        row = {"label": label}
        for name, (best, median) in measure_counted(timing, columns, row).items():
            row[name], row[name + "_median"] = best, median
        results[key] = row
        progress(label)
    # the register/unregister loop must leave the trees as they were (but for
    # the empty node it creates once: nodes are never pruned)
    assert managers["native"]._plugins == managers["pure"]._plugins
    return results


# A debug build of CPython checks the whole text on every concatenation, which
# makes the pure-Python rendering quadratic: there it renders the smaller tree only.
DEBUG_BUILD = hasattr(sys, "gettotalrefcount")
PURE_RENDER_LIMIT = 1000 if DEBUG_BUILD else max(SIZES)


def run_render(timing, progress):
    results = {}
    for size, shape in SIZES.items():
        managers = {"native": big_manager(native_module.PluginManager, *shape)}
        if size <= PURE_RENDER_LIMIT:
            managers["pure"] = big_manager(pure_module.PluginManager, *shape)
            native, pure = managers["native"], managers["pure"]
            assert native._plugins == pure._plugins
            assert native.print_tree(native._plugins) == pure.print_tree(pure._plugins)
        for what, stmt in (("print_tree", "m.print_tree(m._plugins)"), ("repr", "repr(m)")):
            row = {"label": "%s, %s records" % ("print_tree" if what == "print_tree"
                                                else "repr()", format(size, ","))}
            measured = measure_counted(timing, {name: (stmt, {"_m": mgr}, "m = _m")
                                                for name, mgr in managers.items()}, row)
            for name, (best, median) in measured.items():
                row[name], row[name + "_median"] = best, median
            results["%s_%d" % (what, size)] = row
            progress(row["label"])
    return results


def run_two_threads(quick, progress):
    """Lookups per second, in all, of one thread and of two threads sharing one
    manager, for the native and the pure-Python class, their runs interleaved.
    Reported only: two threads on a shared machine are too noisy to judge."""
    calls = 2000 if quick else 100000
    managers = {"native": small_manager(native_module.PluginManager),
                "pure": small_manager(pure_module.PluginManager)}

    def rate(mgr, threads):
        start = threading.Barrier(threads + 1)

        def work():
            get_plugin = mgr.get_plugin
            start.wait()
            for _ in range(calls):
                get_plugin(os="generic")

        workers = [threading.Thread(target=work) for _ in range(threads)]
        for worker in workers:
            worker.start()
        start.wait()
        began = time.perf_counter()
        for worker in workers:
            worker.join()
        return threads * calls / (time.perf_counter() - began)

    best = {}
    for _ in range(2 if quick else 5):
        for name, mgr in managers.items():
            for threads in (1, 2):
                key = "%s_%d" % (name, threads)
                best[key] = max(best.get(key, 0.0), rate(mgr, threads))
    progress("two threads on one manager")
    return best


def describe_two_threads(rates):
    def per_thread(name):
        return rates[name + "_2"] / 2 / rates[name + "_1"]
    return ("Two threads on one shared manager, get_plugin(os='generic'), best of interleaved "
            "runs: native %.2f M/s in all (per thread %.2fx one thread's rate), pure Python "
            "%.2f M/s (%.2fx); native ÷ pure with two threads %.2fx (reported, not judged)" % (
                rates["native_2"] / 1e6, per_thread("native"), rates["pure_2"] / 1e6,
                per_thread("pure"), rates["native_2"] / rates["pure_2"]))


def run_instructions(progress):
    """Instructions per rendering of 1,000 and of 10,000 records, counted by
    callgrind (bench/instructions.py); None when valgrind cannot count them."""
    if shutil.which("valgrind") is None:
        print("  instructions not counted: valgrind is not installed", file=sys.stderr, flush=True)
        return None
    counter = _load("instructions.py", "plexor_bench_instructions")
    try:
        counts = dict(zip((1000, 10000), counter.render_scaling()))
    except (RuntimeError, OSError) as exc:
        print("  instructions not counted: %s" % exc, file=sys.stderr, flush=True)
        return None
    progress("instructions per rendering")
    return counts


# --------------------------------------------------------------------------
# Import time in fresh processes

# The module uses pkg_resources where it is installed and, through the host
# package, logging. A fresh process imports those first and then the module,
# so the last figure is the module's own cost, measured directly: the
# difference of two imports of 100 ms and more would drown a few milliseconds
# in their noise. A step that cannot be imported gives -1.
IMPORT_STEPS = ("pkg_resources", "logging", "plexor.core.pluginmanager")
IMPORT_CODE = """\
import time
t = [time.perf_counter()]
out = []
for name in %r:
    try:
        __import__(name)
    except ImportError:
        if name == "plexor.core.pluginmanager":
            raise
        out.append(-1.0)
    else:
        out.append((time.perf_counter() - t[-1]) * 1e6)
    t.append(time.perf_counter())
print(" ".join(map(str, out)))
""" % (IMPORT_STEPS,)


def import_steps_us():
    """Microseconds of each import of IMPORT_STEPS, in order, in a fresh
    process; -1 for one that is not installed."""
    with tempfile.TemporaryDirectory() as cwd:  # same, empty cwd for every run
        proc = subprocess.run([sys.executable, "-W", "ignore", "-c", IMPORT_CODE],
                              cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, check=True)
    figures = [float(x) for x in proc.stdout.split()]
    if len(figures) != len(IMPORT_STEPS):
        raise RuntimeError("unexpected output: %r" % proc.stdout)
    return figures


def run_import(quick, progress):
    """Import costs in fresh processes; None when they cannot be measured."""
    runs = 2 if quick else 15
    try:
        import_steps_us()  # warm the file caches
        samples = [import_steps_us() for _ in range(runs)]
    except (RuntimeError, ValueError, OSError, subprocess.CalledProcessError) as exc:
        print("  import not measured: %s" % exc, file=sys.stderr, flush=True)
        return None
    pkg, logging_, own = ([s[i] for s in samples] for i in range(len(IMPORT_STEPS)))
    result = {"runs": runs,
              "pkg_resources_us": None if min(pkg) < 0 else statistics.median(pkg),
              "logging_us": statistics.median(logging_),
              "extra_us": statistics.median(own),
              "extra_min_us": min(own),
              "extra_over_pkg_resources_us": statistics.median(
                  lg + o for lg, o in zip(logging_, own)),
              "all_us": samples}
    progress("import")
    return result


# --------------------------------------------------------------------------
# Report

def interpreter_info():
    """What runs this benchmark: version, build and where it lives."""
    if DEBUG_BUILD:
        build = "debug build"
    else:
        build = "release build"
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        build += ", free-threaded"
    return {
        "python": sys.version.split()[0],
        "implementation": platform.python_implementation(),
        "build": build,
        "executable": sys.executable,
        "base_prefix": sys.base_prefix,
        "compiler": platform.python_compiler(),
    }


def describe_interpreter(info):
    return "%s %s (%s) %s, base %s" % (info["implementation"], info["python"], info["build"],
                                       info["executable"], info["base_prefix"])


def machine_info():
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    info = {
        "machine": platform.machine(),
        "processor": platform.processor() or platform.machine(),
        "cpu": cpu or "unknown",
        "cpus": os.cpu_count(),
        "system": platform.system() + " " + platform.release(),
    }
    info.update(interpreter_info())
    return info


def fmt_ns(value):
    if value is None:
        return "—"
    if value >= 1e6:
        return "{:,.0f}".format(value)
    return "{:,.1f}".format(value)


def fmt_ratio(num, den):
    if num is None or den is None:
        return "—"
    return "{:.2f}".format(num / den)


def table(results):
    rows = ["| workload | native ns | pure Python ns | floor ns | native ÷ floor | pure ÷ native |",
            "|---|---:|---:|---:|---:|---:|"]
    for row in results.values():
        native, pure, floor = row["native"], row.get("pure"), row.get("floor")
        rows.append("| %s | %s | %s | %s | %s | %s |" % (
            row["label"], fmt_ns(native), fmt_ns(pure), fmt_ns(floor),
            fmt_ratio(native, floor), fmt_ratio(pure, native)))
    return "\n".join(rows)


def _ratio(num_key, num_col, den_key, den_col):
    """A ratio of two measured figures; None when either was not measured."""
    def value(results, imp):
        row_num, row_den = results.get(num_key), results.get(den_key)
        if row_num is None or row_den is None:
            return None
        num, den = row_num.get(num_col), row_den.get(den_col)
        if num is None or den is None or den <= 0:
            return None
        return num / den
    return value


def _import_extra_ms(results, imp):
    return None if imp is None else imp["extra_us"] / 1000.0


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# Up to 3.12, and on a free-threaded build, a lookup pays for its own view of
# the manager, and for the locks that make it safe without the GIL.
GET_OS_LIMIT = 4.0 if sys.version_info < (3, 13) or FREE_THREADED else 3.5

# (target, value(results, imp) -> float or None, operator, limit, unit)
TARGETS = [
    ("get_plugin(os='generic') <= %gx floor" % GET_OS_LIMIT,
     _ratio("get_os", "native", "get_os", "floor"), "<=", GET_OS_LIMIT, "x floor"),
    ("get_plugin(all five selectors) <= 6x floor",
     _ratio("get_five", "native", "get_five", "floor"), "<=", 6.0, "x floor"),
    ("validate_arguments <= 3x floor (the four-subscript walk)",
     _ratio("validate", "native", "validate", "floor"), "<=", 3.0, "x floor"),
    ("register + unregister >= 2x faster than pure Python",
     _ratio("reg_unreg", "pure", "reg_unreg", "native"), ">=", 2.0, "x"),
    ("print_tree 1,000 records >= 15x faster than pure Python",
     _ratio("print_tree_1000", "pure", "print_tree_1000", "native"), ">=", 15.0, "x"),
    ("import: extra over pkg_resources (if installed) and logging <= 5 ms", _import_extra_ms,
     "<=", 5.0, "ms"),
]


def _render_instructions_ratio(results, counts):
    return None if counts is None else counts[10000] / counts[1000]


# How rendering grows from 1,000 to 10,000 records: (target, value(results,
# instruction counts) -> float or None, operator, limit, unit). A tree of
# 10,000 records does not fit a cache of 2 MB and is walked in key order, not in
# the order it was allocated: the memory stalls that follow make the time ratio
# vary from machine to machine, so the work is judged by instructions (on trees
# whose subtrees have the same shape, bench/instructions.py) and the time only
# guards against a worse algorithm.
SCALING_TARGETS = [
    ("print_tree 10,000 records <= 10.5x the instructions of 1,000 (callgrind)",
     _render_instructions_ratio, "<=", 10.5, "x"),
    ("print_tree 10,000 records <= 15x the time of 1,000 (native)",
     _ratio("print_tree_10000", "native", "print_tree_1000", "native"), "<=", 15.0, "x"),
]


def targets(results, imp):
    """Judges TARGETS on figures of this run."""
    return judge(TARGETS, results, imp)


def scaling_targets(results, counts):
    """Judges SCALING_TARGETS on figures of this run."""
    return judge(SCALING_TARGETS, results, counts)


def judge(table, results, extra):
    """The verdicts on the targets of `table`. A target whose figures were not
    measured is reported with pass None and counts as neither met nor failed."""
    out = []
    for name, value_of, op, limit, unit in table:
        value = value_of(results, extra)
        if value is None:
            ok = None
        else:
            ok = value <= limit if op == "<=" else value >= limit
        out.append({"target": name, "value": None if value is None else round(value, 3),
                    "op": op, "limit": limit, "unit": unit, "pass": ok})
    return out


def format_target(check, why_unmeasured="on this interpreter"):
    if check["pass"] is None:
        return "- SKIP  %s: not measured %s" % (check["target"], why_unmeasured)
    unit = " " + check["unit"] if check["unit"] == "ms" else check["unit"]
    return "- %s  %s: %.2f%s (limit %s %g)" % (
        "PASS" if check["pass"] else "FAIL", check["target"], check["value"], unit,
        check["op"], check["limit"])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="tiny repeats (CI smoke run)")
    parser.add_argument("--json", metavar="PATH", help="write the results to PATH")
    parser.add_argument("--check", action="store_true",
                        help="exit with status 1 if a target fails")
    args = parser.parse_args(argv)

    # Debug notices off during timing: the host logger at WARNING.
    saved_level = log.level
    log.setLevel(logging.WARNING)
    started = time.perf_counter()
    info = machine_info()
    interpreter = describe_interpreter(info)
    print("# plexor.core.pluginmanager benchmark%s" % (" (quick)" if args.quick else ""))
    print()
    print("Interpreter: %s" % interpreter)
    print("Machine: %s, CPU: %s (%s CPUs), %s" % (
        info["processor"], info["cpu"], info["cpus"], info["system"]))
    print("native module: %s" % native_module.__file__)
    if info["build"].startswith("debug"):
        print("(a debug build of CPython: its figures say nothing about a release build; "
              "the pure-Python rendering runs on %s records only)" % format(PURE_RENDER_LIMIT, ","))
    print()

    def progress(label):
        print("  measured: %s" % label, file=sys.stderr, flush=True)

    timing = Timing(args.quick)
    try:
        results = run_micro(timing, progress)
        results.update(run_render(timing, progress))
        loop = timing.measure({"pass": ("pass", {}, "pass")})["pass"][0]
    finally:
        log.setLevel(saved_level)
    two_threads = run_two_threads(args.quick, progress)
    imp = run_import(args.quick, progress)
    counts = None if args.quick else run_instructions(progress)

    print("ns per call, minimum of %d repeats (timeit; loop overhead %.1f ns included). "
          "Floor: the bare subscript walk on an equal plain-dict tree."
          % (timing.repeats, loop))
    print()
    print(table(results))
    print()
    if dispatch_stats is not None:
        left = ["%s (%d times)" % (row["label"], row["generic"])
                for row in results.values() if row.get("generic")]
        print("Direct path: %s" % ("left in " + "; ".join(left) if left else
                                   "no native call left it (counted by this build)"))
        print()
    print(describe_two_threads(two_threads))
    print()
    if imp is None:
        print("Import: not measured on this interpreter")
    else:
        if imp["pkg_resources_us"] is None:
            pkg = "pkg_resources not installed"
        else:
            pkg = "pkg_resources %.1f ms" % (imp["pkg_resources_us"] / 1000.0)
        print("Import, fresh process, median of %d runs: %s, then logging %.1f ms, then "
              "plexor.core.pluginmanager %.1f ms (minimum %.1f ms); extra over pkg_resources "
              "alone %.1f ms" % (
                  imp["runs"], pkg, imp["logging_us"] / 1000.0, imp["extra_us"] / 1000.0,
                  imp["extra_min_us"] / 1000.0, imp["extra_over_pkg_resources_us"] / 1000.0))
    print()
    if counts is None:
        print("Instructions per rendering: not counted %s" % (
            "in quick mode" if args.quick else "on this interpreter"))
    else:
        print("Instructions per rendering (callgrind): %s (%.2fx)" % (
            "; ".join("%s records %s" % (format(size, ","), format(round(count), ","))
                      for size, count in counts.items()),
            counts[10000] / counts[1000]))
    print()
    checks = targets(results, imp) + scaling_targets(results, counts)
    print("## Targets (%s %s)" % (info["implementation"], info["python"]))
    print()
    # Quick mode counts no instructions; other figures go missing on interpreters
    # that cannot give them.
    counted = SCALING_TARGETS[0][0]
    for c in checks:
        quick_skip = args.quick and c["target"] == counted
        print(format_target(c, "in quick mode" if quick_skip else "on this interpreter"))
    judged = [c for c in checks if c["pass"] is not None]
    failed = [c for c in judged if not c["pass"]]
    print()
    print("%d of %d targets met on %s %s (%s); %.1f s" % (
        len(judged) - len(failed), len(judged), info["implementation"], info["python"],
        info["build"], time.perf_counter() - started))
    if args.quick:
        print("(quick mode: figures are rough)")
    if DEBUG_BUILD:
        print("(debug build of CPython: the verdicts say nothing about a release build)")

    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info, "quick": args.quick, "repeats": timing.repeats,
                       "loop_overhead_ns": loop, "results": results, "import": imp,
                       "instructions": counts, "two_threads": two_threads,
                       "targets": checks}, f, indent=2)
    return 1 if (args.check and failed) else 0


if __name__ == "__main__":
    sys.exit(main())
