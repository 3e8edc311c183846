# The computed views over HTTP: NAME.ome.tif, NAME.zarr/ and the export API, read by tifffile,
# zarr and fsspec's HTTP file system, against vemsim's pixel formula and `vem export`.
import email.utils
import json
import re

import fsspec
import numpy
import pytest
import tifffile
import zarr

from conftest import BASE_TIME, SHAPES, TOKEN
from sim_drive import VEM, run, synthetic, wait_for
from test_read import multipart, raw_request

AUTH = {"Authorization": "Bearer " + TOKEN}
# vemsim stamps frame f at the recording time plus f x 83330 ticks of 100 ns (docs/vemsim.md).
FRAME_SECONDS = 0.008333


def frames_of(name, frames=None):
    number = list(SHAPES).index(name) + 1
    width, height, count = SHAPES[name]
    chosen = range(count) if frames is None else frames
    return numpy.stack([synthetic(number, f, width, height) for f in chosen])


def delta_t(tiff):
    return [float(t) for t in re.findall(r'DeltaT="([^"]+)"', tiff.ome_metadata)]


@pytest.fixture(scope="module")
def http(served):
    base, _, _ = served
    return fsspec.filesystem("http", headers=AUTH, skip_instance_cache=True), base + "files/"


def test_ome_tiff_is_the_frames_with_their_times(served, http):
    base, s, _ = served
    fs, files = http
    for number, name in enumerate(SHAPES, start=1):
        url = files + name + ".ome.tif"
        head = s.head(url)
        assert head.status_code == 200, name
        assert head.headers["Content-Type"] == "image/tiff"
        assert head.headers["ETag"] not in (s.head(files + name).headers["ETag"], "")
        assert (email.utils.parsedate_to_datetime(head.headers["Last-Modified"]).timestamp()
                == BASE_TIME + 3600 * number)
        # tifffile reads through fsspec's HTTP file: ranges of the view, never the whole file.
        with fs.open(url, block_size=1 << 16) as f, tifffile.TiffFile(f) as tiff:
            assert f.size == int(head.headers["Content-Length"])
            numpy.testing.assert_array_equal(tiff.series[0].asarray(), frames_of(name))
            assert delta_t(tiff) == pytest.approx(
                [FRAME_SECONDS * i for i in range(SHAPES[name][2])], abs=1e-9)
    listing = s.get(files).text
    links = re.findall(r'href="([^"]+)"', listing)
    assert links == [n + view for n in SHAPES for view in ("", ".ome.tif", ".zarr/")]
    assert ":info" not in listing


def test_ome_tiff_ranges(served):
    base, s, _ = served
    url = base + "files/1-odd.ome.tif"
    whole = s.get(url).content
    size, tag = len(whole), s.head(url).headers["ETag"]
    movie_tag = s.head(base + "files/1-odd").headers["ETag"]
    assert whole[:4] == b"II*\x00"
    pixels = size - 37 * 23 * 9 * 2  # the frames come last
    cases = [  # Range, extra headers, status, [(first, last)] (None: the whole view)
        ("bytes=0-15", {}, 206, [(0, 15)]),
        ("bytes=%d-%d" % (pixels - 3, pixels + 1800), {}, 206, [(pixels - 3, pixels + 1800)]),
        ("bytes=-5", {}, 206, [(size - 5, size - 1)]),
        ("bytes=100-%d" % (size + 9), {}, 206, [(100, size - 1)]),
        ("bytes=%d-" % size, {}, 416, []),
        ("bytes=%d-%d" % (size + 10, size + 20), {}, 416, []),
        ("bytes=0-9,%d-%d" % (pixels, pixels + 99), {}, 206, [(0, 9), (pixels, pixels + 99)]),
        ("bytes=10-20", {"If-Range": tag}, 206, [(10, 20)]),
        ("bytes=10-20", {"If-Range": movie_tag}, 200, None),  # the movie's is not the view's
        ("bytes=10-20", {"If-Range": '"1-0-0-0-ome"'}, 200, None),
        ("bytes=10-20", {"If-Match": movie_tag}, 412, []),
        ("bytes=10-20", {"If-None-Match": tag}, 304, []),
    ]
    for header, extra, status, expected in cases:
        reply = s.get(url, headers={"Range": header, **extra})
        assert reply.status_code == status, (header, extra)
        if status == 416:
            assert reply.headers["Content-Range"] == "bytes */%d" % size
            assert "error" in reply.json()
        elif expected is None:
            assert reply.content == whole, (header, extra)
        elif len(expected) == 1:
            first, last = expected[0]
            assert reply.headers["Content-Range"] == "bytes %d-%d/%d" % (first, last, size)
            assert reply.content == whole[first:last + 1], header
        elif expected:
            assert multipart(reply) == [("bytes %d-%d/%d" % (a, b, size), whole[a:b + 1])
                                        for a, b in expected], header


def test_zarr_over_fsspec(served, http):
    _, s, _ = served
    fs, files = http
    for name, (width, height, count) in SHAPES.items():
        mapper = fsspec.get_mapper(files + name + ".zarr", headers=AUTH)
        array = zarr.open(mapper)
        assert (array.shape, array.chunks) == ((count, height, width), (1, height, width))
        numpy.testing.assert_array_equal(array[:], frames_of(name))
        assert array.attrs["frame_times"] == pytest.approx(
            [FRAME_SECONDS * i for i in range(count)], abs=1e-9)
    keys = fs.ls(files + "1-odd.zarr", detail=False)
    folder = files + "1-odd.zarr/"
    assert sorted(keys) == sorted([folder + k for k in (".zarray", ".zattrs", ".zmetadata")]
                                  + [folder + "%d.0.0" % i for i in range(9)])
    moved = s.get(files + "1-odd.zarr", allow_redirects=False)
    assert (moved.status_code, moved.headers["Location"]) == (301, "/files/1-odd.zarr/")
    chunk = s.get(folder + "8.0.0", headers={"Range": "bytes=-4"})
    assert chunk.status_code == 206
    assert chunk.content == frames_of("1-odd", [8]).tobytes()[-4:]


@pytest.mark.parametrize("frames", ["", "2:7:2", "-3:", "4", "1:9"])
def test_export_is_vem_export(sim, served, tmp_path, frames):
    base, s, _ = served
    out = tmp_path / "cli.ome.tif"
    run(VEM, "export", "2-small", "-q", "-o", str(out), *(["--frames", frames] if frames else []),
        env=sim.env)
    reply = s.get(base + "api/v1/movies/2-small/export", params={"frames": frames} if frames else {})
    assert reply.status_code == 200, reply.text
    assert reply.content == out.read_bytes()
    first, last, step = {"": (0, 11, 1), "2:7:2": (2, 6, 2), "-3:": (9, 11, 1), "4": (4, 4, 1),
                         "1:9": (1, 8, 1)}[frames]
    name = "2-small-frames-%d-%d%s.ome.tif" % (first, last, "-step-%d" % step if step > 1 else "")
    assert 'filename="%s"' % name in reply.headers["Content-Disposition"]
    expected = frames_of("2-small", range(first, last + 1, step))
    with tifffile.TiffFile(out) as tiff:  # one page reads as one frame, without the time axis
        numpy.testing.assert_array_equal(tiff.series[0].asarray().reshape(expected.shape),
                                         expected)


def test_bad_requests(served):
    base, _, _ = served
    for target, status in [
        ("/api/v1/movies/1-odd/export?frames=5:2", 400),
        ("/api/v1/movies/1-odd/export?frames=0:10", 400),
        ("/api/v1/movies/1-odd/export?frames=a:b", 400),
        ("/api/v1/movies/1-odd/export?frames=0:5:0", 400),
        ("/api/v1/movies/1-odd/export?frames=1:2:3:4", 400),
        ("/api/v1/movies/1-odd/export?frames=-10:", 400),
        ("/api/v1/movies/9-none/export?frames=0:1", 404),
        ("/api/v1/movies/..%2F1-odd/export", 400),
        ("/files/1-odd.zarr/9.0.0", 404),
        ("/files/1-odd.zarr/01.0.0", 404),
        ("/files/1-odd.zarr/.zgroup", 404),
        ("/files/1-odd.zarr/%2e%2e", 400),
        ("/files/1-odd.zarr/0.0.0/x", 404),
        ("/files/1-odd.ome.tif/x", 404),
        ("/files/1-odd.ome.tif:info", 404),
        ("/files/9-none.ome.tif", 404),
        ("/files/%2e%2e.zarr/.zarray", 404),
    ]:
        code, body = raw_request(base, "GET", target)
        assert code == status, target
        assert list(json.loads(body)) == ["error"], target
    for method, target in [("DELETE", "/files/1-odd.ome.tif"), ("PUT", "/files/1-odd.zarr/.zarray")]:
        assert raw_request(base, method, target)[0] == 405, (method, target)


def test_no_views(sim):
    import requests

    with sim.server("--no-views") as (base, _, _):
        assert "ome.tif" not in requests.get(base + "files/", headers=AUTH).text
        for view in ("1-odd.ome.tif", "1-odd.zarr/.zarray"):
            assert requests.get(base + "files/" + view, headers=AUTH).status_code == 404
        # The export is an API call, not a name beside the movie: it stays.
        assert requests.get(base + "api/v1/movies/1-odd/export?frames=0",
                            headers=AUTH).status_code == 200


def test_a_view_without_times_has_a_tag_of_its_own(sim, served):
    # Last in this file: the movie it adds would change the listings above.
    base, s, _ = served
    entry = sim.add(16, 8, 3, "untimed")["entry"]
    assert wait_for(lambda: s.head(base + "files/" + entry).status_code == 200, 10)
    url = base + "files/" + entry + ".ome.tif"
    sim.ctl("fault", "error", "ord=9", "count=1000")  # the info stream is refused
    try:
        untimed = s.get(url)
        attrs = s.get(base + "files/" + entry + ".zarr/.zattrs")
        assert untimed.status_code == 200 and "DeltaT" not in untimed.text
        assert attrs.json()["frame_times"] is None
    finally:
        sim.ctl("clear")
    # A refusal is not kept: asked again, the planes are timed and the tags say so.
    timed = s.get(url)
    assert len(timed.content) == len(untimed.content) and timed.content != untimed.content
    assert timed.headers["ETag"] != untimed.headers["ETag"]
    assert s.get(base + "files/" + entry + ".zarr/.zattrs").headers["ETag"] != attrs.headers["ETag"]
    stale = s.get(url, headers={"Range": "bytes=0-9", "If-Range": untimed.headers["ETag"]})
    assert (stale.status_code, stale.content) == (200, timed.content)
