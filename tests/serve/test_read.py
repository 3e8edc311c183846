# Reading over HTTP: files, byte ranges, validators and the JSON API against `vem cat` and
# vemsim's pixel formula.
import email.utils
import http.client
import json
import urllib.parse

import numpy
import pytest

from conftest import BASE_TIME, SHAPES, TOKEN
from sim_drive import png_pixels, synthetic


def test_files_are_vem_cat_bytes(sim, served):
    base, s, _ = served
    for number, name in enumerate(SHAPES, start=1):
        body = s.get(base + "files/" + name)
        assert body.status_code == 200
        assert body.content == sim.cat(name), name
        assert s.get(base + "files/" + name + ":info").content == sim.cat(name + ":info")
        head = s.head(base + "files/" + name)
        assert head.status_code == 200 and head.content == b""
        width, height, frames = SHAPES[name]
        assert int(head.headers["Content-Length"]) == width * height * frames * 2
        assert head.headers["Accept-Ranges"] == "bytes"
        assert head.headers["ETag"] == body.headers["ETag"]
        assert (email.utils.parsedate_to_datetime(head.headers["Last-Modified"]).timestamp()
                == BASE_TIME + 3600 * number)
        assert "Access-Control-Allow-Origin" not in head.headers

    index = s.get(base + "files/")
    assert index.headers["Content-Type"].startswith("text/html")
    assert [h for h in index.text.split('"') if h in SHAPES] == list(SHAPES)
    assert ":info" not in index.text


def multipart(reply):
    """The parts of a multipart/byteranges body: [(Content-Range, bytes)]."""
    boundary = reply.headers["Content-Type"].split("boundary=")[1].encode()
    parts = []
    for chunk in reply.content.split(b"--" + boundary)[1:-1]:
        head, body = chunk.split(b"\r\n\r\n", 1)
        ranges = [l for l in head.split(b"\r\n") if l.lower().startswith(b"content-range:")]
        parts.append((ranges[0].split(b":", 1)[1].strip().decode(), body[:-2]))
    return parts


def test_ranges(sim, served):
    base, s, _ = served
    whole = sim.cat("1-odd")
    size = len(whole)
    tag = s.head(base + "files/1-odd").headers["ETag"]
    cases = [  # Range, extra headers, status, [(first, last)] (None: the whole movie)
        ("bytes=0-0", {}, 206, [(0, 0)]),
        ("bytes=1701-1703", {}, 206, [(1701, 1703)]),
        ("bytes=%d-" % (size - 5), {}, 206, [(size - 5, size - 1)]),
        ("bytes=-7", {}, 206, [(size - 7, size - 1)]),
        ("bytes=-%d" % (size + 50), {}, 206, [(0, size - 1)]),
        ("bytes=100-%d" % (size + 100), {}, 206, [(100, size - 1)]),
        ("bytes=%d-" % size, {}, 416, []),
        ("bytes=-0", {}, 416, []),
        ("bytes=99999999999999999999999-", {}, 416, []),
        ("bytes=5-3", {}, 200, None),
        ("items=0-1", {}, 200, None),
        ("bytes=0-5,3-9", {}, 200, None),
        ("bytes=abc", {}, 200, None),
        ("bytes=10-20, %d-%d,-3" % (size - 100, size - 50), {}, 206,
         [(10, 20), (size - 100, size - 50), (size - 3, size - 1)]),
        ("bytes=500-600,10-20", {}, 206, [(500, 600), (10, 20)]),
        ("bytes=10-20,%d-" % (size + 5), {}, 206, [(10, 20)]),
        ("bytes=10-20", {"If-Range": tag}, 206, [(10, 20)]),
        ("bytes=10-20", {"If-Range": '"1-0-0-0"'}, 200, None),
        ("bytes=10-20", {"If-Range": "Wed, 14 Feb 2024 10:30:00 GMT"}, 200, None),
        ("bytes=10-20", {"If-Match": tag}, 206, [(10, 20)]),
        ("bytes=10-20", {"If-Match": '"1-0-0-0"'}, 412, []),
        ("bytes=10-20", {"If-None-Match": tag}, 304, []),
        ("bytes=10-20", {"If-None-Match": "*"}, 304, []),
    ]
    for header, extra, status, expected in cases:
        reply = s.get(base + "files/1-odd", headers={"Range": header, **extra})
        assert reply.status_code == status, (header, extra)
        if status == 416:
            assert reply.headers["Content-Range"] == "bytes */%d" % size
        elif expected is None:
            assert reply.content == whole, header
        elif len(expected) == 1:
            first, last = expected[0]
            assert reply.headers["Content-Range"] == "bytes %d-%d/%d" % (first, last, size)
            assert reply.content == whole[first:last + 1], header
            assert int(reply.headers["Content-Length"]) == last - first + 1
        elif expected:
            assert reply.headers["Content-Type"].startswith("multipart/byteranges")
            assert int(reply.headers["Content-Length"]) == len(reply.content)
            assert multipart(reply) == [("bytes %d-%d/%d" % (a, b, size), whole[a:b + 1])
                                        for a, b in expected], header
    # HEAD answers as GET would, without the bytes.
    head = s.head(base + "files/1-odd", headers={"Range": "bytes=3-9"})
    assert (head.status_code, head.headers["Content-Length"], head.content) == (206, "7", b"")
    info = sim.cat("1-odd:info")
    part = s.get(base + "files/1-odd:info", headers={"Range": "bytes=-9"})
    assert (part.status_code, part.content) == (206, info[-9:])


def test_api(sim, served):
    base, s, _ = served
    listing = json.loads(sim.vem("ls", "--json").stdout)
    assert s.get(base + "api/v1/movies").json() == listing
    for name in SHAPES:
        info = json.loads(sim.vem("info", name, "--json").stdout)
        assert s.get(base + "api/v1/movies/" + name).json() == info
    status = s.get(base + "api/v1/status").json()
    assert (status["mode"], status["drivePresent"], status["movies"]) == ("drive", True, 3)

    width, height, _ = SHAPES["3-wide"]
    frame = synthetic(3, 4, width, height)
    url = base + "api/v1/movies/3-wide/frames/4"
    raw = s.get(url + "?format=raw")
    assert numpy.array_equal(numpy.frombuffer(raw.content, "<u2").reshape(height, width), frame)
    assert numpy.array_equal(png_pixels(s.get(url + "?format=png").content), frame)

    def stretched(lo, hi):
        scaled = numpy.clip((frame.astype(numpy.float64) - lo) / (hi - lo), 0, 1) * 255
        return numpy.floor(scaled + 0.5).astype(numpy.uint16)

    ordered = numpy.sort(frame, axis=None)
    rank = lambda p: ordered[int(numpy.floor(p / 100 * (ordered.size - 1)))]
    for query, lo, hi in [("lo=1000&hi=50000", 1000, 50000),
                          ("", rank(0.1), rank(99.9)),
                          ("auto=5,95", rank(5), rank(95))]:
        reply = s.get(url + "?format=png8&" + query)
        assert reply.status_code == 200, query
        assert numpy.array_equal(png_pixels(reply.content), stretched(lo, hi)), query

    for path, status in [("api/v1/movies/3-wide/frames/6", 404),
                         ("api/v1/movies/3-wide/frames/-1", 400),
                         ("api/v1/movies/3-wide/frames/1?format=gif", 400),
                         ("api/v1/movies/3-wide/frames/1?format=png8&lo=5", 400),
                         ("api/v1/movies/3-wide/frames/1?format=png8&auto=50,10", 400),
                         ("api/v1/movies/9-none", 404),
                         ("api/v1/nothing", 404)]:
        reply = s.get(base + path)
        assert reply.status_code == status, path
        assert reply.headers["Content-Type"] == "application/json"
        assert "error" in reply.json()


def raw_request(base, method, target, headers=None):
    """One request as given (http.client normalises nothing), on its own connection."""
    parts = urllib.parse.urlsplit(base)
    connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)
    connection.putrequest(method, target, skip_accept_encoding=True)
    connection.putheader("Authorization", "Bearer " + TOKEN)
    for name, value in (headers or {}).items():
        connection.putheader(name, value)
    connection.endheaders()
    reply = connection.getresponse()
    body = reply.read()
    connection.close()
    return reply.status, body


@pytest.mark.parametrize("target", [
    "/files/..", "/files/%2e%2e", "/files/.", "/files/a%2Fb", "/files/1-odd%2F",
    "/files/..%5C1-odd", "/files/1-odd%00", "/files/%0a1-odd", "/files/1-od%7f", "/files/%zz",
    "/files/%", "/files/../api/v1/status", "/files/1-odd/x", "/files/%252e%252e",
    "/api/v1/movies/..%2F1-odd", "/api/v1/movies/%00/frames/0", "/files/1-ODD",
])
def test_hostile_names(served, target):
    base, _, _ = served
    status, body = raw_request(base, "GET", target)
    assert status in (400, 404), target
    assert set(json.loads(body)) == {"error"}


def test_methods(served):
    base, _, _ = served
    for method, target, status in [("POST", "/files/1-odd", 405),
                                   ("PUT", "/api/v1/status", 405),
                                   ("DELETE", "/files/1-odd", 403),
                                   ("DELETE", "/api/v1/movies/1-odd", 405)]:
        assert raw_request(base, method, target)[0] == status, (method, target)


def test_a_failed_first_read_is_an_error_status(sim, served):
    """The first chunk is read before the status line: a movie that cannot be read is answered
    with an error, not with a 200 or 206 whose body breaks off."""
    base, s, _ = served
    width, height, _ = SHAPES["2-small"]
    frame = width * height * 2
    sim.ctl("fault", "error", "ord=6", "count=1000")  # every LoadFrame refused
    try:
        for target, headers in [("files/2-small", {}),
                                ("files/2-small", {"Range": "bytes=%d-%d" % (frame, 2 * frame)}),
                                ("files/2-small", {"Range": "bytes=0-9,%d-" % frame}),
                                ("api/v1/movies/2-small/frames/3?format=raw", {})]:
            reply = s.get(base + target, headers=headers)
            assert reply.status_code == 502, (target, headers, reply.status_code)
            assert set(reply.json()) == {"error"}
    finally:
        sim.ctl("clear")
    reply = s.get(base + "files/2-small", headers={"Range": "bytes=%d-%d" % (frame, 2 * frame)})
    assert reply.status_code == 206
    assert reply.content == synthetic(2, 1, width, height).tobytes() + sim.cat("2-small")[
        2 * frame:2 * frame + 1]
