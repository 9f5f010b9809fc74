"""Start-up time of plexor.core.pluginmanager, measured with hyperfine.

    python scripts/startup.py [--runs N] [--check] LABEL=PYTHON ...

Each PYTHON is the interpreter of an environment that has the wheel, the stand-in
host and the example plugin distribution installed (./dev startup makes them).
For each one, hyperfine times three new processes: the standard modules the
extension uses (the baseline), the import of the module, and the import followed
by both discoveries. The table gives the median and the interquartile range in ms.
--check fails when an environment without pkg_resources spends more than
5 ms on the import beyond the baseline.
"""
import argparse
import json
import statistics
import subprocess
import sys
import tempfile

COMMANDS = [
    ("baseline", "import inspect, pkgutil, importlib, logging"),
    ("import", "import plexor.core.pluginmanager"),
    ("import + discoveries",
     "from plexor.core.pluginmanager import PluginManager; "
     "PluginManager.discover_builtin_plugins(); PluginManager.discover_external_plugins()"),
]
IMPORT_BUDGET_MS = 5.0


def measure(python, runs, rounds=5):
    """Median and interquartile range (s) of each command, in the order of COMMANDS.

    The runs are split into rounds that take the commands in turn, so that a
    change of the machine's load meets all of them alike."""
    times = [[] for _ in COMMANDS]
    for _ in range(rounds):
        with tempfile.NamedTemporaryFile(suffix=".json") as export:
            args = ["hyperfine", "-N", "--style", "basic", "--warmup", "3",
                    "--runs", str(max(2, runs // rounds)), "--export-json", export.name]
            for name, code in COMMANDS:
                # -N splits the command like a shell: quote the code.
                args += ["-n", name, "%s -c '%s'" % (python, code)]
            subprocess.run(args, check=True, stdout=sys.stderr)
            with open(export.name) as results:
                for collected, result in zip(times, json.load(results)["results"]):
                    collected += result["times"]
    return [(statistics.median(t), iqr(t)) for t in times]


def iqr(values):
    quartiles = statistics.quantiles(values, n=4)
    return quartiles[2] - quartiles[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("environments", nargs="+", metavar="LABEL=PYTHON")
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--check", action="store_true")
    options = parser.parse_args()

    rows, missed = [], []
    for item in options.environments:
        label, python = item.split("=", 1)
        (base, base_iqr), (imp, imp_iqr), (disc, disc_iqr) = measure(python, options.runs)
        extra = (imp - base) * 1e3
        rows.append("| %s | %.1f (%.1f) | %.1f (%.1f) | %.1f (%.1f) | %+.1f |" % (
            label, base * 1e3, base_iqr * 1e3, imp * 1e3, imp_iqr * 1e3,
            disc * 1e3, disc_iqr * 1e3, extra))
        if "without pkg_resources" in label and extra > IMPORT_BUDGET_MS:
            missed.append("%s: the import costs %.1f ms beyond the baseline" % (label, extra))

    print("| environment | baseline ms | import ms | import + discoveries ms "
          "| import − baseline ms |")
    print("|---|---:|---:|---:|---:|")
    print("\n".join(rows))
    for line in missed:
        print("target missed:", line)
    return 1 if options.check and missed else 0


if __name__ == "__main__":
    sys.exit(main())
