// The extension's shared pieces: the process's catalog and kept times, errors, descriptions.
#include "module_support.h"

#include <stdexcept>

#include "movies/ome_tiff.h"

namespace zelvem_py {

vem::CVemInterface* drive() {
    vem::CVemInterface* vem = nullptr;
    {
        py::gil_scoped_release unlocked;
        vem = vem::instance();
    }
    return vem;
}

vem::MovieCatalog& catalog() {
    vem::CVemInterface* vem = drive();
    // Initialised with the GIL held, which orders racing first calls; it only keeps `vem`.
    static vem::MovieCatalog movies(*vem);
    return movies;
}

vem::FrameTimesCache& frameTimesCache() {
    static vem::FrameTimesCache cache;
    return cache;
}

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

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

vem::MoviePath parsePath(const std::string& text) {
    vem::MoviePath path;
    std::string error;
    if (!vem::parseMoviePath(text, path, error)) {
        raise(PyExc_ValueError, error);
    }
    return path;
}

std::string movieName(const std::string& text, PyObject* notMovie) {
    vem::MoviePath path = parsePath(text);
    if (path.isRoot()) {
        raise(PyExc_IsADirectoryError, path.display() + " is the drive's root, not a movie");
    }
    if (path.info) {
        raise(notMovie, path.display() + " is a movie's information stream, not a movie");
    }
    return path.name;
}

vem::MovieDescription findMovie(const std::string& text) {
    std::string name = movieName(text);
    vem::MovieCatalog& movies = catalog();
    std::optional<vem::MovieDescription> movie = unlocked([&] { return movies.find(name); });
    if (!movie) {
        bool present = unlocked([&] { return movies.emulator() || movies.drivePresent(); });
        if (!present) {
            raise(PyExc_ConnectionError, unlocked([&] { return movies.noDriveMessage(); }));
        }
        raise(PyExc_FileNotFoundError, "no movie vem:///" + name);
    }
    return *movie;
}

namespace {

// The size of the movie's OME-TIFF, from its listing alone; none when it has no such view (no
// frame to make a page of, or frames that cannot be read).
std::optional<uint64_t> omeTiffSize(const vem::MovieDescription& movie) {
    if (movie.frameCount == 0 || !movie.framesReadable()) {
        return std::nullopt;
    }
    try {
        return vem::OmeTiffView(vem::OmeTiffMovie::of(movie)).size();
    } catch (const std::invalid_argument&) {
        return std::nullopt;  // sides no TIFF page can have
    }
}

}  // namespace

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
    std::optional<uint64_t> omeTiff = omeTiffSize(movie);
    result["ome_tiff_size"] = omeTiff ? py::object(py::int_(*omeTiff)) : py::object(py::none());
    result["zarr"] = movie.framesReadable();
    return result;
}

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

void stopOnSignal() {
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

LockedReader::LockedReader(const std::string& entryName) {
    vem::MovieCatalog& movies = catalog();
    reader_ = unlocked([&] { return std::make_unique<vem::MovieReader>(movies.open(entryName)); });
    movie_ = reader_->description();
}

LockedReader::~LockedReader() {
    // Dropping the reader may close the service's file: a request, so without the GIL.
    py::gil_scoped_release released;
    std::lock_guard<std::mutex> guard(lock_);
    reader_.reset();
}

void LockedReader::close() {
    py::gil_scoped_release released;
    std::lock_guard<std::mutex> guard(lock_);
    reader_.reset();
}

bool LockedReader::closed() {
    py::gil_scoped_release released;
    std::lock_guard<std::mutex> guard(lock_);
    return !reader_;
}

}  // namespace zelvem_py
