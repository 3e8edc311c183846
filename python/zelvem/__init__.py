"""zelvem: the recording drive's movies as lazy numpy frame sequences and an fsspec file system.

    import zelvem
    drive = zelvem.Drive()
    for entry in drive.list():
        with drive.open(entry.path) as movie:
            print(entry.name, movie.shape, movie[0].mean())
"""

import atexit
import dataclasses
import datetime
import importlib
import operator
import os
import threading
import weakref

import numpy

from ._files import whole_file

__all__ = ["Drive", "Entry", "FrameTimesError", "Movie", "Watch"]
__version__ = "0.1.0"

class _Library:
    """The extension _zelvem, imported on first use: a machine without the library still
    imports zelvem and reaches a drive over HTTP (Drive(url=...)); only local use needs it."""

    _module = None

    def __getattr__(self, name):
        if _Library._module is None:
            try:
                # (Importing it also binds the package's _zelvem to the module itself, which
                # is what this stands for.)
                module = importlib.import_module(__name__ + "._zelvem")
            except ImportError as error:
                raise ImportError(
                    "zelvem: reading the drive of this machine needs the zelvem library and "
                    f"its extension zelvem._zelvem, which cannot be imported here ({error}); "
                    "this installation reaches drives only through `vem serve`: "
                    "zelvem.Drive(url=\"http://HOST:PORT\", token=...)") from error
            _Library._module = module
        return getattr(_Library._module, name)


_zelvem = _Library()

# Guards the first use of the library, which reads ZELVEM_ENABLE_EMULATOR once per process.
_load_lock = threading.Lock()
_loaded = False


class FrameTimesError(OSError):
    """A movie's frame times cannot be had: its info stream was refused or breaks the info
    block's rules. The message says which; no time is ever made up."""


def _require_drive():
    """Raises ConnectionError when there is no drive: the service is not running (the message
    names where it was sought) or has no drive attached."""
    if not _zelvem.is_emulator() and not _zelvem.drive_present():
        raise ConnectionError(_zelvem.no_drive_message())


def _text(path):
    """A path as text: str, bytes (UTF-8) or any os.PathLike."""
    path = os.fspath(path)
    return path.decode("utf-8") if isinstance(path, bytes) else path


def _drive_path(path):
    """The library path ("/NAME", "/NAME:info" or "/") of a "vem:" URL, an absolute path or a
    bare entry name; ValueError for what the library's path grammar refuses (vem://HOST/NAME)."""
    # Always absolute: a relative path would expand against the library's working directory,
    # which other hosts in the process may set.
    return _zelvem.library_path(_text(path))


@dataclasses.dataclass(frozen=True)
class Entry:
    """One movie of the drive, as the library describes it."""

    name: str
    path: str
    size: int
    time: datetime.datetime
    width: int
    height: int
    num_frames: int
    index: int
    start_time: str
    end_time: str
    duration: int
    properties: dict

    @classmethod
    def _from_library(cls, movie):
        """From the library's description of a movie, whose numbers it already holds as such."""
        return cls(
            name=movie["name"],
            path="/" + movie["name"],
            size=movie["size"],
            time=datetime.datetime.fromtimestamp(movie["time"], datetime.timezone.utc),
            width=movie["width"],
            height=movie["height"],
            num_frames=movie["frames"],
            index=movie["index"],
            start_time=movie["start_time"],
            end_time=movie["end_time"],
            duration=movie["duration"],
            properties=movie["properties"],
        )


class Drive:
    """The process's drive: a view of the library's one connection to the drive service.

    emulator=None takes the mode the process already has (on first use: the environment's
    ZELVEM_ENABLE_EMULATOR); True or False sets that switch before the library is first used,
    and raises RuntimeError if the library already runs in the other mode.

    Drive(url="http://HOST:PORT", token=None) is instead the drive a `vem serve` serves there
    (token: the server's; None takes ZELVEM_TOKEN from the environment): the same list, info
    and open, over HTTP, with no library needed on this machine.
    """

    def __new__(cls, emulator=None, url=None, token=None, **kwargs):
        if url is not None and cls is Drive:
            from ._remote import RemoteDrive

            return super().__new__(RemoteDrive)
        return super().__new__(cls)

    def __init__(self, emulator=None, url=None, token=None):
        if token is not None:
            raise ValueError("token= goes with url=: a local drive needs none")
        global _loaded
        with _load_lock:
            if not _loaded and emulator is not None:
                if emulator:
                    os.environ["ZELVEM_ENABLE_EMULATOR"] = "1"
                else:
                    os.environ.pop("ZELVEM_ENABLE_EMULATOR", None)
            _zelvem.load()
            _loaded = True
        if emulator is not None and bool(emulator) != _zelvem.is_emulator():
            have = "emulator" if _zelvem.is_emulator() else "drive service"
            raise RuntimeError(
                f"zelvem already runs in {have} mode in this process; the mode is chosen "
                "once, at the first use of the library")

    @property
    def present(self):
        """Whether a recording drive is attached (always True in emulator mode)."""
        return _zelvem.drive_present()

    @property
    def emulator(self):
        return _zelvem.is_emulator()

    @property
    def emulator_folder(self):
        """The local folder emulator mode serves ("" when the platform cannot name one)."""
        return _zelvem.emulator_folder()

    def list(self, filter=""):
        """The movies, optionally only those whose recorded name matches a wildcard filter."""
        # An empty list would pass for an empty drive.
        _require_drive()
        return [Entry._from_library(movie) for movie in _zelvem.list(filter)]

    def info(self, path):
        movie = _zelvem.info(_text(path))
        if movie is None:
            _require_drive()
            raise FileNotFoundError(f"no movie {path}")
        return Entry._from_library(movie)

    def open(self, path):
        return Movie(path)

    def remove(self, path):
        """Deletes the movie of exactly that name from the drive, and nothing else.

        FileNotFoundError when there is no such movie; OSError when the drive refused, or took
        another movie (the message names it)."""
        _zelvem.remove(_text(path))

    def watch(self, callback):
        """Calls callback() whenever the drive's movies change; close the result to stop."""
        return Watch(callback)

    def get(self, paths, dest, format="raw", verify=False, overwrite=False):
        """Copies movies into the folder dest (made when missing) as `vem get` copies them.

        paths: one movie or a list of them, each a name or path as open() takes it or an
        Entry from list(). format: "raw" (NAME and NAME.info), "ome-tiff" (NAME.ome.tif) or
        "emulator" (NAME.dat, NAME.info, NAME.meta). A file is there under its name only once
        complete and on disk, with the recording time as its time; an interrupted movie leaves
        NAME.TIME.vem-partial, which the next get resumes; dest/XXH128SUMS holds every hash.
        A file already there with the copy's size and time is skipped unless overwrite;
        verify reads every copy back from the disk and compares it with the drive.

        Returns one dict per movie, as `vem get --json` prints: name, bytes, seconds, status
        ("copied", "resumed", "skipped", "failed") and hash ("xxh128:HEX" or None). After trying
        every movie, raises OSError naming those that failed (its .results holds every dict).
        Ctrl+C stops between writes with KeyboardInterrupt, leaving only complete files and
        partial files to resume from."""
        if isinstance(paths, (str, bytes, os.PathLike, Entry)):
            paths = [paths]
        texts = [path.path if isinstance(path, Entry) else _text(path) for path in paths]
        _require_drive()
        results = _zelvem.get(texts, _text(dest), format, bool(verify), bool(overwrite))
        failed = [result for result in results if result["status"] == "failed"]
        if failed:
            error = OSError("not copied: " + "; ".join(
                f"{result['name']}: {result['error']}" for result in failed))
            error.results = results
            raise error
        return results


class Movie:
    """A movie as a lazy, read-only sequence of (height, width) uint16 frames.

    Indexing with an int gives one frame; a slice, a list or an array of ints gives an
    (n, height, width) array. Only the frames asked for are read, each straight into the result.
    """

    dtype = numpy.dtype(numpy.uint16)
    ndim = 3

    def __init__(self, path):
        self._file = _zelvem.MovieFile(_text(path))
        self._info_block = None

    @property
    def name(self):
        return self._file.name

    @property
    def path(self):
        return self._file.path

    @property
    def shape(self):
        return (len(self), self._file.height, self._file.width)

    @property
    def frame_shape(self):
        return (self._file.height, self._file.width)

    @property
    def info_block(self):
        """The movie's information block, as bytes (fetched once)."""
        if self._info_block is None:
            self._info_block = _zelvem.info_block(self._file.path)
        return self._info_block

    def _frame_times(self, form):
        """One form of the movie's times, from the library's kept times (fetched once per
        movie); FrameTimesError when the movie has none."""
        value, failure = _zelvem.frame_times(self._file.path, form)
        if failure is not None:
            raise FrameTimesError(f"vem://{self._file.path}: no frame times: {failure}")
        return value

    @property
    def times(self):
        """Each frame's time stamp as the info block has it: numpy datetime64[ns] in UTC, one
        per frame, not smoothed or sorted (a drive may repeat a stamp). A new array each time.
        FrameTimesError says why when the movie has no times."""
        return self._frame_times("stamps").view("datetime64[ns]")

    @property
    def elapsed(self):
        """Seconds since frame 0 of each frame, float64 (a new array each time)."""
        return self._frame_times("elapsed")

    @property
    def frame_rate(self):
        """Frames per second from the median interval between frames (dropped frames do not
        lower it); None below two frames or when that median is not above 0."""
        return self._frame_times("rate")

    @property
    def closed(self):
        return self._file.closed

    def __len__(self):
        return self._file.frames

    def __repr__(self):
        state = "closed " if self.closed else ""
        return f"<{state}zelvem.Movie {self.path} {self.shape}>"

    def _frames(self, key):
        """The frames a frame-axis key picks, checked against the movie, and the key that picks
        the same from an array of just those frames: (frames, key on them). Reads nothing."""
        count = len(self)
        if _is_int(key):
            i = operator.index(key)
            if not -count <= i < count:
                raise IndexError(f"frame {i} out of range for {count} frames")
            return numpy.array([i % count], dtype=numpy.int64), 0
        if isinstance(key, slice):
            return numpy.arange(*key.indices(count), dtype=numpy.int64), slice(None)
        wanted = _as_index_array(key)
        if wanted.dtype == bool:
            # A mask may span the frame axis and pixel axes; a frame is read when any of its
            # pixels is picked.
            if wanted.ndim == 0 or wanted.shape != self.shape[:wanted.ndim]:
                shape = self.shape[:max(1, wanted.ndim)]
                raise IndexError(f"a boolean index must have the shape {shape}")
            frames = numpy.flatnonzero(wanted.reshape(count, -1).any(axis=1))
            return frames.astype(numpy.int64), wanted[frames]
        if wanted.dtype.kind == "u":
            # Compared as unsigned: 2**64-1 must not wrap to -1 and read the last frame.
            bad = wanted >= numpy.uint64(count)
        else:
            bad = (wanted < -count) | (wanted >= count)
        if bad.any():
            raise IndexError(f"frame {wanted[bad].flat[0]} out of range for {count} frames")
        wanted = wanted.astype(numpy.int64)
        wanted = numpy.where(wanted < 0, wanted + count, wanted)
        if wanted.ndim == 1:
            # Read in the order asked, repeats and all; still an array index on the frames
            # read, so that it combines with other array indices as numpy combines them.
            return wanted, numpy.arange(len(wanted))
        frames, where = numpy.unique(wanted, return_inverse=True)
        return frames, where.reshape(wanted.shape)

    def _split(self, key):
        """A numpy key as (frames to read, key that cuts the result from them, or None when the
        frames as read are the result)."""
        items = key if isinstance(key, tuple) else (key,)
        items = tuple(_as_index_array(k) if isinstance(k, list) else k for k in items)
        if sum(k is Ellipsis for k in items) > 1:
            raise IndexError("an index can only have a single ellipsis ('...')")
        used = sum(_axes(k) for k in items if k is not Ellipsis)
        if used > self.ndim:
            raise IndexError(f"too many indices for a movie: it has {self.ndim} axes, "
                             f"{used} were indexed")
        for position, item in enumerate(items):
            if item is Ellipsis and used < self.ndim:
                break  # the ellipsis stands for the frame axis: every frame is needed
            if item is not Ellipsis and _axes(item):
                frames, on_frames = self._frames(item)
                if len(items) == 1 and (isinstance(on_frames, slice) or numpy.ndim(on_frames) == 1):
                    return frames, None  # a slice, list or 1-D mask: the frames read, as read
                return frames, items[:position] + (on_frames,) + items[position + 1:]
        return numpy.arange(len(self), dtype=numpy.int64), items

    def _read(self, indices):
        out = numpy.empty((len(indices),) + self.frame_shape, dtype=self.dtype)
        self._file.read_frames(numpy.ascontiguousarray(indices, dtype=numpy.int64), out)
        return out

    def __getitem__(self, key):
        if type(key) is int:
            # The commonest key, kept short: a frame-by-frame reader pays this once a frame.
            count = len(self)
            if not -count <= key < count:
                raise IndexError(f"frame {key} out of range for {count} frames")
            out = numpy.empty(self.frame_shape, dtype=self.dtype)
            self._file.read_frames(numpy.array([key % count], dtype=numpy.int64), out)
            return out
        frames, rest = self._split(key)
        read = self._read(frames)
        return read if rest is None else read[rest]

    def __iter__(self):
        for i in range(len(self)):
            yield self[i]

    def __array__(self, dtype=None, copy=None):
        frames = self[:]
        return frames if dtype is None else frames.astype(dtype, copy=False)

    def to_tiff(self, path, frames=None):
        """Writes frames (default all; else an int, slice or list) as a 16-bit multi-page TIFF.

        The file appears under path only once complete and on disk; until then it is written
        as PATH.vem-RANDOM.part beside it, which any failure or KeyboardInterrupt removes."""
        import tifffile

        if frames is None:
            indices = numpy.arange(len(self), dtype=numpy.int64)
        elif isinstance(frames, slice) or numpy.ndim(frames) <= 1:
            indices, _ = self._frames(frames)
        else:
            raise TypeError("to_tiff takes frames as an int, a slice, a list or a mask")
        # One frame in memory at a time: movies are often larger than memory.
        pages = (self._read([i])[0] for i in indices)
        with whole_file(path) as out:
            tifffile.imwrite(out, pages, shape=(len(indices),) + self.frame_shape,
                             dtype=self.dtype, photometric="minisblack")

    def to_dask(self):
        """The movie as a dask.array of (frames, height, width) uint16, one chunk a frame.

        Frames are read where a task runs. The array holds the movie's path, not an open
        movie: pickled to another process (dask.distributed's workers), it opens the movie
        there on the first read."""
        from ._dask import movie_array

        return movie_array(self._file.path, self.shape)

    def close(self):
        self._file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _as_index_array(key):
    """A sequence or array index as an array of ints or bools; TypeError for anything else."""
    wanted = numpy.asarray(key)
    if wanted.size == 0 and wanted.dtype.kind not in "iub":
        return wanted.astype(numpy.int64)  # [] picks nothing, whatever numpy guessed for it
    if wanted.dtype.kind not in "iub":
        raise TypeError("frames are chosen by an int, a slice, an int array or a boolean mask, "
                        f"not {type(key).__name__}")
    return wanted


def _axes(item):
    """How many axes of the movie a key item consumes (None and a lone bool add one)."""
    if item is None or isinstance(item, (bool, numpy.bool_)):
        return 0
    if isinstance(item, numpy.ndarray) and item.dtype == bool:
        return item.ndim
    return 1


def _is_int(key):
    if isinstance(key, (bool, numpy.bool_)):
        return False
    try:
        operator.index(key)
    except TypeError:
        return False
    return not isinstance(key, numpy.ndarray) or key.ndim == 0


# Open watches, closed at interpreter exit before the library's thread could call into a
# Python that is shutting down.
_watches = weakref.WeakSet()


class Watch:
    """A files-changed callback, called on the library's thread after each change of the movies.

    An exception raised by the callback is reported on stderr; later changes still call it.
    """

    def __init__(self, callback):
        if not callable(callback):
            raise TypeError("the watch callback must be callable")
        self._watch = _zelvem.Watch(callback)
        _watches.add(self)

    @property
    def closed(self):
        return self._watch.closed

    def close(self):
        self._watch.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


@atexit.register
def _shutdown():
    if _Library._module is None:
        return  # never used here: nothing to finalize, and nothing to import now
    _zelvem.finalize()
    for watch in list(_watches):
        watch.close()


try:
    import fsspec
except ImportError:
    pass
else:
    fsspec.register_implementation("vem", "zelvem.filesystem.VemFileSystem", clobber=True)
