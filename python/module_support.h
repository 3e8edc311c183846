// What the extension's files share: the process's catalog, errors raised as Python's, GIL rules.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "movies/frame_times_cache.h"
#include "movies/movie_catalog.h"
#include "movies/movie_path.h"
#include "vem/vem_interface.h"

namespace zelvem_py {

namespace py = pybind11;
namespace vem = zel::vem;

// Rule for everything in the extension: never wait for the library or for one of our own locks
// while holding the GIL. The library calls files-changed handlers with its cache lock held, and
// a Python handler needs the GIL; a Python thread holding the GIL while waiting for that cache
// lock (inside a listing, an open, a removal) would deadlock with it.

// The process's drive interface; the first call starts it, without the GIL.
vem::CVemInterface* drive();
// The process's catalog over it.
vem::MovieCatalog& catalog();
// The process's kept frame times: one fetch of a movie's info stream while it stays the same.
vem::FrameTimesCache& frameTimesCache();

[[noreturn]] void raise(PyObject* type, const std::string& message);
// How each failure of the movie layer reaches Python: everything but a missing drive or movie
// (refused, gone, unreadable, a removal that took another movie) is an OSError.
PyObject* exceptionFor(vem::MovieFailure failure);

// Runs `call` without the GIL; a MovieError it throws is raised as its Python exception, with
// the layer's message (which names the movie).
template <typename Call>
auto unlocked(Call&& call) -> decltype(call()) {
    std::optional<vem::MovieError> failed;
    {
        py::gil_scoped_release released;
        try {
            return call();
        } catch (const vem::MovieError& error) {
            failed.emplace(error);
        }
    }
    raise(exceptionFor(failed->failure()), failed->what());
}

// A place on the drive from the user's text, through the one path grammar every host uses.
vem::MoviePath parsePath(const std::string& text);
// The entry name of a movie's path. The root is a folder; an info stream is no movie, and
// `notMovie` says how that is raised (removing one is not permitted, finding one as a movie
// finds nothing).
std::string movieName(const std::string& text, PyObject* notMovie = PyExc_FileNotFoundError);

// The movie of `text` as the listing has it, now; FileNotFoundError (ConnectionError without a
// drive) when there is none.
vem::MovieDescription findMovie(const std::string& text);

// A movie's description for Python: numbers as numbers, and the size of its OME-TIFF view.
py::dict describe(const vem::MovieDescription& movie);

// Whether the buffer is one writable block, which frames are read straight into.
bool writableContiguous(const py::buffer_info& buffer);

// Between frames, with the GIL held: runs Python's signal handlers, so that Ctrl+C raises
// KeyboardInterrupt now rather than after a read of the whole movie.
void stopOnSignal();

// A movie's reader shared by Python threads: one of them reads at a time, without the GIL.
class LockedReader {
  public:
    explicit LockedReader(const std::string& entryName);
    ~LockedReader();

    const vem::MovieDescription& movie() const { return movie_; }
    void close();
    bool closed();

    // Runs `call` on the reader without the GIL; ValueError once closed.
    template <typename Call>
    auto with(Call&& call) -> decltype(call(std::declval<vem::MovieReader&>())) {
        bool wasClosed = false;
        auto result = unlocked([&]() -> decltype(call(*reader_)) {
            std::lock_guard<std::mutex> guard(lock_);
            if (!reader_) {
                wasClosed = true;
                return {};
            }
            return call(*reader_);
        });
        if (wasClosed) {
            raise(PyExc_ValueError, "I/O operation on a closed movie");
        }
        return result;
    }

  private:
    vem::MovieDescription movie_;
    // Guards reader_: its position and the frame it has loaded. Taken without the GIL; the
    // library's locks are taken after it, never before.
    std::mutex lock_;
    std::unique_ptr<vem::MovieReader> reader_;
};

// Reads `count` bytes from `offset` into `out` in pieces: `pieceEnd(at)` is where the piece
// holding byte `at` ends (a frame's end, so that Ctrl+C stops a long read between frames),
// `read(at, out, n)` reads n bytes of one piece (releasing the GIL itself while it waits).
template <typename PieceEnd, typename Read>
void readPieces(uint64_t offset, uint8_t* out, uint64_t count, PieceEnd&& pieceEnd, Read&& read) {
    uint64_t done = 0;
    while (done < count) {
        const uint64_t at = offset + done;
        const uint64_t piece = std::min(count - done, pieceEnd(at) - at);
        read(at, out + done, static_cast<size_t>(piece));
        done += piece;
        stopOnSignal();
    }
}

// A new bytes object of `count` bytes, filled by `fill(data)` before anyone else sees it: a
// whole movie is held once, not once more for a copy.
template <typename Fill>
py::bytes filledBytes(uint64_t count, Fill&& fill) {
    if (count > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
        raise(PyExc_OverflowError, "the range is too large for one bytes object");
    }
    auto result = py::reinterpret_steal<py::bytes>(
        PyBytes_FromStringAndSize(nullptr, static_cast<py::ssize_t>(count)));
    if (!result) {
        throw py::error_already_set();
    }
    fill(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(result.ptr())));
    return result;
}

// The views' part of the module (module_views.cpp).
void defineViews(py::module_& m);
// Drive.get's part (module_get.cpp).
void defineGet(py::module_& m);

}  // namespace zelvem_py
