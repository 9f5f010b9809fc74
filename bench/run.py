"""Benchmark of plexor.core.pluginmanager.

Compares, in one process and one run, the native module, the pure-Python
rendering in bench/pure_python.py and the bare dictionary walk (the floor),
then checks the performance targets.

    ./dev bench [--quick] [--json PATH] [--check]

--quick   tiny repeats, only to see that it runs (CI)
--json    also write the results to PATH
--check   exit with status 1 when a target fails (default: report only)
"""
import argparse
import importlib.util
import json
import logging
import os
import platform
import statistics
import subprocess
import sys
import tempfile
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


def _load_pure():
    found = importlib.util.spec_from_file_location(
        "plexor_bench_pure_python", os.path.join(HERE, "pure_python.py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


pure_module = _load_pure()


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
LOCALS = ("m = _m; tree = _tree; ConnectionInfraError = _err; KeyError_ = KeyError; "
          "ConnB = _ConnB; PluginManager = _PluginManager")


def workloads():
    """(key, label, statement, floor statement or None)."""
    floor4 = "tree['generic']['data']['single_rp']['cls']"
    floor7 = "tree['generic']['p1']['m1']['f1']['data']['single_rp']['cls']"
    return [
        ("get_os", "get_plugin(os='generic')", "m.get_plugin(os='generic')", floor4),
        ("get_positional", "get_plugin('generic')", "m.get_plugin('generic')", floor4),
        ("get_five", "get_plugin(all five selectors)",
         "m.get_plugin(os='generic', platform='p1', model='m1', os_flavor='f1', "
         "chassis_type='single_rp')", floor7),
        ("get_skip", "get_plugin(os, unregistered platform+model)",
         "m.get_plugin(os='generic', platform='zz', model='yy')", floor4),
        ("get_fail", "get_plugin failing (caught)",
         "try:\n    m.get_plugin(os='nimbus')\nexcept ConnectionInfraError:\n    pass",
         "try:\n    tree['nimbus']['data']['single_rp']['cls']\n"
         "except KeyError_:\n    pass"),
        ("validate", "validate_arguments('generic', None, None, 'single_rp')",
         "m.validate_arguments('generic', None, None, 'single_rp')", None),
        ("reg_unreg", "register + unregister",
         "m.register_plugin(ConnB, os='generic', platform='p2')\n"
         "m.unregister_plugin(os='generic', platform='p2')", None),
        ("construct", "PluginManager()", "PluginManager()", None),
    ]


def run_micro(timing, progress):
    results = {}
    impls = {"native": native_module.PluginManager, "pure": pure_module.PluginManager}
    managers = {name: small_manager(cls) for name, cls in impls.items()}
    assert managers["native"]._plugins == managers["pure"]._plugins
    floor_tree = plain_copy(managers["native"]._plugins)
    for key, label, stmt, floor_stmt in workloads():
        columns = {}
        for name, cls in impls.items():
            ns = {"_m": managers[name], "_tree": floor_tree, "_err": ConnectionInfraError,
                  "_ConnB": ConnB, "_PluginManager": cls}
            columns[name] = (stmt, ns, LOCALS)
        if floor_stmt is not None:
            ns = {"_m": None, "_tree": floor_tree, "_err": ConnectionInfraError,
                  "_ConnB": ConnB, "_PluginManager": None}
            columns["floor"] = (floor_stmt, ns, LOCALS)
        row = {"label": label}
        for name, (best, median) in timing.measure(columns).items():
            row[name], row[name + "_median"] = best, median
        results[key] = row
        progress(label)
    # the register/unregister loop must leave the trees as they were (but for
    # the empty node it creates once: nodes are never pruned)
    assert managers["native"]._plugins == managers["pure"]._plugins
    return results


def run_render(timing, progress):
    results = {}
    for size, shape in SIZES.items():
        managers = {"native": big_manager(native_module.PluginManager, *shape),
                    "pure": big_manager(pure_module.PluginManager, *shape)}
        native, pure = managers["native"], managers["pure"]
        assert native._plugins == pure._plugins
        assert native.print_tree(native._plugins) == pure.print_tree(pure._plugins)
        for what, stmt in (("print_tree", "m.print_tree(m._plugins)"), ("repr", "repr(m)")):
            row = {"label": "%s, %s records" % ("print_tree" if what == "print_tree"
                                                else "repr()", format(size, ","))}
            measured = timing.measure({name: (stmt, {"_m": mgr}, "m = _m")
                                       for name, mgr in managers.items()})
            for name, (best, median) in measured.items():
                row[name], row[name + "_median"] = best, median
            results["%s_%d" % (what, size)] = row
            progress(row["label"])
    return results


# --------------------------------------------------------------------------
# Import time in fresh processes

MARK = "@@plexor-bench-start"


def import_cost_us(module):
    """Cumulative microseconds of the top-level imports made by `import module`."""
    code = ("import sys; sys.stderr.write(%r + '\\n'); sys.stderr.flush(); import %s"
            % (MARK, module))
    with tempfile.TemporaryDirectory() as cwd:  # same, empty cwd for every run
        proc = subprocess.run([sys.executable, "-X", "importtime", "-W", "ignore", "-c", code],
                              cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              universal_newlines=True, check=True)
    lines = proc.stderr.splitlines()
    total, seen = 0, False
    for line in lines[lines.index(MARK) + 1:]:
        if not line.startswith("import time:"):
            continue
        parts = line.split("|")
        name = parts[2]
        if len(name) - len(name.lstrip(" ")) == 1:  # top level: not nested
            total += int(parts[1])
            seen = True
    if not seen:
        raise RuntimeError("no import lines for %s" % module)
    return total


def run_import(quick, progress):
    runs = 2 if quick else 15
    import_cost_us("plexor.core.pluginmanager")  # warm the file caches
    full, base = [], []
    for _ in range(runs):  # interleaved, so drift hits both alike
        full.append(import_cost_us("plexor.core.pluginmanager"))
        base.append(import_cost_us("pkg_resources"))
    result = {"module_us": statistics.median(full), "pkg_resources_us": statistics.median(base),
              "runs": runs, "module_min_us": min(full), "pkg_resources_min_us": min(base),
              "module_all_us": full, "pkg_resources_all_us": base,
              "paired_extra_us": statistics.median(f - b for f, b in zip(full, base))}
    result["extra_us"] = result["module_us"] - result["pkg_resources_us"]
    progress("import")
    return result


# --------------------------------------------------------------------------
# Report

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
    return {
        "python": sys.version.split()[0],
        "implementation": platform.python_implementation(),
        "machine": platform.machine(),
        "processor": platform.processor() or platform.machine(),
        "cpu": cpu or "unknown",
        "cpus": os.cpu_count(),
        "system": platform.system() + " " + platform.release(),
    }


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
        native, pure, floor = row["native"], row["pure"], row.get("floor")
        rows.append("| %s | %s | %s | %s | %s | %s |" % (
            row["label"], fmt_ns(native), fmt_ns(pure), fmt_ns(floor),
            fmt_ratio(native, floor), fmt_ratio(pure, native)))
    return "\n".join(rows)


def targets(results, imp):
    r = results
    checks = [
        ("get_plugin(os='generic') <= 3x floor",
         r["get_os"]["native"] / r["get_os"]["floor"], "<=", 3.0, "x floor"),
        ("get_plugin(os='generic') >= 6x faster than pure Python",
         r["get_os"]["pure"] / r["get_os"]["native"], ">=", 6.0, "x"),
        ("get_plugin(all five selectors) <= 5x floor",
         r["get_five"]["native"] / r["get_five"]["floor"], "<=", 5.0, "x floor"),
        ("validate_arguments >= 6x faster than pure Python",
         r["validate"]["pure"] / r["validate"]["native"], ">=", 6.0, "x"),
        ("register + unregister >= 3x faster than pure Python",
         r["reg_unreg"]["pure"] / r["reg_unreg"]["native"], ">=", 3.0, "x"),
        ("print_tree 1,000 records >= 20x faster than pure Python",
         r["print_tree_1000"]["pure"] / r["print_tree_1000"]["native"], ">=", 20.0, "x"),
        ("print_tree 10,000 records <= 12x the time of 1,000 (native)",
         r["print_tree_10000"]["native"] / r["print_tree_1000"]["native"], "<=", 12.0, "x"),
        ("import: extra over pkg_resources <= 5 ms",
         imp["extra_us"] / 1000.0, "<=", 5.0, " ms"),
    ]
    out = []
    for name, value, op, limit, unit in checks:
        ok = value <= limit if op == "<=" else value >= limit
        out.append({"target": name, "value": round(value, 3), "op": op, "limit": limit,
                    "unit": unit.strip(), "pass": ok})
    return out


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
    print("# plexor.core.pluginmanager benchmark%s" % (" (quick)" if args.quick else ""))
    print()
    print("Python %s (%s), %s, CPU: %s (%s CPUs), %s" % (
        info["python"], info["implementation"], info["processor"], info["cpu"],
        info["cpus"], info["system"]))
    print("native module: %s" % native_module.__file__)
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
    imp = run_import(args.quick, progress)

    print("ns per call, minimum of %d repeats (timeit; loop overhead %.1f ns included). "
          "Floor: the bare subscript walk on an equal plain-dict tree."
          % (timing.repeats, loop))
    print()
    print(table(results))
    print()
    print("Import, fresh process (-X importtime, median of %d runs): "
          "plexor.core.pluginmanager %.1f ms, pkg_resources alone %.1f ms, extra %.1f ms"
          % (imp["runs"], imp["module_us"] / 1000.0, imp["pkg_resources_us"] / 1000.0,
             imp["extra_us"] / 1000.0))
    print("(cross-checks, wall time is sensitive to load: median of the paired differences "
          "%.1f ms; minimum of the runs %.1f ms and %.1f ms)" % (
              imp["paired_extra_us"] / 1000.0, imp["module_min_us"] / 1000.0,
              imp["pkg_resources_min_us"] / 1000.0))
    print()
    checks = targets(results, imp)
    print("## Targets")
    print()
    for c in checks:
        print("- %s  %s: %.2f%s (limit %s %g)" % (
            "PASS" if c["pass"] else "FAIL", c["target"], c["value"],
            " " + c["unit"] if c["unit"] == "ms" else c["unit"], c["op"], c["limit"]))
    failed = [c for c in checks if not c["pass"]]
    print()
    print("%d of %d targets met; %.1f s" % (len(checks) - len(failed), len(checks),
                                           time.perf_counter() - started))
    if args.quick:
        print("(quick mode: figures are rough)")

    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": info, "quick": args.quick, "repeats": timing.repeats,
                       "loop_overhead_ns": loop, "results": results, "import": imp,
                       "targets": checks}, f, indent=2)
    return 1 if (args.check and failed) else 0


if __name__ == "__main__":
    sys.exit(main())
