"""torvane's commands for working on a CAN bus: `torvane-check` (what torvane will see
on a bus), `torvane-sim` (simulated ODrive axes, for work without hardware) and
`torvane-bridge` (a bus on Zenoh, with the control loop kept on the robot).

The check and the simulator are pure Python and the standard library only, so that they
install beside the torvane module (`pip install .` from a clone) or on their own
(`pip install ./tools/commands`). The bridge drives the bus through the torvane module
and speaks Zenoh: it comes with the module (`pip install '.[bridge]'`).
"""
