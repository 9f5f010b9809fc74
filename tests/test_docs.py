"""What README.md and docs/api.md show is what the installed module does."""
import re
import subprocess
import sys
import textwrap

import pytest

from conftest import ROOT, refused
from plexor.core.errors import ConnectionInfraError

README = (ROOT / "README.md").read_text()
API = (ROOT / "docs" / "api.md").read_text()
USAGE = ROOT / "examples" / "usage.py"


def _readme_block(after):
    """The first fenced block of README.md that follows the line `after`."""
    tail = README[README.index(after):]
    return re.search(r"```[a-z]*\n(.*?)```", tail, re.S).group(1)


def test_readme_example_is_the_example_file_and_runs(ext_demo_installed):
    assert _readme_block("This is `examples/usage.py`:") == USAGE.read_text()
    run = subprocess.run([sys.executable, "-W", "ignore", str(USAGE)], cwd=str(ROOT),
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         universal_newlines=True, check=True)
    assert run.stdout.startswith("manager\n  |__ linux\n    |__ data\n")
    assert "    |__ edge\n      |__ e8\n        |__ data\n" in run.stdout
    assert run.stdout.endswith(
        "ConnectionInfraError: Plugin data not found for (linux/edge/e8), type: single_rp \n"
        "<class 'plexor.plugins.generic.GenericDualRPConnection'>\n")
    assert "DEBUG plexor: Loading external plugin demo from plexor_ext_demo" in run.stderr


# Each message the documentation lists, with a call that raises it.
DOCUMENTED_REFUSALS = [
    ("OS should be one of these ['generic', 'linux', 'nimbus', 'tern', 'quill'] , but got None",
     lambda m: m.get_plugin()),
    ("OS information not provided for platform: edge",
     lambda m: m.get_plugin(platform="edge")),
    ("platform should be of type str", lambda m: m.get_plugin(os="linux", platform=7)),
    ("platform (Edge) has to be in lowercase", lambda m: m.get_plugin(os="linux", platform="Edge")),
    ("OS and platform are required for Model: e8", lambda m: m.get_plugin(os="linux", model="e8")),
    ("Model should be of type str", lambda m: m.get_plugin(os="linux", platform="edge", model=8)),
    (" Model (E8) has to be in lowecase",
     lambda m: m.get_plugin(os="linux", platform="edge", model="E8")),
    ("chassis Type should be one of these ['single_rp', 'dual_rp', 'stack'], but got rp",
     lambda m: m.get_plugin(os="generic", chassis_type="rp")),
    ("Plugin data not found for (linux/edge/e8), type: single_rp ",
     lambda m: m.unregister_plugin(os="linux") or m.get_plugin("linux", "edge", "e8")),
    ("Plugin data not found", lambda m: m.unregister_plugin(os="linux", platform="edge")),
    ("Plugin data not found for dual_rp",
     lambda m: m.unregister_plugin(os="linux", chassis_type="dual_rp")),
]


@pytest.mark.parametrize("message, call", DOCUMENTED_REFUSALS)
def test_documented_messages_are_raised(mgr, message, call):
    mgr.register_plugin(ConnectionInfraError, os="linux")
    with pytest.raises(ConnectionInfraError) as info:
        call(mgr)
    assert info.value.args == (message,)
    assert message.split(" [")[0] in API
    assert message.startswith("OS should") or "`%s`" % message in API


def test_api_lists_every_documented_message():
    table = API[API.index("## Messages"):API.index("Debug notices")]
    listed = re.findall(r"^\|[^|]+\| `(.*)` \|$", table, re.M)
    assert listed == [message for message, _ in DOCUMENTED_REFUSALS]


def test_documented_os_notice(mgr, debug_log):
    mgr.validate_os("beos")
    (notice,) = debug_log()
    assert "`%s`" % notice in README and "`%s`" % notice in API


class Linux:
    pass


class Edge(Linux):
    pass


def test_readme_lookup_rule_has_no_fall_back_upwards(mgr):
    mgr.register_plugin(Linux, os="linux")
    mgr.register_plugin(Edge, os="linux", platform="edge", model="e8")
    message = "Plugin data not found for (linux/edge), type: single_rp "
    refused(lambda: mgr.get_plugin(os="linux", platform="edge"), message)
    assert mgr.get_plugin(os="linux", platform="core") is Linux
    assert "`%s`" % message in " ".join(README.split("\n"))


def _python_blocks():
    return re.findall(r"^```python\n(.*?)^```", README, re.S | re.M)


def _run(args, cwd):
    return subprocess.run(args, cwd=str(cwd), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)


def test_readme_samples_pass_mypy_strict(tmp_path):
    pytest.importorskip("mypy", reason="mypy is installed by ./dev setup")
    blocks = _python_blocks()
    assert len(blocks) >= 5
    files = []
    for number, block in enumerate(blocks):
        files.append(tmp_path / ("readme_sample_%d.py" % number))
        files[-1].write_text(textwrap.dedent(block))
    # Some samples need 3.10 (importlib.metadata.entry_points(group=...)).
    version = "%d.%d" % max(sys.version_info[:2], (3, 10))
    run = _run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                "--python-version", version] + [str(f) for f in files], tmp_path)
    assert run.returncode == 0, run.stdout


def _readme_block_containing(text):
    (block,) = [b for b in _python_blocks() if text in b]
    return textwrap.dedent(block)


OVERRIDING_TESTS = """
import plexor.plugins.generic as generic
from plexor.core.pluginmanager import PluginManager


def test_registers_once():
    PluginManager().register_plugin(generic.GenericSingleRpConnection, os="generic")


def test_replaces():
    manager = PluginManager()
    manager.register_plugin(generic.GenericSingleRpConnection, os="generic")
    manager.register_plugin(generic.GenericDualRPConnection, os="generic")
"""


def test_readme_fixture_fails_the_test_that_overrides(tmp_path):
    (tmp_path / "conftest.py").write_text(_readme_block_containing("def no_plugin_overrides"))
    (tmp_path / "test_plugin.py").write_text(OVERRIDING_TESTS)
    run = _run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                "-W", "ignore:pkg_resources is deprecated", "test_plugin.py"], tmp_path)
    assert run.returncode == 1, run.stdout
    assert "2 passed, 1 error" in run.stdout, run.stdout
    assert "ERROR test_plugin.py::test_replaces - AssertionError" in run.stdout


@pytest.mark.skipif(sys.version_info < (3, 10), reason="entry_points(group=...) and .dist")
def test_readme_lists_installed_plugins_without_importing_them(tmp_path, ext_demo_installed):
    code = _readme_block_containing("from importlib.metadata import entry_points") + (
        "import sys\nassert 'plexor_ext_demo' not in sys.modules\n")
    run = _run([sys.executable, "-c", code], tmp_path)
    assert run.returncode == 0, run.stdout
    assert "demo plexor_ext_demo plexor-ext-demo 0.1.0\n" in run.stdout
