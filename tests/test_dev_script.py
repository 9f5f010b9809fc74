"""The developer script ./dev answers what it does not know."""
import subprocess

import pytest

from conftest import ROOT


@pytest.mark.parametrize("command, status, says_unknown", [
    ("bogus", 2, True), ("help", 0, False), ("--help", 0, False)])
def test_unknown_commands_are_named(command, status, says_unknown):
    run = subprocess.run([str(ROOT / "dev"), command], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    assert run.returncode == status
    assert ("unknown command: %s" % command in run.stderr) == says_unknown
    assert "Developer commands" in run.stdout + run.stderr
