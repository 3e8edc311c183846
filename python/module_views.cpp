// The computed views for Python: frame times as arrays, the OME-TIFF as a file, the Zarr texts.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "module_support.h"
#include "movies/frame_times.h"
#include "movies/ome_tiff.h"
#include "movies/zarr_view.h"

namespace zelvem_py {

namespace {

// The movie's times as the process keeps them, fetched without the GIL on first use.
std::shared_ptr<const vem::FrameTimes> timesOf(const vem::MovieDescription& movie) {
    vem::MovieCatalog& movies = catalog();
    return unlocked([&] { return frameTimesCache().get(movies, movie); });
}

// One of the movie's time forms, asked by name: "stamps" (int64 nanoseconds since 1970 UTC),
// "elapsed" (float64 seconds since frame 0) or "rate" (frames per second or None). Returned as
// (value, None) when the times are known, (None, why) when they are not. Each form is made
// apart, so that asking one of a long movie allocates only that one.
py::tuple timesIn(const vem::FrameTimes& times, const std::string& form) {
    if (!times.known()) {
        return py::make_tuple(py::none(), times.failure);
    }
    const std::vector<int64_t>& t = times.nanoseconds;
    const auto count = static_cast<py::ssize_t>(t.size());
    if (form == "stamps") {
        py::array_t<int64_t> stamps(count);
        if (count > 0) {
            std::memcpy(stamps.mutable_data(), t.data(), t.size() * sizeof(int64_t));
        }
        return py::make_tuple(stamps, py::none());
    }
    if (form == "elapsed") {
        py::array_t<double> elapsed(count);
        double* seconds = elapsed.mutable_data();
        for (size_t i = 0; i < t.size(); ++i) {
            // Exact, so that stamps centuries apart do not wrap (in 128 bits only then: it is
            // a library call per stamp); one rounding to the nearest double after that.
            int64_t difference = 0;
            seconds[i] = __builtin_sub_overflow(t[i], t[0], &difference)
                             ? static_cast<double>(static_cast<__int128>(t[i]) - t[0]) / 1e9
                             : static_cast<double>(difference) / 1e9;
        }
        return py::make_tuple(elapsed, py::none());
    }
    if (form == "rate") {
        std::optional<double> rate = vem::frameRate(t);
        return py::make_tuple(rate ? py::object(py::float_(*rate)) : py::none(), py::none());
    }
    raise(PyExc_ValueError, "no time form " + form);
}

// A movie's OME-TIFF opened for reading: its bytes computed from the view, its pixel data read
// from the movie's reader. The times are taken once, at the open, so that every read of one
// open file agrees with the others.
class OmeTiffFile {
  public:
    explicit OmeTiffFile(const std::string& entryName)
        : reader_(entryName),
          times_(timesOf(reader_.movie())),
          view_(vem::OmeTiffMovie::of(reader_.movie()), timesVector(times_)),
          path("/" + reader_.movie().entryName + ".ome.tif") {}

    uint64_t size() const { return view_.size(); }
    std::string timesFailure() const { return times_->failure; }
    void close() { reader_.close(); }
    bool closed() { return reader_.closed(); }

    uint64_t readInto(uint64_t offset, py::buffer out) {
        py::buffer_info target = out.request(true);
        if (!writableContiguous(target)) {
            raise(PyExc_ValueError, "the output buffer is not writable and contiguous");
        }
        uint64_t want = static_cast<uint64_t>(target.itemsize * target.size);
        uint64_t count = offset >= size() ? 0 : std::min(want, size() - offset);
        readRange(offset, static_cast<uint8_t*>(target.ptr), count);
        return count;
    }

    py::bytes readBytes(uint64_t offset, uint64_t end) {
        end = std::min(end, size());
        uint64_t count = offset >= end ? 0 : end - offset;
        return filledBytes(count, [&](uint8_t* data) { readRange(offset, data, count); });
    }

  private:
    static std::shared_ptr<const std::vector<int64_t>> timesVector(
        const std::shared_ptr<const vem::FrameTimes>& times) {
        if (!times->known()) {
            return nullptr;
        }
        // Shares the kept times: a view of a long movie copies none of its stamps.
        return std::shared_ptr<const std::vector<int64_t>>(times, &times->nanoseconds);
    }

    // The metadata in one piece, then a frame at a time.
    void readRange(uint64_t offset, uint8_t* out, uint64_t count) {
        const uint64_t pixels = view_.pixelOffset();
        const uint64_t frameBytes = view_.frameBytes();
        readPieces(
            offset, out, count,
            [&](uint64_t at) {
                return at < pixels ? pixels
                                   : pixels + ((at - pixels) / frameBytes + 1) * frameBytes;
            },
            [&](uint64_t at, uint8_t* into, size_t n) {
                reader_.with([&](vem::MovieReader& reader) {
                    const vem::FrameByteReader frames = [&](uint64_t frame, uint64_t within,
                                                            void* to, size_t bytes) {
                        if (reader.read(frame * frameBytes + within, to, bytes) != bytes) {
                            throw vem::MovieError(vem::MovieFailure::Refused,
                                                  path +
                                                      ": the drive gave too few bytes of frame " +
                                                      std::to_string(frame));
                        }
                    };
                    return view_.read(at, into, n, frames);
                });
            });
    }

    LockedReader reader_;
    const std::shared_ptr<const vem::FrameTimes> times_;
    const vem::OmeTiffView view_;

  public:
    const std::string path;
};

// The Zarr texts of a movie, made once for each state of the movie and its times (a lookup of
// .zattrs and then of .zmetadata would otherwise write a long movie's times twice).
std::shared_ptr<const vem::ZarrView> zarrViewOf(const vem::MovieDescription& movie) {
    std::shared_ptr<const vem::FrameTimes> times = timesOf(movie);
    struct Made {
        vem::MovieDescription movie;
        std::shared_ptr<const vem::FrameTimes> times;
        std::shared_ptr<const vem::ZarrView> view;
    };
    // Guards `made`, the few views made last, newest first. Taken with the GIL held and
    // nothing else waited for inside.
    static std::mutex lock;
    static std::list<Made> made;
    constexpr size_t kKept = 8;
    const auto same = [&](const Made& m) {
        const vem::MovieDescription& d = m.movie;
        return m.times == times && d.entryName == movie.entryName && d.index == movie.index &&
               d.identity() == movie.identity() && d.width == movie.width &&
               d.height == movie.height && d.frameCount == movie.frameCount &&
               d.startTime == movie.startTime && d.endTime == movie.endTime &&
               d.durationMicroseconds == movie.durationMicroseconds;
    };
    {
        std::lock_guard<std::mutex> guard(lock);
        for (auto it = made.begin(); it != made.end(); ++it) {
            if (same(*it)) {
                made.splice(made.begin(), made, it);
                return made.front().view;
            }
        }
    }
    auto view = std::make_shared<const vem::ZarrView>(movie, times.get());
    std::lock_guard<std::mutex> guard(lock);
    made.push_front(Made{movie, times, view});
    if (made.size() > kKept) {
        made.pop_back();
    }
    return view;
}

// A movie whose frames can be read has a Zarr view; FileNotFoundError otherwise.
vem::MovieDescription zarrMovie(const std::string& entryName) {
    vem::MovieDescription movie = findMovie(entryName);
    if (!movie.framesReadable()) {
        raise(PyExc_FileNotFoundError,
              "vem:///" + movie.entryName + " has no Zarr view: its frames cannot be read");
    }
    return movie;
}

}  // namespace

void defineViews(py::module_& m) {
    m.def("frame_times", [](const std::string& text, const std::string& form) {
        return timesIn(*timesOf(findMovie(text)), form);
    });

    // The Zarr view: the text of a metadata key; None for a key that is no metadata.
    m.def("zarr_metadata", [](const std::string& entryName, const std::string& key) -> py::object {
        std::shared_ptr<const vem::ZarrView> view = zarrViewOf(zarrMovie(entryName));
        const std::string* text = view->metadata(key);
        return text ? py::object(py::bytes(*text)) : py::object(py::none());
    });
    // The frame chunk `key` holds, or None when it is no chunk of the movie.
    m.def("zarr_chunk_frame",
          [](const std::string& entryName, const std::string& key) -> py::object {
              vem::MovieDescription movie = zarrMovie(entryName);
              vem::ZarrView view(movie, nullptr);
              std::optional<uint64_t> frame = view.chunkFrame(key);
              return frame ? py::object(py::int_(*frame)) : py::object(py::none());
          });
    // [(key, size), ...]: the metadata keys, then every chunk's.
    m.def("zarr_keys", [](const std::string& entryName) {
        vem::MovieDescription movie = zarrMovie(entryName);
        std::shared_ptr<const vem::ZarrView> view = zarrViewOf(movie);
        py::list keys;
        for (const char* key : {".zarray", ".zattrs", ".zmetadata"}) {
            keys.append(py::make_tuple(key, view->metadata(key)->size()));
        }
        for (uint64_t frame = 0; frame < view->frameCount(); ++frame) {
            keys.append(py::make_tuple(vem::ZarrView::chunkKey(frame), view->chunkBytes()));
        }
        return keys;
    });

    py::class_<OmeTiffFile>(m, "OmeTiffFile")
        .def(py::init<const std::string&>())
        .def_readonly("path", &OmeTiffFile::path)
        .def_property_readonly("size", &OmeTiffFile::size)
        .def_property_readonly("times_failure", &OmeTiffFile::timesFailure)
        .def_property_readonly("closed", &OmeTiffFile::closed)
        .def("read_into", &OmeTiffFile::readInto)
        .def("read_bytes", &OmeTiffFile::readBytes)
        .def("close", &OmeTiffFile::close);
}

}  // namespace zelvem_py
