"""The drive as a read-only fsspec file system, protocol "vem": one file per movie under "/",
and beside each movie its computed views, NAME.ome.tif and the Zarr folder NAME.zarr/."""

import collections
import datetime
import threading

from fsspec.spec import AbstractBufferedFile, AbstractFileSystem

from . import Drive, Entry, _drive_path, _require_drive, _text, _zelvem

_OME_TIFF = ".ome.tif"
_ZARR = ".zarr"
# fsspec's "not there" exceptions: with on_error="omit" or "return" only these are left out
# or returned; every other failure is raised.
_MISSING = (FileNotFoundError, IsADirectoryError, NotADirectoryError)


def _read_only(path):
    return PermissionError(f"the drive is read-only: cannot write {path}")


def _zarr_key(text):
    """(folder, key) for a path into a Zarr view ("/NAME.zarr/KEY"), else None."""
    head, slash, key = text.rpartition("/")
    if not slash or not key or not head.endswith(_ZARR):
        return None
    rest = head[4:] if head[:4].lower() == "vem:" else head
    if rest.startswith("//") and not rest.startswith("///"):
        return None  # vem://HOST/...: another machine's drive, which the grammar refuses
    return head, key


class VemFileSystem(AbstractFileSystem):
    """Movies as files of their frames' bytes (width x height x 2 little-endian bytes a frame),
    each with an OME-TIFF (NAME.ome.tif) and a Zarr folder (NAME.zarr/) computed around it.

    fsspec.filesystem("vem", emulator=None): emulator as for zelvem.Drive.
    fsspec.filesystem("vem", url="http://HOST:PORT", token=None): the movies a `vem serve`
    serves (see RemoteVemFileSystem).
    """

    protocol = "vem"
    root_marker = "/"
    # Readers kept for Zarr chunk reads, so that a chunk costs a frame read, not an open.
    _kept_readers = 8

    def __new__(cls, *args, url=None, **kwargs):
        if url is not None and cls is VemFileSystem:
            return super().__new__(RemoteVemFileSystem)
        return super().__new__(cls)

    def __init__(self, emulator=None, **storage_options):
        super().__init__(emulator=emulator, **storage_options)
        self.drive = Drive(emulator)
        # Guards _readers (entry name -> _zelvem.MovieFile, least recently used first).
        self._readers_lock = threading.Lock()
        self._readers = collections.OrderedDict()

    @classmethod
    def _strip_protocol(cls, path):
        if isinstance(path, list):
            return [cls._strip_protocol(p) for p in path]
        text = _text(path)
        if len(text) > 1:
            text = text.rstrip("/") or "/"
        parts = _zarr_key(text)
        if parts:
            return _drive_path(parts[0]) + "/" + parts[1]
        return _drive_path(text).rstrip("/") or "/"

    # -- what a path names -----------------------------------------------------------------

    def _resolve(self, path):
        """(kind, movie, key) of a stripped path: kind "root", "movie", "ome.tif", "zarr" or
        "zarr key"; movie the library's description of the movie (or of the view's movie).
        A movie's own name always names the movie, never a view."""
        if path == "/":
            return "root", None, None
        head, _, key = path[1:].partition("/")
        if key:
            if _zelvem.info(head) is None:
                movie = self._view_movie(head, _ZARR)
                if movie is not None:
                    return "zarr key", movie, key
            raise self._missing(path)
        movie = _zelvem.info(head)
        if movie is not None:
            return "movie", movie, None
        for suffix, kind in ((_OME_TIFF, "ome.tif"), (_ZARR, "zarr")):
            movie = self._view_movie(head, suffix)
            if movie is not None:
                return kind, movie, None
        raise self._missing(path)

    @staticmethod
    def _view_movie(name, suffix):
        """The movie whose view `name` is, or None."""
        if not name.endswith(suffix) or len(name) == len(suffix):
            return None
        movie = _zelvem.info(name[: -len(suffix)])
        if movie is None:
            return None
        has_view = movie["ome_tiff_size"] is not None if suffix == _OME_TIFF else movie["zarr"]
        return movie if has_view else None

    @staticmethod
    def _missing(path):
        _require_drive()
        return FileNotFoundError(f"no such file vem://{path}")

    # -- listing ---------------------------------------------------------------------------

    @staticmethod
    def _details(movie):
        entry = Entry._from_library(movie)
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

    @staticmethod
    def _view_details(movie, kind):
        time = datetime.datetime.fromtimestamp(movie["time"], datetime.timezone.utc)
        if kind == "ome.tif":
            name, size, type_ = movie["name"] + _OME_TIFF, movie["ome_tiff_size"], "file"
        else:
            name, size, type_ = movie["name"] + _ZARR, 0, "directory"
        return {"name": "/" + name, "size": size, "type": type_, "created": time,
                "mtime": time, "movie": "/" + movie["name"], "view": kind}

    def ls(self, path, detail=True, **kwargs):
        path = self._strip_protocol(path)
        kind, movie, _ = self._resolve(path)
        if kind == "root":
            _require_drive()
            movies = _zelvem.list("")
            names = {m["name"] for m in movies}
            entries = [self._details(m) for m in movies]
            for m in movies:
                if m["ome_tiff_size"] is not None and m["name"] + _OME_TIFF not in names:
                    entries.append(self._view_details(m, "ome.tif"))
                if m["zarr"] and m["name"] + _ZARR not in names:
                    entries.append(self._view_details(m, "zarr"))
        elif kind == "zarr":
            entries = [{"name": f"{path}/{key}", "size": size, "type": "file"}
                       for key, size in _zelvem.zarr_keys(movie["name"])]
        else:
            entries = [self.info(path)]  # a file lists as itself, as fsspec expects
        return entries if detail else [e["name"] for e in entries]

    def info(self, path, times=False, **kwargs):
        """The path's details; times=True adds the movie's "frame_times" (seconds since frame
        0, a float64 array, or None) and "frame_times_failure" (why they are None, or None)."""
        path = self._strip_protocol(path)
        kind, movie, key = self._resolve(path)
        if kind == "root":
            return {"name": "/", "size": 0, "type": "directory"}
        if kind == "zarr key":
            size = self._zarr_size(movie, key)
            if size is None:
                raise self._missing(path)
            return {"name": path, "size": size, "type": "file"}
        details = self._details(movie) if kind == "movie" else self._view_details(movie, kind)
        if times:
            elapsed, failure = _zelvem.frame_times(movie["name"], "elapsed")
            details.update(frame_times=elapsed, frame_times_failure=failure)
        return details

    @staticmethod
    def _zarr_size(movie, key):
        text = _zelvem.zarr_metadata(movie["name"], key)
        if text is not None:
            return len(text)
        if _zelvem.zarr_chunk_frame(movie["name"], key) is not None:
            return movie["width"] * movie["height"] * 2
        return None

    # -- reading ---------------------------------------------------------------------------

    def _open(self, path, mode="rb", block_size=None, autocommit=True, cache_options=None,
              **kwargs):
        if mode != "rb":
            raise _read_only(path)
        path = self._strip_protocol(path)
        return VemFile(self, path, self._source(path), **kwargs)

    def _source(self, path):
        """What an open file reads: the movie, its OME-TIFF, or a Zarr key's bytes."""
        kind, movie, key = self._resolve(path)
        if kind == "movie":
            return _zelvem.MovieFile(movie["name"])
        if kind == "ome.tif":
            return _zelvem.OmeTiffFile(movie["name"])
        if kind == "zarr key":
            return _BytesSource(self._zarr_bytes(path, movie, key))
        raise IsADirectoryError(f"vem://{path} is a folder")

    def _zarr_bytes(self, path, movie, key):
        text = _zelvem.zarr_metadata(movie["name"], key)
        if text is not None:
            return text
        frame = _zelvem.zarr_chunk_frame(movie["name"], key)
        if frame is None:
            raise self._missing(path)
        reader = self._reader(movie["name"])
        frame_bytes = reader.frame_bytes
        try:
            return reader.read_bytes(frame * frame_bytes, (frame + 1) * frame_bytes)
        except (OSError, ValueError):
            # Gone or closed: the next read opens the movie anew (or finds it missing).
            with self._readers_lock:
                if self._readers.get(movie["name"]) is reader:
                    del self._readers[movie["name"]]
            raise

    def _reader(self, name):
        with self._readers_lock:
            reader = self._readers.pop(name, None)
            if reader is not None:
                self._readers[name] = reader
                return reader
        reader = _zelvem.MovieFile(name)
        with self._readers_lock:
            self._readers[name] = reader
            while len(self._readers) > self._kept_readers:
                self._readers.popitem(last=False)
        return reader

    def cat_file(self, path, start=None, end=None, **kwargs):
        path = self._strip_protocol(path)
        source = self._source(path)
        try:
            return source.read_bytes(*_range(start, end, source.size))
        finally:
            source.close()

    def cat(self, path, recursive=False, on_error="raise", **kwargs):
        """As fsspec's cat, but on_error="omit" or "return" applies only to paths that are not
        there: a read that fails is raised. (zarr reads chunks with on_error="omit" and would
        fill a chunk whose frame the drive refused with zeros.)"""
        paths = self.expand_path(path, recursive=recursive)
        single = not isinstance(path, list) and paths == [self._strip_protocol(path)]
        if single:
            return self.cat_file(paths[0], **kwargs)
        out = {}
        for p in paths:
            try:
                out[p] = self.cat_file(p, **kwargs)
            except _MISSING as e:
                if on_error == "raise":
                    raise
                if on_error == "return":
                    out[p] = e
        return out

    # -- writing: refused ------------------------------------------------------------------

    def rm_file(self, path):
        path = self._strip_protocol(path)
        kind, movie, _ = self._resolve(path)
        if kind == "root":
            raise _read_only(path)
        if kind != "movie":
            raise PermissionError(f"vem://{path} is computed from vem:///{movie['name']}: "
                                  "remove the movie instead")
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


class _BytesSource:
    """A Zarr key's bytes, held whole (a metadata text or one frame), read as a source."""

    def __init__(self, data):
        self._data = data
        self.size = len(data)

    def read_bytes(self, start, end):
        return self._data[start:end]

    def read_into(self, offset, view):
        data = self._data[offset:offset + len(view)]
        view[:len(data)] = data
        return len(data)

    def close(self):
        pass


class VemFile(AbstractBufferedFile):
    """An open movie or view: seekable; read and readinto fetch exactly the frames their range
    covers."""

    def __init__(self, fs, path, source, **kwargs):
        self._source = source
        kwargs.pop("cache_type", None)
        # No read-ahead: every read goes straight to the frames it covers.
        super().__init__(fs, path, mode="rb", cache_type="none", size=source.size, **kwargs)

    def _fetch_range(self, start, end):
        return self._source.read_bytes(*_range(start, end, self.size))

    def read(self, length=-1):
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        remaining = max(0, self.size - self.loc)
        length = remaining if length is None or length < 0 else min(length, remaining)
        data = self._source.read_bytes(self.loc, self.loc + length)
        self.loc += len(data)
        return data

    def readinto(self, b):
        if self.closed:
            raise ValueError("I/O operation on closed file.")
        view = memoryview(b).cast("B")
        view = view[: max(0, min(len(view), self.size - self.loc))]
        got = self._source.read_into(self.loc, view)
        self.loc += got
        return got

    def close(self):
        source = getattr(self, "_source", None)  # absent when opening failed
        if source is not None:
            source.close()
        super().close()


class RemoteVemFileSystem(VemFileSystem):
    """The movies a `vem serve` serves, as files of their frames' bytes: listed from its API,
    read by range requests that carry the movie's tag (a movie replaced under its name fails the
    read, OSError). The views are the server's own files, /files/NAME.ome.tif and NAME.zarr/,
    which fsspec's HTTP file system reads; they are not listed here. Needs no library."""

    def __init__(self, url=None, token=None, **storage_options):
        from ._remote import RemoteDrive

        AbstractFileSystem.__init__(self, url=url, token=token, **storage_options)
        self.drive = RemoteDrive(url=url, token=token)

    def __repr__(self):
        return f"<RemoteVemFileSystem {self.drive.url}>"  # never the token

    @classmethod
    def _strip_protocol(cls, path):
        if isinstance(path, list):
            return [cls._strip_protocol(p) for p in path]
        from ._remote import _name

        text = _text(path)
        if text.rstrip("/") in ("", "vem:", "vem://"):
            return "/"
        return "/" + _name(text.rstrip("/"))

    def ls(self, path, detail=True, **kwargs):
        path = self._strip_protocol(path)
        if path == "/":
            entries = [self._entry_details(e) for e in self.drive.list()]
        else:
            entries = [self.info(path)]
        return entries if detail else [e["name"] for e in entries]

    @staticmethod
    def _entry_details(entry):
        return {"name": entry.path, "size": entry.size, "type": "file", "created": entry.time,
                "mtime": entry.time, "width": entry.width, "height": entry.height,
                "num_frames": entry.num_frames, "index": entry.index,
                "start_time": entry.start_time, "end_time": entry.end_time,
                "duration": entry.duration, "properties": entry.properties}

    def info(self, path, times=False, **kwargs):
        """As VemFileSystem.info, from the server."""
        path = self._strip_protocol(path)
        if path == "/":
            return {"name": "/", "size": 0, "type": "directory"}
        details = self._entry_details(self.drive.info(path))
        if times:
            from . import FrameTimesError

            with self.drive.open(path) as movie:
                try:
                    details.update(frame_times=movie.elapsed, frame_times_failure=None)
                except FrameTimesError as error:
                    details.update(frame_times=None, frame_times_failure=str(error))
        return details

    def _source(self, path):
        if path == "/":
            raise IsADirectoryError("vem:/// is a folder")
        return self.drive.open(path)

    def rm_file(self, path):
        raise PermissionError(f"{self.drive.url}: removal is the server's DELETE, not this file "
                              "system's")
