"""Movies as dask arrays: the graph holds where a movie is; each process opens it itself."""

import os
import threading

import dask.array
import dask.base
import numpy


class MovieFrames:
    """What a dask graph holds of a movie: its path and shape. Pickles as those two, so that a
    worker process opens the movie on its own first read; in one process every thread shares
    one open movie."""

    dtype = numpy.dtype(numpy.uint16)
    ndim = 3

    def __init__(self, path, shape):
        self.path = path
        self.shape = tuple(shape)
        # Guards _movie and _pid: the movie this process opened, and which process that was
        # (a forked child must not use its parent's reader).
        self._lock = threading.Lock()
        self._movie = None
        self._pid = None

    def __reduce__(self):
        return MovieFrames, (self.path, self.shape)

    def _open(self):
        from . import Movie

        with self._lock:
            if self._movie is None or self._pid != os.getpid():
                movie = Movie(self.path)
                if movie.shape != self.shape:
                    movie.close()
                    raise OSError(f"vem://{self.path} is now {movie.shape}, not the "
                                  f"{self.shape} movie this array was made from")
                self._movie, self._pid = movie, os.getpid()
            return self._movie

    def __getitem__(self, key):
        return self._open()[key]


def movie_array(path, shape):
    frames = MovieFrames(path, shape)
    name = "zelvem-" + dask.base.tokenize(path, frames.shape)
    return dask.array.from_array(frames, chunks=(1,) + frames.shape[1:], name=name,
                                 meta=numpy.empty((0, 0, 0), dtype=frames.dtype), asarray=False)


class RemoteFrames:
    """What a dask graph holds of a served movie: the client (address, and the token only when
    one was given), name, tag and shape. Each process makes its own HTTP session on its first
    read, and reads only frames of the movie that had that tag."""

    dtype = numpy.dtype(numpy.uint16)
    ndim = 3

    def __init__(self, client, name, etag, shape):
        self.client, self.name, self.etag = client, name, etag
        self.shape = tuple(shape)
        self._movie = None

    def __reduce__(self):
        return RemoteFrames, (self.client, self.name, self.etag, self.shape)

    def __repr__(self):
        return f"<zelvem remote frames {self.client.url} {self.name} {self.shape}>"

    def __getitem__(self, key):
        if self._movie is None:
            from ._remote import RemoteMovie

            self._movie = RemoteMovie(self.client, self.name, self.etag, self.shape)
        return self._movie[key]


def remote_array(client, name, etag, shape):
    frames = RemoteFrames(client, name, etag, shape)
    # The tag, not the token, tells arrays apart: the name is not a secret, the token is.
    token = dask.base.tokenize(client.url, name, etag, frames.shape)
    return dask.array.from_array(frames, chunks=(1,) + frames.shape[1:], name="zelvem-" + token,
                                 meta=numpy.empty((0, 0, 0), dtype=frames.dtype), asarray=False)
