"""The peak memory of a benchmark's child process, read from /proc."""

from __future__ import annotations


def reset_peak() -> bool:
    """Resets the process's peak RSS to its current RSS; False where the system does not allow it
    (the peak then counts from the start of the process, an upper bound)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak() -> int:
    """The process's peak RSS in bytes (VmHWM)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise OSError("no VmHWM in /proc/self/status")
