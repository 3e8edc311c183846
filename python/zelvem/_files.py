"""Files written whole or not at all: the rule the vem program's output files follow."""

import contextlib
import errno
import io
import os
import secrets


@contextlib.contextmanager
def whole_file(path):
    """A new binary file that takes the name path only once complete and on disk.

    The same rule as the vem program's output files: written as "PATH.vem-RANDOM.part" beside
    it, created exclusively (nothing planted there is followed or reused), flushed and synced,
    renamed over path, and the folder synced; any exception (KeyboardInterrupt included)
    removes it, so no truncated file is ever left looking whole."""
    path = os.fspath(path)
    flags = (os.O_RDWR | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0)
             | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0))
    for _ in range(16):
        temp = f"{path}.vem-{secrets.token_hex(8)}.part"
        try:
            fd = os.open(temp, flags, 0o666)
            break
        except FileExistsError:
            continue
    else:
        raise FileExistsError(f"every temporary name beside {path} was taken")
    try:
        raw = io.FileIO(fd, "r+")
        # Named, as writers such as tifffile ask a file for its name.
        raw.name = temp
        with io.BufferedRandom(raw) as out:
            yield out
            out.flush()
            os.fsync(out.fileno())
        os.replace(temp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise
    sync_folder(os.path.dirname(os.path.abspath(path)))


def sync_folder(folder):
    """Puts a rename into folder on the disk, where the system can sync a folder."""
    if not hasattr(os, "O_DIRECTORY"):
        return
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    except OSError as error:
        # Some file systems cannot sync a folder; their renames are as durable as they get.
        if error.errno != errno.EINVAL:
            raise
    finally:
        os.close(fd)
