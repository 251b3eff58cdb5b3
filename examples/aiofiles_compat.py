"""An aiofiles program that runs on kovra_uring by changing one import.

    python examples/aiofiles_compat.py

It writes a few notes into a temporary directory, then files, renames,
links, lists and sums them, with the calls an aiofiles user writes: open,
os, os.path, tempfile and stdout. Swap the import back to `import aiofiles`
(and `import aiofiles.os`, `import aiofiles.tempfile`) and it prints the same.
"""

import asyncio
import os

import kovra_uring as aiofiles


async def write_notes(folder: str, count: int) -> None:
    await aiofiles.os.makedirs(folder, exist_ok=True)
    for i in range(count):
        async with aiofiles.open(os.path.join(folder, f"note{i}.txt"), "w") as f:
            await f.write(f"note {i}\n" * (i + 1))


async def line_count(path: str) -> int:
    n = 0
    async with aiofiles.open(path, encoding="utf-8") as f:
        async for _ in f:
            n += 1
    return n


async def main() -> None:
    async with aiofiles.tempfile.TemporaryDirectory() as tmp:
        notes = os.path.join(tmp, "notes")
        await write_notes(notes, 4)

        # File the notes away: a rename, a hard link and a symbolic link.
        archive = os.path.join(tmp, "archive")
        await aiofiles.os.mkdir(archive, 0o750)
        await aiofiles.os.rename(os.path.join(notes, "note0.txt"),
                                 os.path.join(archive, "first.txt"))
        await aiofiles.os.link(os.path.join(archive, "first.txt"),
                               os.path.join(notes, "first-again.txt"))
        await aiofiles.os.symlink("../archive", os.path.join(notes, "archive"))
        print("link to", await aiofiles.os.readlink(os.path.join(notes, "archive")))

        # What is where, as os.path sees it.
        for name in sorted(await aiofiles.os.listdir(notes)):
            path = os.path.join(notes, name)
            if await aiofiles.os.path.islink(path):
                print(f"{name:16} link to a directory: {await aiofiles.os.path.isdir(path)}")
            else:
                print(f"{name:16} {await aiofiles.os.path.getsize(path):5} bytes")

        with await aiofiles.os.scandir(notes) as entries:
            files = [e.path for e in entries if e.is_file(follow_symlinks=False)]
        lines = sum([await line_count(p) for p in files])
        print(f"{len(files)} files, {lines} lines")

        st = await aiofiles.os.stat(os.path.join(archive, "first.txt"))
        print("first.txt:", st.st_nlink, "names, same file:",
              await aiofiles.os.path.samefile(os.path.join(notes, "first-again.txt"),
                                              os.path.join(archive, "first.txt")))

        # A missing file raises as os does, and os.path.exists says False.
        try:
            await aiofiles.os.remove(os.path.join(notes, "gone.txt"))
        except FileNotFoundError as e:
            print("not found:", os.path.basename(e.filename))
        print("exists:", await aiofiles.os.path.exists(os.path.join(notes, "gone.txt")))

        # A scratch file that disappears on close.
        async with aiofiles.tempfile.NamedTemporaryFile("w+", dir=tmp) as scratch:
            await scratch.write("scratch\n")
            await scratch.seek(0)
            print("scratch says", (await scratch.read()).strip())

        await aiofiles.os.unlink(os.path.join(notes, "archive"))
        await aiofiles.os.replace(os.path.join(notes, "note3.txt"),
                                  os.path.join(notes, "last.txt"))
        await aiofiles.stdout.write(f"left: {sorted(await aiofiles.os.listdir(notes))}\n")
        await aiofiles.stdout.flush()


if __name__ == "__main__":
    asyncio.run(main())
