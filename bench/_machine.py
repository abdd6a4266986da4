"""What a benchmark prints about the machine it ran on."""

from __future__ import annotations

import platform


def processor_name() -> str:
    """The processor's model name, or the machine's type where the system
    does not say."""
    try:
        with open("/proc/cpuinfo") as info:
            return next((line.split(":", 1)[1].strip() for line in info
                         if line.startswith("model name")), platform.machine())
    except OSError:
        return platform.machine()
