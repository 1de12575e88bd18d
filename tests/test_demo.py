"""The README's demo command, end to end on the bench's bus, and its failure messages."""

import os
import re
import subprocess
import sys

import pytest

from torvane_dev.buses import SECOND_INTERFACE

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEMO = os.path.join(REPO, "demo", "robot_demo.py")
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def test_demo_command_runs_the_whole_demo(bus, tmp_path):
    # A home folder where no cache can be written, as in demo/run's VM when the home folder has no
    # .cache: a file stands in its place, which even root cannot make a folder in.
    home = tmp_path / "home"
    home.write_text("")
    out_dir = tmp_path / "out"
    result = subprocess.run([os.path.join(REPO, "demo", "run"), "--interface", bus, "--out", str(out_dir)],
                            capture_output=True, text=True, timeout=600,
                            env={**{k: v for k, v in os.environ.items() if k not in ("XDG_CACHE_HOME", "MPLCONFIGDIR")},
                                 "TORVANE_PREBUILT": "1", "HOME": str(home)})
    out = result.stdout
    assert result.returncode == 0, out + result.stderr
    # Nothing the demo does not mean to say: no library's warnings or errors in between.
    noise = [line for line in (out + result.stderr).splitlines() if re.search(r"fontconfig|warning", line, re.I)]
    assert noise == []
    assert "heartbeats received from nodes [0, 1]" in out
    assert "controller dropped: both axes report IDLE" in out
    assert "controller process: Running ESTOP" in out
    assert "controller process exited with status 2; both axes report IDLE" in out
    assert "axis 0: state IDLE" in out and "axis 1: state IDLE" in out
    assert out.rstrip().endswith("demo passed")
    plot = out_dir / "demo.png"
    assert f"plot of setpoint, position and torque: {plot}" in out
    assert plot.read_bytes().startswith(PNG_SIGNATURE)


@pytest.mark.parametrize("python_flags, args, status, message", [
    ([], ["--interface", "nosuchcan0"], 1, "demo FAILED: no CAN bus: Failed to bind socket on interface nosuchcan0"),
    ([], ["--interface", SECOND_INTERFACE, "--no-sim", "--wait", "1"], 1,
     "demo FAILED: no heartbeat from node 0: is the ODrive powered and broadcasting?"),
    (["-S"], [], 2, "the torvane module is not built here"),  # -S: no site-packages, so no module
], ids=["no-bus", "silent-bus", "not-built"])
def test_demo_says_what_is_missing(bus, tmp_path, python_flags, args, status, message):
    result = subprocess.run([sys.executable, *python_flags, DEMO, "--out", str(tmp_path), *args],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == status
    assert message in result.stderr
    assert not (tmp_path / "demo.png").exists()
