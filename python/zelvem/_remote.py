"""A drive that `vem serve` serves, over HTTP: the Drive, Entry and Movie API in pure Python."""

import datetime
import os
import threading
import urllib.parse

import numpy

from . import Drive, Entry, FrameTimesError, Movie

# Frames fetched in one range request at most (bytes): bounds the memory of a reply that is
# copied into the result, not the size of what can be read.
_MAX_REQUEST_BYTES = 64 << 20


def _token(token):
    """The token given, else ZELVEM_TOKEN from this process's environment (None when neither)."""
    return token if token is not None else os.environ.get("ZELVEM_TOKEN") or None


class Client:
    """One `vem serve` address and its token, with one HTTP session (requests') per process
    that uses it; pickles as the address and the token it was given (None: each process reads
    ZELVEM_TOKEN itself), never as a connection."""

    def __init__(self, url, token=None, timeout=60):
        import requests  # here, so that a local-only zelvem does not need it

        self._requests = requests
        self.url = url.rstrip("/") + "/"
        self._given_token = token
        self.timeout = timeout
        self._lock = threading.Lock()
        self._session = None
        self._pid = None

    def __reduce__(self):
        return Client, (self.url, self._given_token, self.timeout)

    def __repr__(self):
        return f"<zelvem remote {self.url}>"  # never the token

    @property
    def session(self):
        with self._lock:
            if self._session is None or self._pid != os.getpid():
                # A forked child makes its own: sharing the parent's sockets mixes replies.
                session = self._requests.Session()
                token = _token(self._given_token)
                if token:
                    session.headers["Authorization"] = "Bearer " + token
                self._session, self._pid = session, os.getpid()
            return self._session

    def _url(self, *parts):
        return self.url + "/".join(urllib.parse.quote(p, safe="") for p in parts)

    def request(self, method, parts, what, headers=None, ok=(200,)):
        """The reply to METHOD on the path made of parts (each percent-encoded), or the error
        that says what went wrong: PermissionError (token), FileNotFoundError, ConnectionError
        (no drive), OSError otherwise. `what` names the thing asked for in messages."""
        url = self._url(*parts)
        try:
            reply = self.session.request(method, url, headers=headers, timeout=self.timeout)
        except self._requests.RequestException as error:
            raise ConnectionError(f"{self.url}: {error}") from error
        if reply.status_code in ok:
            return reply
        raise _error(reply, what, self.url)

    def json(self, *parts, what):
        return self.request("GET", parts, what).json()


def _error(reply, what, url):
    try:
        said = reply.json().get("error", "")
    except ValueError:
        said = reply.text[:200]
    status = reply.status_code
    if status == 401:
        return PermissionError(f"{url}: the server refused the token (401 {said}): give "
                               "zelvem.Drive(url=..., token=...) or ZELVEM_TOKEN the token "
                               "`vem serve` uses")
    if status == 404:
        return FileNotFoundError(f"no movie {what} on {url} ({said})")
    if status == 412:
        return OSError(f"{what} on {url} changed: the movie of that name is another one now "
                       "(412); open it again to read the new one")
    if status == 503:
        return ConnectionError(f"{url}: no drive ({said})")
    return OSError(f"{what} on {url}: {status} {said}")


def _name(path):
    """The entry name of a "vem:" URL, an absolute path, a bare entry name or an Entry."""
    path = getattr(path, "path", path)
    text = os.fspath(path)
    text = text.decode("utf-8") if isinstance(text, bytes) else text
    if text[:4].lower() == "vem:":
        text = text[4:]
        if text.startswith("//") and not text.startswith("///"):
            raise ValueError(f"{path}: a vem://HOST/ path names another machine's drive; "
                             "give that machine's server as zelvem.Drive(url=...)")
    name = text.lstrip("/")
    if not name or "/" in name:
        raise ValueError(f"{path} names no movie: the drive has one flat folder")
    return name


def entry_from_json(movie):
    """An Entry from the server's movie object (the objects of `vem ls --json`)."""
    p = movie["properties"]
    time = datetime.datetime.strptime(movie["time"], "%Y-%m-%dT%H:%M:%SZ")
    return Entry(name=movie["name"], path=movie["path"], size=movie["size"],
                 time=time.replace(tzinfo=datetime.timezone.utc), width=int(p["width"]),
                 height=int(p["height"]), num_frames=int(p["numFrames"]),
                 index=int(p["index"]), start_time=p["startTime"], end_time=p["endTime"],
                 duration=int(p["duration"]), properties=p)


def open_movie(client, path):
    """A RemoteMovie of the movie named now: its tag, then its description, then the tag again,
    so that shape and tag belong to one movie even when the name changed hands meanwhile."""
    name = _name(path)
    for _ in range(3):
        tag = client.request("HEAD", ("files", name), name).headers.get("ETag")
        if not tag:
            raise OSError(f"{client.url} gave {name} no ETag: not a `vem serve`?")
        movie = client.json("api", "v1", "movies", name, what=name)
        again = client.request("HEAD", ("files", name), name).headers.get("ETag")
        if again == tag:
            shape = (int(movie["properties"]["numFrames"]), int(movie["properties"]["height"]),
                     int(movie["properties"]["width"]))
            return RemoteMovie(client, name, tag, shape, movie)
    raise OSError(f"{name} on {client.url} keeps changing while it is opened")


def _runs(indices):
    """Consecutive frame numbers as (first, count) runs, in the order given."""
    runs = []
    for i in indices:
        i = int(i)
        if runs and runs[-1][0] + runs[-1][1] == i:
            runs[-1][1] += 1
        else:
            runs.append([i, 1])
    return runs


class RemoteMovie(Movie):
    """A served movie as a lazy sequence of frames, as zelvem.Movie: each read is a range
    request that carries the tag the movie had when it was opened, so a movie replaced under
    the same name raises OSError instead of handing out another movie's frames."""

    def __init__(self, client, name, etag, shape, description=None):
        self._client = client
        self._name = name
        self.etag = etag
        self._shape = tuple(int(n) for n in shape)
        self._description = description
        self._closed = False
        self._times = None
        self._info_block = None

    @property
    def name(self):
        return self._name

    @property
    def path(self):
        return "/" + self._name

    @property
    def url(self):
        return self._client._url("files", self._name)

    @property
    def shape(self):
        return self._shape

    @property
    def frame_shape(self):
        return self._shape[1:]

    @property
    def closed(self):
        return self._closed

    def __len__(self):
        return self._shape[0]

    def __repr__(self):
        state = "closed " if self._closed else ""
        return f"<{state}zelvem.Movie {self.url} {self.shape}>"

    def _get(self, parts, headers=None, ok=(200,)):
        if self._closed:
            raise ValueError("I/O operation on a closed movie")
        return self._client.request("GET", parts, self._name, headers=headers, ok=ok)

    def _check_same(self):
        """Raises OSError when the name now holds another movie than the one opened."""
        self._client.request("HEAD", ("files", self._name), self._name,
                             headers={"If-Match": self.etag})

    @property
    def size(self):
        """The movie's size in bytes (as a file: what fsspec's files need)."""
        return self._shape[0] * self._shape[1] * self._shape[2] * 2

    def read_into(self, offset, view):
        data = self.read_bytes(offset, min(self.size, offset + len(view)))
        view[:len(data)] = data
        return len(data)

    def read_bytes(self, start, end):
        """The movie's bytes [start, end), fetched as one range of this movie (not another of
        the same name)."""
        if end <= start:
            return b""
        reply = self._get(("files", self._name),
                          headers={"Range": f"bytes={start}-{end - 1}", "If-Match": self.etag},
                          ok=(206,))
        data = reply.content
        if len(data) != end - start or not reply.headers.get("Content-Range", "").startswith(
                f"bytes {start}-{end - 1}/"):
            raise OSError(f"{self._name} on {self._client.url}: asked bytes {start}-{end - 1},"
                          f" got {len(data)} bytes ({reply.headers.get('Content-Range')})")
        return data

    def _read(self, indices):
        out = numpy.empty((len(indices),) + self.frame_shape, dtype=self.dtype)
        frame_bytes = self.frame_shape[0] * self.frame_shape[1] * 2
        per_request = max(1, _MAX_REQUEST_BYTES // max(1, frame_bytes))
        at = 0
        for first, count in _runs(indices):
            while count:
                n = min(count, per_request)
                data = self.read_bytes(first * frame_bytes, (first + n) * frame_bytes)
                out[at:at + n] = numpy.frombuffer(data, dtype="<u2").reshape(
                    (n,) + self.frame_shape)
                at, first, count = at + n, first + n, count - n
        return out

    def __getitem__(self, key):
        frames, rest = self._split(key)
        read = self._read(frames)
        return read if rest is None else read[rest]

    @property
    def info_block(self):
        """The movie's information block, as bytes (fetched once)."""
        if self._info_block is None:
            data = self._get(("files", self._name + ":info")).content
            self._check_same()  # asked by name: it counts only if the name still holds this movie
            self._info_block = data
        return self._info_block

    def _frame_times(self, form):
        if self._times is None:
            reply = self._client.request("GET", ("api", "v1", "movies", self._name, "times"),
                                         self._name, ok=(200, 422))
            if reply.status_code == 422:
                raise FrameTimesError(f"{self.url}: {reply.json().get('error')}")
            stamps = numpy.array([t["time"].rstrip("Z") for t in reply.json()],
                                 dtype="datetime64[us]").astype("datetime64[ns]").view("int64")
            # The times are asked by name: they count only if the name still holds this movie.
            self._check_same()
            self._times = stamps
        stamps = self._times
        if form == "stamps":
            return stamps.copy()
        if form == "elapsed":
            return (stamps - stamps[:1]).astype(numpy.float64) / 1e9
        if len(stamps) < 2:
            return None
        median = float(numpy.median(numpy.diff(stamps)))
        return 1e9 / median if median > 0 else None

    def to_dask(self):
        """The movie as a dask.array, one chunk a frame. The graph holds the server's address,
        the token only when one was given (else each worker reads ZELVEM_TOKEN), the name and
        the tag: every worker reads this very movie, or fails."""
        from ._dask import remote_array

        return remote_array(self._client, self._name, self.etag, self.shape)

    def close(self):
        self._closed = True


class RemoteDrive(Drive):
    """zelvem.Drive(url=..., token=...): the drive a `vem serve` serves. Lists, describes and
    opens movies as the local Drive does; removal, watches and copies are the local Drive's
    (or the server's HTTP API's) business."""

    def __init__(self, emulator=None, url=None, token=None, timeout=60):
        if emulator is not None:
            raise ValueError("emulator= chooses the local library's mode; a served drive "
                             "is whatever its server serves")
        self._client = Client(url, token, timeout)

    def __repr__(self):
        return f"<zelvem.Drive {self._client.url}>"

    @property
    def url(self):
        return self._client.url

    @property
    def present(self):
        return bool(self._client.json("api", "v1", "status", what="status")["drivePresent"])

    @property
    def emulator(self):
        return self._client.json("api", "v1", "status", what="status")["mode"] == "emulator"

    @property
    def emulator_folder(self):
        raise OSError("a served drive's emulator folder is on the server's machine")

    def list(self, filter=""):
        import fnmatch

        entries = [entry_from_json(m) for m in self._client.json("api", "v1", "movies",
                                                                  what="the movie list")]
        if filter:
            entries = [e for e in entries if fnmatch.fnmatchcase(e.name, filter)]
        return entries

    def info(self, path):
        name = _name(path)
        return entry_from_json(self._client.json("api", "v1", "movies", name, what=name))

    def open(self, path):
        return open_movie(self._client, path)

    def remove(self, path):
        raise PermissionError("zelvem.Drive(url=...) does not remove movies: use the server's "
                              "DELETE /files/NAME (`vem serve --allow-delete`)")

    def watch(self, callback):
        raise OSError("zelvem.Drive(url=...) has no watch: read the server's /api/v1/events")

    def get(self, *args, **kwargs):
        raise OSError("zelvem.Drive(url=...) has no get: run `vem get` on the server's machine")
