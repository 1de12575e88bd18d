"""Robot programs fork: nothing a child does may reach the parent's threads or
disarm its emergency stop, and a child that builds its own controller has an
emergency stop of its own."""

import pytest

from torvane_dev.faultcheck import FORK_SCENARIOS, SIGNALLED_CHILD, judge_fork, run_fork_scenario
from torvane_dev.procfs import under_thread_sanitizer


@pytest.mark.parametrize("scenario", sorted(FORK_SCENARIOS))
def test_the_parent_stays_armed_whatever_its_child_does(bus, scenario):
    if scenario in SIGNALLED_CHILD and under_thread_sanitizer():
        pytest.skip("ThreadSanitizer switches itself off in the forked child of a threaded process and waits "
                    "for an exec: a signal never reaches the child's handler")
    assert judge_fork(run_fork_scenario(bus, scenario), scenario) == []
