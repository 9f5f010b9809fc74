"""Instructions per call of the hot workloads, counted by callgrind.

    python bench/instructions.py [WORKLOAD...]

Each workload runs N and 2N times in a fresh interpreter under
`valgrind --tool=callgrind`, counting only inside the module's methods (from
the interpreter's call of a method to its return); the difference of the two
totals divided by N is the cost of one call, free of start-up, of the
interpreter's own loop and of the machine's load.

print_tree_1000 renders a tree of 10 operating systems x 10 platforms x 10
models; print_tree_10000 one of 100 such operating systems: ten times the
records, in subtrees of the same shape. bench/run.py judges the ratio of the
two (render_scaling).
"""
import os
import re
import subprocess
import sys
import tempfile

SETUP = r"""
import sys, logging
from plexor.core.pluginmanager import PluginManager

class Conn:
    pass

class Sub(PluginManager):
    pass

def manager(cls=PluginManager):
    m = cls()
    m.register_plugin(Conn, os="generic")
    m.register_plugin(Conn, os="generic", platform="plat", model="mod", chassis_type="dual_rp")
    return m

big = PluginManager()
for i in range(%d):
    big.register_plugin(Conn, os="os%%d" %% (i // 100), platform="p%%d" %% (i // 10 %% 10),
                        model="m%%d" %% (i %% 10))
one = manager()
other = manager()
sub = manager(Sub)
import gc
gc.collect()
gc.disable()
"""

WORKLOADS = {
    "get_os": "one.get_plugin(os='generic')",
    "get_os_two_managers": "one.get_plugin(os='generic'); other.get_plugin(os='generic')",
    "get_os_two_classes": "one.get_plugin(os='generic'); sub.get_plugin(os='generic')",
    "get_five": "one.get_plugin(os='generic', platform='plat', model='mod', "
                "os_flavor='x', chassis_type='dual_rp')",
    "validate": "one.validate_arguments('generic', 'plat', 'mod', 'single_rp')",
    "print_tree_1000": "big.print_tree(big._plugins)",
    "print_tree_10000": "big.print_tree(big._plugins)",
    "reg_unreg": "one.register_plugin(Conn, os='generic', platform='p2'); "
                 "one.unregister_plugin(os='generic', platform='p2')",
}
# Records of the tree `big` (100 to each operating system); 1,000 unless named here.
RECORDS = {"print_tree_10000": 10000}
ITERATIONS = {"print_tree_1000": 20, "print_tree_10000": 4}
CALLS_PER_ITERATION = {"get_os_two_managers": 2, "get_os_two_classes": 2}

N = int(os.environ.get("PLEXOR_BENCH_N", "2000"))


def total_instructions(statement, count, records):
    program = SETUP % records + "\nfor _ in range(%d):\n    %s\n" % (count, statement)
    # A file, not -c: registration records the file that defines a class.
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as script:
        script.write(program)
    try:
        result = run_callgrind(script.name)
    finally:
        os.unlink(script.name)
    if result.returncode != 0:
        raise RuntimeError(result.stderr[-2000:])
    return int(re.search(r"Collected : (\d+)", result.stderr).group(1))


def run_callgrind(script):
    return subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
         "--toggle-collect=*function_vectorcall*",
         sys.executable, "-W", "ignore", script],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
        env=dict(os.environ, PYTHONHASHSEED="0"))


def per_call(name):
    statement = WORKLOADS[name]
    count = ITERATIONS.get(name, N)
    records = RECORDS.get(name, 1000)
    base = total_instructions(statement, count, records)
    double = total_instructions(statement, 2 * count, records)
    return (double - base) / count / CALLS_PER_ITERATION.get(name, 1)


def render_scaling():
    """Instructions per rendering of 1,000 records and of 10,000."""
    return per_call("print_tree_1000"), per_call("print_tree_10000")


def main(argv):
    names = argv or list(WORKLOADS)
    print("%s %d.%d" % (sys.implementation.name, *sys.version_info[:2]))
    for name in names:
        try:
            count = per_call(name)
        except RuntimeError as exc:
            raise SystemExit(str(exc)) from None
        print("%-22s %8.0f instructions per call" % (name, count), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
