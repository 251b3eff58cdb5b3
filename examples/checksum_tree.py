"""Checksum every file of a directory tree, many files at a time.

    python examples/checksum_tree.py [DIR] [--trio]

64 tasks share one io_uring: each opens a file, reads it whole and hashes
it. The same code runs on asyncio or, with --trio, on trio (pip install
"kovra-uring[trio]").
"""

import hashlib
import os
import sys
import time

import kovra_uring


async def checksum(path: str) -> str:
    async with kovra_uring.open(path, "rb") as f:
        return hashlib.sha256(await f.read()).hexdigest()


async def checksum_tree(root: str, tasks: int = 64) -> dict[str, str]:
    paths = [os.path.join(d, name) for d, _, names in os.walk(root) for name in names]
    paths = [p for p in paths if not os.path.islink(p)]
    sums: dict[str, str] = {}
    pending = iter(paths)

    async def worker() -> None:
        for path in pending:
            try:
                sums[path] = await checksum(path)
            except OSError as e:  # unreadable, vanished, a socket...
                sums[path] = f"error: {e.strerror}"

    if "trio" in sys.modules:
        import trio
        async with trio.open_nursery() as nursery:
            for _ in range(tasks):
                nursery.start_soon(worker)
    else:
        import asyncio
        await asyncio.gather(*(worker() for _ in range(tasks)))
    return sums


def main() -> None:
    args = [a for a in sys.argv[1:] if a != "--trio"]
    root = args[0] if args else os.path.dirname(os.path.abspath(__file__))
    start = time.perf_counter()
    if "--trio" in sys.argv:
        import trio
        sums = trio.run(checksum_tree, root)
    else:
        import asyncio
        sums = asyncio.run(checksum_tree(root))
    took = time.perf_counter() - start
    for path in sorted(sums)[:10]:
        print(sums[path][:16], os.path.relpath(path, root))
    print(f"{len(sums)} files in {took * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
