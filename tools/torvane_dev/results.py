"""Result files of the reliability items and sanitizer runs, and where they ran."""

import json
import os
import time


def on_vm() -> bool:
    """True inside the qemu VM of tools/canbus/vm-run."""
    return os.path.exists("/run/vm-run")


def write_result(path: str, result: dict) -> None:
    """Writes `result` as JSON to `path` at once (never half a file)."""
    result.setdefault("finished_utc", time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()))
    tmp = path + ".tmp"
    with open(tmp, "w") as out:
        json.dump(result, out, indent=2, sort_keys=False)
        out.write("\n")
    os.replace(tmp, path)
