"""How much memory this process can still take: what the machine, its container and its limits allow.

A layout that cannot fit is better refused at once than found out by the
system's out-of-memory killer, or by swapping, an hour in.
"""

from __future__ import annotations

import os
from pathlib import Path

__all__ = ["available_memory"]

_MEMINFO = Path("/proc/meminfo")
_CGROUP = Path("/sys/fs/cgroup")


def _physical() -> int | None:
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, ValueError, OSError):  # pragma: no cover - not POSIX
        return None


def _mem_available() -> int | None:
    """The kernel's estimate of memory available without swapping (Linux), in bytes."""
    try:
        for line in _MEMINFO.read_text(encoding="ascii").splitlines():
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return None


def _cgroup_room() -> int | None:
    """What the process's cgroup may still take: its limit less its usage (v2 or v1)."""
    try:
        entries = Path("/proc/self/cgroup").read_text(encoding="ascii").splitlines()
    except OSError:
        return None
    for entry in entries:
        _, controllers, where = entry.split(":", 2)
        if controllers == "":  # v2
            folder, limit, usage = _CGROUP / where.lstrip("/"), "memory.max", "memory.current"
        elif "memory" in controllers.split(","):  # v1
            folder = _CGROUP / "memory" / where.lstrip("/")
            limit, usage = "memory.limit_in_bytes", "memory.usage_in_bytes"
        else:
            continue
        try:
            text = (folder / limit).read_text(encoding="ascii").strip()
            if text != "max" and int(text) < 1 << 60:  # v1 says "no limit" with a huge number
                return int(text) - int((folder / usage).read_text(encoding="ascii"))
        except (OSError, ValueError):
            continue
    return None


def _address_space() -> int | None:
    try:
        import resource

        soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    except (ImportError, OSError, ValueError):  # pragma: no cover - not POSIX
        return None
    return None if soft == resource.RLIM_INFINITY else soft


def available_memory() -> int | None:
    """Return the bytes this process can still allocate, or None when nothing says.

    The least of the physical memory, the memory available now
    (``MemAvailable``), the room left under the cgroup's ``memory.max`` and
    the address-space limit (``ulimit -v``), of those the system reports.
    """
    known = [_physical(), _mem_available(), _cgroup_room(), _address_space()]
    positive = [value for value in known if value is not None and value > 0]
    return min(positive) if positive else None
