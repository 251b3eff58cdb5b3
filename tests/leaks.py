"""What the process holds, for leak checks: its descriptors and io_uring mappings."""
import gc
import os


def open_fds():
    """Descriptor number -> link target, for every descriptor the process holds
    (after a collection: a ring kept by a reference cycle of an earlier test
    would otherwise be freed between two snapshots)."""
    gc.collect()
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
