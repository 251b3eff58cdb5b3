"""Shared fixtures: a fresh Ring, and the process's descriptors and io_uring
mappings for leak checks."""
import os

import pytest

from _uring import Ring


@pytest.fixture
def ring():
    return Ring()


def open_fds():
    """Descriptor number -> link target, for every descriptor the process holds."""
    fds = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            fds[int(name)] = os.readlink(f"/proc/self/fd/{name}")
        except FileNotFoundError:  # the listing's own descriptor, closed by now
            pass
    return fds


def uring_maps():
    with open("/proc/self/maps") as maps:
        return [line for line in maps if "io_uring" in line]
