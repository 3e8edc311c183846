// _zelvem: the pybind11 layer between Python and the drive library (entries, frames, watches).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "suite/file.h"
#include "suite/filesystem.h"
#include "suite/numbers.h"
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

CStringW wide(const std::string& text) {
    return CStringW(text.c_str(), static_cast<int>(text.size()));
}

std::string narrow(const CStringW& text) {
    return text.ToUtf8().str();
}

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

py::dict entryToDict(const CDirectoryEntry& entry) {
    py::dict properties;
    for (uint32_t i = 0; i < entry.properties.size(); ++i) {
        properties[py::str(entry.properties.key(i).str())] =
            py::str(entry.properties.value(i).str());
    }
    py::dict result;
    result["name"] = narrow(entry.name);
    result["path"] = narrow(entry.path);
    result["attributes"] = entry.attributes;
    result["size"] = entry.size;
    result["time_us"] = entry.time.GetTimestamp(CDateTime::kMicroseconds);
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

uint64_t property(const CDirectoryEntry& entry, const char* key) {
    bool valid = false;
    uint64_t value = CUInt64::Parse(entry.properties.GetValue(CString(key)), &valid);
    return valid ? value : 0;
}

// One open file per movie, shared by every Movie object of that movie. The drive gives each
// connection one frame section per movie: two files on one movie would load frames into the
// same memory and close it under each other, so readers take turns on the one file instead.
struct SharedMovie {
    // Guards file's position and the frame it has loaded; taken without the GIL, never while
    // waiting for the library's cache lock (reads need only the request channel).
    std::mutex lock;
    TSharedPtr<IFile> file;
    // Files opened by a race with another opener: never read, kept until the last user goes so
    // that their closing does not take the section away from `file`.
    std::vector<TSharedPtr<IFile>> spare;
};

// Guards `movies` only; nothing is called into the library while it is held.
std::mutex registryLock;
std::map<std::string, std::weak_ptr<SharedMovie>> movies;

std::shared_ptr<SharedMovie> findShared(const std::string& key) {
    auto found = movies.find(key);
    return found == movies.end() ? nullptr : found->second.lock();
}

// A movie opened for reading: its size, and frames or bytes read into caller-owned memory.
class MovieFile {
  public:
    explicit MovieFile(const std::string& path) : path(path) {
        vem::CVemInterface* vem = drive();
        bool found = false;
        bool opened = false;
        {
            py::gil_scoped_release unlocked;
            CDirectoryEntry entry = vem->GetInfo(wide(path));
            found = (entry.attributes & kAttrNone) == 0 && (entry.attributes & kAttrFile) != 0;
            if (found) {
                name = narrow(entry.name);
                width = property(entry, "width");
                height = property(entry, "height");
                frames = property(entry, "numFrames");
                frameBytes = width * height * 2;
                size = frameBytes * frames;
                opened =
                    share(vem, name + '\n' + entry.properties.GetValue(CString("index")).str());
            }
        }
        if (!found) {
            raise(PyExc_FileNotFoundError, "no movie " + path);
        }
        if (!opened) {
            raise(PyExc_OSError, "the drive could not open " + path);
        }
    }

    ~MovieFile() {
        // The last user's release closes the file: a request to the service, so without the GIL.
        py::gil_scoped_release unlocked;
        shared.reset();
    }

    void close() {
        std::shared_ptr<SharedMovie> dropped;
        dropped.swap(shared);
        py::gil_scoped_release unlocked;
        dropped.reset();
    }

    bool closed() const { return !shared; }

    // Reads frames[i] into out[i] for each i; out holds frames.size() frames of this movie.
    void readFrames(py::array_t<int64_t, py::array::c_style> indices, py::buffer out) {
        std::shared_ptr<SharedMovie> movie = open();
        py::buffer_info target = out.request(true);
        auto wanted = indices.unchecked<1>();
        if (!writableContiguous(target) ||
            target.itemsize * target.size !=
                static_cast<py::ssize_t>(frameBytes) * wanted.shape(0)) {
            raise(PyExc_ValueError, "the output buffer does not hold exactly the frames asked for");
        }
        for (py::ssize_t i = 0; i < wanted.shape(0); ++i) {
            if (wanted(i) < 0 || static_cast<uint64_t>(wanted(i)) >= frames) {
                raise(PyExc_IndexError, "frame " + std::to_string(wanted(i)) + " out of range");
            }
        }
        auto* base = static_cast<uint8_t*>(target.ptr);
        for (py::ssize_t i = 0; i < wanted.shape(0); ++i) {
            uint64_t frame = static_cast<uint64_t>(wanted(i));
            uint64_t got = 0;
            {
                py::gil_scoped_release unlocked;
                got = readAt(*movie, frame * frameBytes, base + i * frameBytes, frameBytes);
            }
            if (got != frameBytes) {
                raise(PyExc_OSError, path + ": the drive refused frame " + std::to_string(frame));
            }
            stopOnSignal();
        }
    }

    // Reads up to the buffer's length from `offset`; short only at the end of the movie.
    uint64_t readInto(uint64_t offset, py::buffer out) {
        std::shared_ptr<SharedMovie> movie = open();
        py::buffer_info target = out.request(true);
        if (!writableContiguous(target)) {
            raise(PyExc_ValueError, "the output buffer is not writable and contiguous");
        }
        uint64_t want = static_cast<uint64_t>(target.itemsize * target.size);
        uint64_t expected = offset >= size ? 0 : std::min(want, size - offset);
        readRange(*movie, offset, static_cast<uint8_t*>(target.ptr), expected);
        return expected;
    }

    // The bytes from `offset` to `end` (clipped to the movie), read straight into the bytes
    // object that is returned: a whole movie is held once, not once more for a copy.
    py::bytes readBytes(uint64_t offset, uint64_t end) {
        std::shared_ptr<SharedMovie> movie = open();
        end = std::min(end, size);
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
        readRange(*movie, offset, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(result.ptr())),
                  count);
        return result;
    }

    std::string path;
    std::string name;
    uint64_t width = 0;
    uint64_t height = 0;
    uint64_t frames = 0;
    uint64_t frameBytes = 0;
    uint64_t size = 0;

  private:
    // Called without the GIL.
    bool share(vem::CVemInterface* vem, const std::string& key) {
        {
            std::lock_guard<std::mutex> guard(registryLock);
            shared = findShared(key);
        }
        if (shared) {
            return true;
        }
        // Opened outside every lock of ours: opening takes the library's cache lock.
        TSharedPtr<IFile> file = vem->OpenFile(wide(path), kOpenRead | kOpenShareRead);
        if (!file || (size > 0 && static_cast<uint64_t>(file->GetSize()) < size)) {
            return false;  // no section, or one smaller than a frame: the library reads nothing
        }
        std::lock_guard<std::mutex> guard(registryLock);
        shared = findShared(key);
        if (shared) {
            shared->spare.push_back(std::move(file));
            return true;
        }
        shared = std::make_shared<SharedMovie>();
        shared->file = std::move(file);
        movies[key] = shared;
        for (auto it = movies.begin(); it != movies.end();) {
            it = it->second.expired() ? movies.erase(it) : std::next(it);
        }
        return true;
    }

    // Reads `count` bytes from `offset` (inside the movie) into `out`, a frame at a time so that
    // Ctrl+C stops a long read between frames. Raises OSError at a frame the drive refuses.
    void readRange(SharedMovie& movie, uint64_t offset, uint8_t* out, uint64_t count) {
        uint64_t done = 0;
        while (done < count) {
            uint64_t at = offset + done;
            uint64_t piece = std::min(count - done, frameBytes - at % frameBytes);
            uint64_t got = 0;
            {
                py::gil_scoped_release unlocked;
                got = readAt(movie, at, out + done, piece);
            }
            if (got != piece) {
                // A short read inside the movie is a refused frame, never an end of file.
                raise(PyExc_OSError, path + ": the drive refused frame " +
                                         std::to_string((at + got) / frameBytes));
            }
            done += piece;
            stopOnSignal();
        }
    }

    // Between frames, with the GIL held: runs Python's signal handlers, so that Ctrl+C raises
    // KeyboardInterrupt now rather than after a read of the whole movie.
    static void stopOnSignal() {
        if (PyErr_CheckSignals() != 0) {
            throw py::error_already_set();
        }
    }

    std::shared_ptr<SharedMovie> open() const {
        if (!shared) {
            raise(PyExc_ValueError, "I/O operation on a closed movie");
        }
        return shared;
    }

    // Called without the GIL. Returns the bytes read, fewer than count when a frame is refused.
    static uint64_t readAt(SharedMovie& movie, uint64_t offset, uint8_t* out, uint64_t count) {
        std::lock_guard<std::mutex> guard(movie.lock);
        if (movie.file->Seek(static_cast<int64_t>(offset), kSeekBegin) !=
            static_cast<int64_t>(offset)) {
            return 0;
        }
        uint64_t done = 0;
        while (done < count) {
            // Read takes 32-bit counts: large requests go in pieces.
            uint32_t piece = static_cast<uint32_t>(std::min<uint64_t>(count - done, 1u << 30));
            uint32_t got = movie.file->Read(out + done, piece);
            done += got;
            if (got != piece) {
                break;
            }
        }
        return done;
    }

    std::shared_ptr<SharedMovie> shared;
};

py::bytes infoBlock(const std::string& path) {
    vem::CVemInterface* vem = drive();
    std::string block;
    bool ok = false;
    {
        py::gil_scoped_release unlocked;
        TSharedPtr<IFile> file = vem->OpenFile(wide(path + ":info"), kOpenRead | kOpenShareRead);
        if (file) {
            block.resize(static_cast<size_t>(std::max<int64_t>(file->GetSize(), 0)));
            file->SeekToBegin();
            ok = file->Read(block.data(), static_cast<uint32_t>(block.size())) == block.size();
        }
    }
    if (!ok) {
        raise(PyExc_OSError, "the drive gave no information block for " + path);
    }
    return py::bytes(block);
}

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

// The C++ baseline of the read benchmark: `count` frames from `first` through Read into one
// reused buffer, as a C++ host reads. Returns the seconds spent.
double cppReadFrames(const std::string& path, uint64_t first, uint64_t count) {
    vem::CVemInterface* vem = drive();
    py::gil_scoped_release unlocked;
    auto started = std::chrono::steady_clock::now();
    CDirectoryEntry entry = vem->GetInfo(wide(path));
    uint64_t frameBytes = property(entry, "width") * property(entry, "height") * 2;
    TSharedPtr<IFile> file = vem->OpenFile(wide(path), kOpenRead | kOpenShareRead);
    if (!file || frameBytes == 0) {
        return -1;
    }
    std::vector<uint8_t> frame(frameBytes);
    for (uint64_t i = 0; i < count; ++i) {
        file->Seek(static_cast<int64_t>((first + i) * frameBytes), kSeekBegin);
        if (file->Read(frame.data(), static_cast<uint32_t>(frameBytes)) != frameBytes) {
            return -1;
        }
    }
    file.reset();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

}  // namespace

PYBIND11_MODULE(_zelvem, m) {
    m.doc() = "The drive library's interface for the zelvem package (use zelvem, not this).";

    m.def("load", [] { drive(); });
    m.def("is_emulator", [] { return drive()->isEmulator(); });
    m.def("emulator_folder", [] { return narrow(drive()->GetEmulatorFolder()); });
    m.def("drive_present", [] {
        vem::CVemInterface* vem = drive();
        py::gil_scoped_release unlocked;
        return vem->drivePresent();
    });
    m.def("list", [](const std::string& path, const std::string& filter) {
        vem::CVemInterface* vem = drive();
        CDirectoryListing listing;
        {
            py::gil_scoped_release unlocked;
            listing = vem->GetDirectoryListing(wide(path), wide(filter));
        }
        py::list entries;
        for (const CDirectoryEntry& entry : listing.entries) {
            entries.append(entryToDict(entry));
        }
        return entries;
    });
    m.def("info", [](const std::string& path) -> py::object {
        vem::CVemInterface* vem = drive();
        CDirectoryEntry entry;
        {
            py::gil_scoped_release unlocked;
            entry = vem->GetInfo(wide(path));
        }
        if (entry.attributes & kAttrNone) {
            return py::none();
        }
        return entryToDict(entry);
    });
    m.def("remove", [](const std::string& path) {
        vem::CVemInterface* vem = drive();
        py::gil_scoped_release unlocked;
        return vem->RemoveFile(wide(path));
    });
    m.def("info_block", &infoBlock);
    m.def("cpp_read_frames", &cppReadFrames);
    m.def("finalize", [] { finalizing = true; });

    py::class_<MovieFile>(m, "MovieFile")
        .def(py::init<const std::string&>())
        .def_readonly("path", &MovieFile::path)
        .def_readonly("name", &MovieFile::name)
        .def_readonly("width", &MovieFile::width)
        .def_readonly("height", &MovieFile::height)
        .def_readonly("frames", &MovieFile::frames)
        .def_readonly("frame_bytes", &MovieFile::frameBytes)
        .def_readonly("size", &MovieFile::size)
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
