"""Robot programs fork: nothing a child does may reach the parent's threads or
disarm its emergency stop, and a child that builds its own controller has an
emergency stop of its own."""

import pytest

from faultcheck import FORK_SCENARIOS, judge_fork, run_fork_scenario


@pytest.mark.parametrize("scenario", sorted(FORK_SCENARIOS))
def test_the_parent_stays_armed_whatever_its_child_does(bus, scenario):
    assert judge_fork(run_fork_scenario(bus, scenario), scenario) == []
