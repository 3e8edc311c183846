// _zelvem: the pybind11 layer between Python and the movie catalog (entries, frames, watches).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "movies/movie_catalog.h"
#include "movies/movie_path.h"
#include "vem/exports.h"
#include "vem/vem_interface.h"

namespace py = pybind11;
using namespace zel;

namespace {

// Rule for everything below: never wait for the library or for one of our own locks while
// holding the GIL. The library calls files-changed handlers with its cache lock held, and a
// Python handler needs the GIL; a Python thread holding the GIL while waiting for that cache
// lock (inside a listing, an open, a removal) would deadlock with it.

vem::CVemInterface* drive() {
    vem::CVemInterface* vem = nullptr;
    {
        py::gil_scoped_release unlocked;
        vem = vem::instance();
    }
    return vem;
}

// The process's catalog, over the drive interface (which the first call starts, without the GIL).
vem::MovieCatalog& catalog() {
    vem::CVemInterface* vem = drive();
    // Initialised with the GIL held, which orders racing first calls; it only keeps `vem`.
    static vem::MovieCatalog movies(*vem);
    return movies;
}

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// How each failure of the movie layer reaches Python: everything but a missing drive or movie
// (refused, gone, unreadable, a removal that took another movie) is an OSError.
PyObject* exceptionFor(vem::MovieFailure failure) {
    switch (failure) {
        case vem::MovieFailure::NoDrive:
            return PyExc_ConnectionError;
        case vem::MovieFailure::NotFound:
            return PyExc_FileNotFoundError;
        default:
            return PyExc_OSError;
    }
}

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
vem::MoviePath parsePath(const std::string& text) {
    vem::MoviePath path;
    std::string error;
    if (!vem::parseMoviePath(text, path, error)) {
        raise(PyExc_ValueError, error);
    }
    return path;
}

// The entry name of a movie's path. The root is a folder; an info stream is no movie, and
// `notMovie` says how that is raised (removing one is not permitted, finding one as a movie
// finds nothing).
std::string movieName(const std::string& text, PyObject* notMovie = PyExc_FileNotFoundError) {
    vem::MoviePath path = parsePath(text);
    if (path.isRoot()) {
        raise(PyExc_IsADirectoryError, path.display() + " is the drive's root, not a movie");
    }
    if (path.info) {
        raise(notMovie, path.display() + " is a movie's information stream, not a movie");
    }
    return path.name;
}

py::dict describe(const vem::MovieDescription& movie) {
    py::dict properties;
    properties["width"] = std::to_string(movie.width);
    properties["height"] = std::to_string(movie.height);
    properties["numFrames"] = std::to_string(movie.frameCount);
    properties["index"] = std::to_string(movie.index);
    properties["startTime"] = movie.startTime;
    properties["endTime"] = movie.endTime;
    properties["duration"] = std::to_string(movie.durationMicroseconds);
    py::dict result;
    result["name"] = movie.entryName;
    result["index"] = movie.index;
    result["width"] = movie.width;
    result["height"] = movie.height;
    result["frames"] = movie.frameCount;
    result["size"] = movie.size;
    result["time"] = movie.recordingTime;
    result["start_time"] = movie.startTime;
    result["end_time"] = movie.endTime;
    result["duration"] = movie.durationMicroseconds;
    result["properties"] = properties;
    return result;
}

// Frames are read straight into the caller's memory: it must be one writable block.
bool writableContiguous(const py::buffer_info& buffer) {
    py::ssize_t expected = buffer.itemsize;
    for (py::ssize_t i = buffer.ndim - 1; i >= 0; --i) {
        if (buffer.shape[i] > 1 && buffer.strides[i] != expected) {
            return false;
        }
        expected *= buffer.shape[i];
    }
    return !buffer.readonly;
}

// Between frames, with the GIL held: runs Python's signal handlers, so that Ctrl+C raises
// KeyboardInterrupt now rather than after a read of the whole movie.
void stopOnSignal() {
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

// A movie opened for reading: its description, and frames or bytes read into caller-owned
// memory. Every MovieFile has a reader of its own; the library shares the service's file.
class MovieFile {
  public:
    explicit MovieFile(const std::string& text) {
        std::string name = movieName(text);
        vem::MovieCatalog& movies = catalog();
        reader_ = unlocked([&] { return std::make_unique<vem::MovieReader>(movies.open(name)); });
        movie = reader_->description();
        path = "/" + movie.entryName;
    }

    ~MovieFile() {
        // Dropping the reader may close the service's file: a request, so without the GIL.
        py::gil_scoped_release released;
        std::lock_guard<std::mutex> guard(lock_);
        reader_.reset();
    }

    void close() {
        py::gil_scoped_release released;
        std::lock_guard<std::mutex> guard(lock_);
        reader_.reset();
    }

    bool closed() {
        py::gil_scoped_release released;
        std::lock_guard<std::mutex> guard(lock_);
        return !reader_;
    }

    // Reads frames[i] into out[i] for each i; out holds frames.size() frames of this movie.
    void readFrames(py::array_t<int64_t, py::array::c_style> indices, py::buffer out) {
        py::buffer_info target = out.request(true);
        auto wanted = indices.unchecked<1>();
        if (!writableContiguous(target) ||
            static_cast<uint64_t>(target.itemsize * target.size) !=
                movie.frameBytes * static_cast<uint64_t>(wanted.shape(0))) {
            raise(PyExc_ValueError, "the output buffer does not hold exactly the frames asked for");
        }
        for (py::ssize_t i = 0; i < wanted.shape(0); ++i) {
            if (wanted(i) < 0 || static_cast<uint64_t>(wanted(i)) >= movie.frameCount) {
                raise(PyExc_IndexError, "frame " + std::to_string(wanted(i)) + " out of range");
            }
        }
        auto* base = static_cast<uint8_t*>(target.ptr);
        for (py::ssize_t i = 0; i < wanted.shape(0); ++i) {
            uint64_t frame = static_cast<uint64_t>(wanted(i));
            withReader([&](vem::MovieReader& reader) {
                reader.readFrame(frame, base + i * movie.frameBytes);
                return 0;
            });
            stopOnSignal();
        }
    }

    // Reads up to the buffer's length from `offset`; short only at the end of the movie.
    uint64_t readInto(uint64_t offset, py::buffer out) {
        py::buffer_info target = out.request(true);
        if (!writableContiguous(target)) {
            raise(PyExc_ValueError, "the output buffer is not writable and contiguous");
        }
        uint64_t want = static_cast<uint64_t>(target.itemsize * target.size);
        uint64_t count = offset >= movie.size ? 0 : std::min(want, movie.size - offset);
        readRange(offset, static_cast<uint8_t*>(target.ptr), count);
        return count;
    }

    // The bytes from `offset` to `end` (clipped to the movie), read straight into the bytes
    // object that is returned: a whole movie is held once, not once more for a copy.
    py::bytes readBytes(uint64_t offset, uint64_t end) {
        end = std::min(end, movie.size);
        uint64_t count = offset >= end ? 0 : end - offset;
        if (count > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
            raise(PyExc_OverflowError, "the range is too large for one bytes object");
        }
        auto result = py::reinterpret_steal<py::bytes>(
            PyBytes_FromStringAndSize(nullptr, static_cast<py::ssize_t>(count)));
        if (!result) {
            throw py::error_already_set();
        }
        // Nobody else sees the new object until it is returned, so it may still be filled.
        readRange(offset, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(result.ptr())), count);
        return result;
    }

    vem::MovieDescription movie;
    std::string path;

  private:
    // Reads `count` bytes from `offset` (inside the movie) into `out`, a frame at a time so that
    // Ctrl+C stops a long read between frames.
    void readRange(uint64_t offset, uint8_t* out, uint64_t count) {
        uint64_t done = 0;
        while (done < count) {
            uint64_t at = offset + done;
            uint64_t piece = std::min(count - done, movie.frameBytes - at % movie.frameBytes);
            size_t got = withReader([&](vem::MovieReader& reader) {
                return reader.read(at, out + done, static_cast<size_t>(piece));
            });
            if (got != piece) {
                // A short read inside the movie is a refused frame, never an end of file.
                raise(PyExc_OSError, path + ": the drive gave too few bytes of frame " +
                                         std::to_string((at + got) / movie.frameBytes));
            }
            done += piece;
            stopOnSignal();
        }
    }

    // Runs `call` on the reader without the GIL, one thread at a time: a reader serves one
    // thread at a time, and a Movie may be shared by threads.
    template <typename Call>
    auto withReader(Call&& call) -> decltype(call(std::declval<vem::MovieReader&>())) {
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

    // Guards reader_: its position and the frame it has loaded. Taken without the GIL; the
    // library's locks are taken after it, never before.
    std::mutex lock_;
    std::unique_ptr<vem::MovieReader> reader_;
};

// Set at interpreter exit: the library's thread must not enter Python any more.
std::atomic<bool> finalizing{false};

struct WatchBlock {
    py::object callback;
};

void onFilesChanged(void* context) {
    if (finalizing.load()) {
        return;
    }
    py::gil_scoped_acquire gil;
    // Our own reference: the watch may be closed, and its block freed, by the callback itself.
    py::object callback = static_cast<WatchBlock*>(context)->callback;
    try {
        callback();
    } catch (py::error_already_set& error) {
        // Reported on stderr through sys.unraisablehook; later notifications still run.
        error.discard_as_unraisable(callback);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zelvem: a watch callback failed: %s\n", error.what());
    }
}

// A registered files-changed callback; close() unregisters it.
class Watch {
  public:
    explicit Watch(py::object callback) : block(new WatchBlock{std::move(callback)}) {
        drive();
        py::gil_scoped_release unlocked;
        handle = zelvem_AddFilesChangedHandler(&onFilesChanged, block);
    }
    ~Watch() { close(); }

    void close() {
        // Taken while the GIL is held, so that a second close() on another thread finds nothing.
        WatchBlock* taken = block;
        block = nullptr;
        if (taken == nullptr) {
            return;
        }
        {
            py::gil_scoped_release unlocked;
            // Returns only once no handler call is running on another thread (the library runs
            // them under the lock this takes), so the block is unused afterwards.
            zelvem_RemoveFilesChangedHandler(handle);
        }
        delete taken;
    }

    bool closed() const { return block == nullptr; }

  private:
    WatchBlock* block;
    zelDelegate handle{};
};

// The C++ baseline of the read benchmark: `count` frames from `first` through the drive
// interface's own file into one reused buffer, as a suite host reads. Returns the seconds spent.
double cppReadFrames(const std::string& text, uint64_t first, uint64_t count) {
    std::string name = movieName(text);
    vem::MovieCatalog& movies = catalog();
    vem::CVemInterface* vem = drive();
    py::gil_scoped_release released;
    auto started = std::chrono::steady_clock::now();
    std::optional<vem::MovieDescription> movie = movies.find(name);
    TSharedPtr<IFile> file =
        vem->OpenFile(CStringW(("/" + name).c_str()), kOpenRead | kOpenShareRead);
    if (!movie || !file || !movie->framesReadable()) {
        return -1;
    }
    uint32_t frameBytes = static_cast<uint32_t>(movie->frameBytes);
    std::vector<uint8_t> frame(frameBytes);
    for (uint64_t i = 0; i < count; ++i) {
        file->Seek(static_cast<int64_t>((first + i) * frameBytes), kSeekBegin);
        if (file->Read(frame.data(), frameBytes) != frameBytes) {
            return -1;
        }
    }
    file.reset();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

}  // namespace

PYBIND11_MODULE(_zelvem, m) {
    m.doc() = "The drive library's interface for the zelvem package (use zelvem, not this).";

    m.def("load", [] { catalog(); });
    m.def("is_emulator", [] { return catalog().emulator(); });
    m.def("emulator_folder", [] { return drive()->GetEmulatorFolder().ToUtf8().str(); });
    m.def("drive_present", [] {
        vem::MovieCatalog& movies = catalog();
        return unlocked([&] { return movies.drivePresent(); });
    });
    m.def("no_drive_message", [] {
        vem::MovieCatalog& movies = catalog();
        return unlocked([&] { return movies.noDriveMessage(); });
    });
    // The library's path of a place ("/NAME", "/NAME:info" or "/"); ValueError when refused.
    m.def("library_path", [](const std::string& text) { return parsePath(text).libraryPath(); });
    m.def("list", [](const std::string& filter) {
        vem::MovieCatalog& movies = catalog();
        std::vector<vem::MovieDescription> listed = unlocked([&] { return movies.list(filter); });
        py::list entries;
        for (const vem::MovieDescription& movie : listed) {
            entries.append(describe(movie));
        }
        return entries;
    });
    m.def("info", [](const std::string& text) -> py::object {
        std::string name = movieName(text);
        vem::MovieCatalog& movies = catalog();
        std::optional<vem::MovieDescription> movie = unlocked([&] { return movies.find(name); });
        return movie ? py::object(describe(*movie)) : py::none();
    });
    m.def("remove", [](const std::string& text) {
        std::string name = movieName(text, PyExc_PermissionError);
        vem::MovieCatalog& movies = catalog();
        return unlocked([&] { return movies.remove(name).removed; });
    });
    m.def("info_block", [](const std::string& text) {
        std::string name = movieName(text);
        vem::MovieCatalog& movies = catalog();
        std::vector<uint8_t> block = unlocked([&] { return movies.infoStream(name); });
        return py::bytes(reinterpret_cast<const char*>(block.data()), block.size());
    });
    m.def("cpp_read_frames", &cppReadFrames);
    m.def("finalize", [] { finalizing = true; });

    py::class_<MovieFile>(m, "MovieFile")
        .def(py::init<const std::string&>())
        .def_readonly("path", &MovieFile::path)
        .def_property_readonly("name", [](const MovieFile& f) { return f.movie.entryName; })
        .def_property_readonly("width", [](const MovieFile& f) { return f.movie.width; })
        .def_property_readonly("height", [](const MovieFile& f) { return f.movie.height; })
        .def_property_readonly("frames", [](const MovieFile& f) { return f.movie.frameCount; })
        .def_property_readonly("frame_bytes", [](const MovieFile& f) { return f.movie.frameBytes; })
        .def_property_readonly("size", [](const MovieFile& f) { return f.movie.size; })
        .def_property_readonly("closed", &MovieFile::closed)
        .def("read_frames", &MovieFile::readFrames)
        .def("read_into", &MovieFile::readInto)
        .def("read_bytes", &MovieFile::readBytes)
        .def("close", &MovieFile::close);

    py::class_<Watch>(m, "Watch")
        .def(py::init<py::object>())
        .def_property_readonly("closed", &Watch::closed)
        .def("close", &Watch::close);
}
