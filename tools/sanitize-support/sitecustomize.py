"""Run by every Python process of `tools/sanitize asan` (its directory is put on
PYTHONPATH): sends UndefinedBehaviorSanitizer's reports to a file per process.

gcc's UBSan runtime is a library of its own beside ASan's, and both export
__sanitizer_set_report_path. ASan's, loaded first, answers the call UBSan makes
for its log_path option, so that option is lost and UBSan writes to standard
error, where a test that captures a child's output would hide the report.
Calling the function of UBSan's library directly sets UBSan's own report file."""

import ctypes
import os

_library = os.environ.get("TORVANE_SANITIZE_UBSAN_LIB")
_prefix = os.environ.get("TORVANE_SANITIZE_UBSAN_LOG")
if _library and _prefix:
    ctypes.CDLL(_library).__sanitizer_set_report_path(_prefix.encode())
del _library, _prefix
