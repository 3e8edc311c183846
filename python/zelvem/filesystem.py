"""The drive as a read-only fsspec file system, protocol "vem": one file per movie under "/"."""

from fsspec.spec import AbstractBufferedFile, AbstractFileSystem

from . import Drive, _drive_path, _text, _zelvem


def _read_only(path):
    return PermissionError(f"the drive is read-only: cannot write {path}")


class VemFileSystem(AbstractFileSystem):
    """Movies as files of their frames' bytes (width x height x 2 little-endian bytes a frame).

    fsspec.filesystem("vem", emulator=None): emulator as for zelvem.Drive.
    """

    protocol = "vem"
    root_marker = "/"

    def __init__(self, emulator=None, **storage_options):
        super().__init__(emulator=emulator, **storage_options)
        self.drive = Drive(emulator)

    @classmethod
    def _strip_protocol(cls, path):
        if isinstance(path, list):
            return [cls._strip_protocol(p) for p in path]
        path = _drive_path(path).rstrip("/")
        return path or "/"

    @staticmethod
    def _details(entry):
        return {
            "name": entry.path,
            "size": entry.size,
            "type": "file",
            "created": entry.time,
            "mtime": entry.time,
            "width": entry.width,
            "height": entry.height,
            "num_frames": entry.num_frames,
            "index": entry.index,
            "start_time": entry.start_time,
            "end_time": entry.end_time,
            "duration": entry.duration,
            "properties": entry.properties,
        }

    def ls(self, path, detail=True, **kwargs):
        path = self._strip_protocol(path)
        if path == "/":
            entries = [self._details(e) for e in self.drive.list()]
        else:
            entries = [self.info(path)]  # a file lists as itself, as fsspec expects
        return entries if detail else [e["name"] for e in entries]

    def info(self, path, **kwargs):
        path = self._strip_protocol(path)
        if path == "/":
            return {"name": "/", "size": 0, "type": "directory"}
        return self._details(self.drive.info(path))

    def _open(self, path, mode="rb", block_size=None, autocommit=True, cache_options=None,
              **kwargs):
        if mode != "rb":
            raise _read_only(path)
        return VemFile(self, path, **kwargs)

    def cat_file(self, path, start=None, end=None, **kwargs):
        with VemFile(self, self._strip_protocol(path)) as f:
            return f._movie.read_bytes(*_range(start, end, f.size))

    def rm_file(self, path):
        path = self._strip_protocol(path)
        if path == "/":
            raise _read_only(path)
        self.drive.remove(path)

    def _rm(self, path):
        self.rm_file(path)

    def rm(self, path, recursive=False, maxdepth=None):
        paths = path if isinstance(path, list) else [path]
        for p in paths:
            if self._strip_protocol(p) == "/":
                raise PermissionError("the drive's root cannot be removed")
            self.rm_file(p)

    def mkdir(self, path, create_parents=True, **kwargs):
        raise _read_only(path)

    def makedirs(self, path, exist_ok=False):
        raise _read_only(path)

    def cp_file(self, path1, path2, **kwargs):
        raise _read_only(path2)

    def mv(self, path1, path2, **kwargs):
        raise _read_only(path2)

    def pipe_file(self, path, value, **kwargs):
        raise _read_only(path)

    def put_file(self, lpath, rpath, **kwargs):
        raise _read_only(rpath)

    def touch(self, path, truncate=True, **kwargs):
        raise _read_only(path)


def _range(start, end, size):
    """fsspec's byte range (negative counts from the end, None is open) clipped to the file."""
    start = 0 if start is None else start
    end = size if end is None else end
    start = max(0, size + start) if start < 0 else min(start, size)
    end = max(0, size + end) if end < 0 else min(end, size)
    return start, max(start, end)


class VemFile(AbstractBufferedFile):
    """An open movie: seekable; read and readinto fetch exactly the frames their range covers."""

    def __init__(self, fs, path, **kwargs):
        self._movie = _zelvem.MovieFile(_text(path))
        kwargs.pop("cache_type", None)
        # No read-ahead: every read goes straight to the frames it covers.
        super().__init__(fs, path, mode="rb", cache_type="none", size=self._movie.size,
                         **kwargs)

    def _fetch_range(self, start, end):
        return self._movie.read_bytes(*_range(start, end, self.size))

    def read(self, length=-1):
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        remaining = max(0, self.size - self.loc)
        length = remaining if length is None or length < 0 else min(length, remaining)
        data = self._movie.read_bytes(self.loc, self.loc + length)
        self.loc += len(data)
        return data

    def readinto(self, b):
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        view = memoryview(b).cast("B")
        view = view[: max(0, min(len(view), self.size - self.loc))]
        got = self._movie.read_into(self.loc, view)
        self.loc += got
        return got

    def close(self):
        movie = getattr(self, "_movie", None)  # absent when opening failed
        if movie is not None:
            movie.close()
        super().close()
