"""The ODrive protocol vocabulary, kept under this name for the tests and tools that
import it from here. It lives in the installed commands' package (torvane_tools),
which the simulator and the bus check use outside this repository too."""

from torvane_tools.protocol import *  # noqa: F403
