"""Start-up time of plexor.core.pluginmanager, measured with hyperfine.

    python scripts/startup.py [--runs N] [--check] LABEL=PYTHON ...

Each PYTHON is the interpreter of an environment that has the wheel and the
example plugin distribution installed (./dev startup makes them). For each one,
hyperfine times three new processes: the standard modules the extension uses
(the baseline), the import of the module, and the import followed by both
discoveries. The table gives the mean and its standard deviation in ms.
--check fails when an environment without pkg_resources spends more than
5 ms on the import beyond the baseline.
"""
import argparse
import json
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


def measure(python, runs):
    """Mean and standard deviation (s) of each command, in the order of COMMANDS."""
    with tempfile.NamedTemporaryFile(suffix=".json") as export:
        args = ["hyperfine", "-N", "--style", "basic", "--warmup", "5", "--runs", str(runs),
                "--export-json", export.name]
        for name, code in COMMANDS:
            # -N splits the command like a shell: quote the code.
            args += ["-n", name, "%s -c '%s'" % (python, code)]
        subprocess.run(args, check=True, stdout=sys.stderr)
        results = json.load(open(export.name))["results"]
    return [(r["mean"], r["stddev"]) for r in results]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("environments", nargs="+", metavar="LABEL=PYTHON")
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--check", action="store_true")
    options = parser.parse_args()

    rows, missed = [], []
    for item in options.environments:
        label, python = item.split("=", 1)
        (base, base_sd), (imp, imp_sd), (disc, disc_sd) = measure(python, options.runs)
        extra = (imp - base) * 1e3
        rows.append("| %s | %.1f ± %.1f | %.1f ± %.1f | %.1f ± %.1f | %+.1f |" % (
            label, base * 1e3, base_sd * 1e3, imp * 1e3, imp_sd * 1e3,
            disc * 1e3, disc_sd * 1e3, extra))
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
