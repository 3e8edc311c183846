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

#include "module_support.h"
#include "vem/exports.h"
#include "vem/vem_interface.h"

namespace py = pybind11;
using namespace zel;
using namespace zelvem_py;

namespace {

// A movie opened for reading: its description, and frames or bytes read into caller-owned
// memory. Every MovieFile has a reader of its own; the library shares the service's file.
class MovieFile {
  public:
    explicit MovieFile(const std::string& text)
        : reader_(movieName(text)), movie(reader_.movie()), path("/" + movie.entryName) {}

    void close() { reader_.close(); }
    bool closed() { return reader_.closed(); }

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
            reader_.with([&](vem::MovieReader& reader) {
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
    // object that is returned.
    py::bytes readBytes(uint64_t offset, uint64_t end) {
        end = std::min(end, movie.size);
        uint64_t count = offset >= end ? 0 : end - offset;
        return filledBytes(count, [&](uint8_t* data) { readRange(offset, data, count); });
    }

  private:
    LockedReader reader_;

  public:
    const vem::MovieDescription movie;
    const std::string path;

  private:
    // Reads `count` bytes from `offset` (inside the movie) into `out`, a frame at a time.
    void readRange(uint64_t offset, uint8_t* out, uint64_t count) {
        const uint64_t frameBytes = movie.frameBytes;
        readPieces(
            offset, out, count, [&](uint64_t at) { return (at / frameBytes + 1) * frameBytes; },
            [&](uint64_t at, uint8_t* into, size_t n) {
                size_t got = reader_.with(
                    [&](vem::MovieReader& reader) { return reader.read(at, into, n); });
                if (got != n) {
                    // A short read inside the movie is a refused frame, never an end of file.
                    raise(PyExc_OSError, path + ": the drive gave too few bytes of frame " +
                                             std::to_string((at + got) / frameBytes));
                }
            });
    }
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
    defineViews(m);
    defineGet(m);

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
