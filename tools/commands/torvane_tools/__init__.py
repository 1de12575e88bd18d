"""torvane's commands for working on a CAN bus: `torvane-check` (what torvane will see
on a bus) and `torvane-sim` (simulated ODrive axes, for work without hardware).

Pure Python and the standard library only, so that they install beside the torvane
module (`pip install .` from a clone) or on their own (`pip install ./tools/commands`).
"""
