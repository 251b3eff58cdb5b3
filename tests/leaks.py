"""What the process holds, for leak checks: its descriptors, io_uring mappings and threads."""
import gc
import os
import threading


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


def threads():
    """The process's threads, but for trio's idle workers: trio keeps those
    for a while after any to_thread call (and the driver's threads on trio
    are trio's own)."""
    return {t for t in threading.enumerate() if not t.name.startswith("Trio thread")}


async def cycles_left(fail):
    """What the cycle collector finds after `await fail()`, run once before
    with the collector on (so that threads and caches it starts are there
    already): 0 where everything it made was freed by reference counting."""
    await fail()
    gc.collect()
    gc.disable()
    try:
        await fail()
        return gc.collect()
    finally:
        gc.enable()
