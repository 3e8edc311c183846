// The simulated drive's movies and the set it serves.
#include "tools/vemsim/movies.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "suite/file/raw_imager_file.h"
#include "suite/local_file_system.h"
#include "suite/path.h"
#include "tools/vemsim/log.h"
#include "tools/vemsim/synthetic.h"

namespace zel::vem::sim {

namespace {

// Rendered frames start on a cache line, as the sections they are copied into do (those start on a
// page). A frame-sized copy runs at full speed only when source and destination share their offset
// within a cache line: a source 16 bytes off, as a plain new[] gives, made each LoadFrame's copy of
// a 640x480 frame ~15% slower here (docs/benchmarks.md).
constexpr std::align_val_t kFrameAlignment{64};

// Frames are rendered on first use and kept, so a frame is drawn once and every later
// LoadFrame of it is a single copy.
class SyntheticMovie : public SimMovie {
  public:
    SyntheticMovie(uint64_t number, const std::string& name, uint32_t width, uint32_t height,
                   uint64_t frames)
        : SimMovie(number, name, syntheticInfoBlock(number, width, height, frames)),
          frames_(new std::atomic<uint8_t*>[static_cast<size_t>(frames)]()) {}

    ~SyntheticMovie() override {
        for (uint64_t f = 0; f < frameCount(); ++f) {
            ::operator delete[](frames_[f].load(), kFrameAlignment);
        }
    }

    bool copyFrame(uint64_t frame, void* dest) override {
        if (frame >= frameCount()) {
            return false;
        }
        const uint8_t* pixels = frames_[frame].load(std::memory_order_acquire);
        if (pixels == nullptr) {
            pixels = render(frame);
        }
        std::memcpy(dest, pixels, static_cast<size_t>(frameBytes()));
        return true;
    }

    const char* source() const override { return "synthetic"; }

  private:
    const uint8_t* render(uint64_t frame) {
        std::lock_guard<std::mutex> hold(renderLock_);
        uint8_t* pixels = frames_[frame].load(std::memory_order_acquire);
        if (pixels == nullptr) {
            pixels = static_cast<uint8_t*>(
                ::operator new[](static_cast<size_t>(frameBytes()), kFrameAlignment));
            renderSyntheticFrame(number(), frame, block().width, block().height, pixels);
            frames_[frame].store(pixels, std::memory_order_release);
        }
        return pixels;
    }

    // Null until the frame is first asked for; published with release, read with acquire.
    std::unique_ptr<std::atomic<uint8_t*>[]> frames_;
    // Serialises rendering so that a frame is drawn once even when two connections ask for it
    // at the same time. Taken only on a cache miss; leaf lock.
    std::mutex renderLock_;
};

// Reads frames from the ".dat" file of an emulator folder through the raw imager format.
class FolderMovie : public SimMovie {
  public:
    FolderMovie(uint64_t number, const std::string& name, zel::file::SInfoBlock block,
                std::vector<uint8_t> infoBytes, std::unique_ptr<zel::file::CRawImagerFile> file)
        : SimMovie(number, name, std::move(block), std::move(infoBytes)), file_(std::move(file)) {}

    bool copyFrame(uint64_t frame, void* dest) override {
        // GetFrame gives host-order samples; the section carries the little-endian stream
        // bytes, which are the same on every host this builds for.
        return file_->GetFrame(frame, dest, static_cast<size_t>(frameBytes()));
    }

    const char* source() const override { return "folder"; }

  private:
    std::unique_ptr<zel::file::CRawImagerFile> file_;
};

bool setError(std::string* error, const std::string& text) {
    if (error) {
        *error = text;
    }
    return false;
}

// Splits "<number>-<name>"; an entry without a decimal number before its first '-' keeps
// number 0 and its whole text as name.
void splitEntryName(const std::string& entry, uint64_t& number, std::string& name) {
    number = 0;
    name = entry;
    const size_t dash = entry.find('-');
    if (dash == std::string::npos || dash == 0 || dash > 19) {
        return;
    }
    uint64_t value = 0;
    for (size_t i = 0; i < dash; ++i) {
        if (entry[i] < '0' || entry[i] > '9') {
            return;
        }
        value = value * 10 + static_cast<uint64_t>(entry[i] - '0');
    }
    number = value;
    name = entry.substr(dash + 1);
}

bool readWholeFile(IFile& file, std::vector<uint8_t>& bytes) {
    const int64_t size = file.GetSize();
    if (size < 0 || size > zel::file::CRawImagerFile::kMaxInfoBytes) {
        return false;
    }
    bytes.resize(static_cast<size_t>(size));
    file.SeekToBegin();
    return bytes.empty() || file.Read(bytes.data(), static_cast<uint32_t>(size)) == size;
}

// The next code point of UTF-8 text at `at`, advancing it; false for bytes that are not
// well-formed UTF-8 (overlong forms, surrogates and values past U+10FFFF included).
bool nextCodePoint(const std::string& text, size_t& at, uint32_t& cp) {
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    size_t length = lead < 0x80                    ? 1
                    : lead >= 0xC2 && lead <= 0xDF ? 2
                    : (lead & 0xF0) == 0xE0        ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || at + length > text.size()) {
        return false;
    }
    cp = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return false;
        }
        cp = cp << 6 | (next & 0x3F);
    }
    static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kSmallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return false;
    }
    at += length;
    return true;
}

// Whatever a client cannot address or show safely is refused: control characters of both
// ranges (C1 includes U+0085, a line end to some readers), the line and paragraph separators,
// bytes that are not UTF-8, and the separators of paths and info streams.
bool addressableName(const std::string& name) {
    for (size_t at = 0; at < name.size();) {
        uint32_t cp = 0;
        if (!nextCodePoint(name, at, cp) || cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) ||
            cp == 0x2028 || cp == 0x2029 || cp == '/' || cp == '\\' || cp == ':') {
            return false;
        }
    }
    return true;
}

}  // namespace

bool validMovieName(const std::string& name) {
    return !name.empty() && name.size() <= kMaxNameBytes && name != "." && name != ".." &&
           addressableName(name);
}

SimMovie::SimMovie(uint64_t number, std::string name, zel::file::SInfoBlock block,
                   std::vector<uint8_t> infoBytes)
    : number_(number),
      name_(std::move(name)),
      block_(std::move(block)),
      infoBytes_(infoBytes.empty() ? zel::file::EncodeInfoBlock(block_) : std::move(infoBytes)) {}

SimMovie::~SimMovie() = default;

std::string SimMovie::entryName() const {
    return std::to_string(number_) + "-" + name_;
}

std::shared_ptr<SimMovie> makeSyntheticMovie(uint64_t number, const std::string& name,
                                             uint32_t width, uint32_t height, uint64_t frames,
                                             std::string* error, bool checkName) {
    if (width == 0 || height == 0 || width > zel::file::kInfoMaxSide ||
        height > zel::file::kInfoMaxSide) {
        setError(error, "Width and height must be 1 to 65535.");
        return nullptr;
    }
    if (frames > kMaxSyntheticFrames) {
        setError(error, "At most 16777216 frames.");
        return nullptr;
    }
    if (checkName ? !validMovieName(name) : name.empty() || name.size() > kMaxNameBytes) {
        setError(error, "Bad movie name.");
        return nullptr;
    }
    return std::make_shared<SyntheticMovie>(number, name, width, height, frames);
}

std::shared_ptr<SimMovie> openFolderMovie(const std::string& dir, const std::string& entry,
                                          std::string* error) {
    const CStringW base = path::MakePath(CStringW(dir.c_str()), CStringW(entry.c_str()), u'/');
    auto file = std::make_unique<zel::file::CRawImagerFile>();
    if (!file->Open(fileSystem(), base + u".dat", 0)) {
        setError(error, "Not a raw movie (the .dat and .info pair does not open or disagrees).");
        return nullptr;
    }
    // GetFileData serves the file's own bytes, not a re-encoding of what this version of the
    // parser understood of them (a later revision may carry extra header fields).
    TSharedPtr<IFile> info = fileSystem()->OpenFile(base + u".info", kOpenRead | kOpenShareRead);
    std::vector<uint8_t> bytes;
    if (!info || !readWholeFile(*info, bytes)) {
        setError(error, "The .info file cannot be read.");
        return nullptr;
    }
    uint64_t number = 0;
    std::string name;
    splitEntryName(entry, number, name);
    if (!addressableName(name)) {
        setError(error, "The name holds characters a client cannot address or show.");
        return nullptr;
    }
    zel::file::SInfoBlock block = *file->GetInfoBlock();
    return std::make_shared<FolderMovie>(number, name, std::move(block), std::move(bytes),
                                         std::move(file));
}

std::vector<std::shared_ptr<SimMovie>> scanFolder(const std::string& dir) {
    std::vector<std::shared_ptr<SimMovie>> movies;
    const CDirectoryListing listing =
        fileSystem()->GetDirectoryListing(CStringW(dir.c_str()), CStringW(u"*.dat"));
    for (uint32_t i = 0; i < listing.entries.size(); ++i) {
        const CDirectoryEntry& item = listing.entries[i];
        if ((item.attributes & kAttrFile) == 0) {
            continue;
        }
        const std::string entry = path::RemoveExtension(item.name).ToUtf8().str();
        std::string error;
        std::shared_ptr<SimMovie> movie = openFolderMovie(dir, entry, &error);
        if (!movie) {
            logLine("skipping %s in %s: %s", entry.c_str(), dir.c_str(), error.c_str());
            continue;
        }
        movies.push_back(std::move(movie));
    }
    return movies;
}

bool writeMovieToFolder(SimMovie& movie, const std::string& dir, std::string* error) {
    IFileSystem* fs = fileSystem();
    const CStringW folder(dir.c_str());
    if (!fs->MakeDir(folder, true)) {
        return setError(error, "Cannot create the folder " + dir + ".");
    }
    const CStringW base = path::MakePath(folder, CStringW(movie.entryName().c_str()), u'/');
    TSharedPtr<IFile> info = fs->OpenFile(base + u".info", kOpenCreate | kOpenWrite);
    const std::vector<uint8_t>& bytes = movie.infoBytes();
    if (!info || !info->WriteBytes(bytes.data(), static_cast<unsigned>(bytes.size()))) {
        return setError(error, "Cannot write " + movie.entryName() + ".info.");
    }
    info->Close();
    TSharedPtr<IFile> data = fs->OpenFile(base + u".dat", kOpenCreate | kOpenWrite);
    if (!data) {
        return setError(error, "Cannot write " + movie.entryName() + ".dat.");
    }
    std::vector<uint8_t> frame(static_cast<size_t>(movie.frameBytes()));
    for (uint64_t f = 0; f < movie.frameCount(); ++f) {
        // Frames larger than 4 GiB cannot be made: sides are at most 65535, so a frame is
        // below 2^33 bytes; write it in pieces the 32-bit call takes.
        if (!movie.copyFrame(f, frame.data())) {
            return setError(error, "Cannot render a frame of " + movie.entryName() + ".");
        }
        size_t done = 0;
        while (done < frame.size()) {
            const unsigned piece =
                static_cast<unsigned>(std::min<size_t>(frame.size() - done, size_t{1} << 30));
            if (!data->WriteBytes(frame.data() + done, piece)) {
                return setError(error, "Cannot write " + movie.entryName() + ".dat.");
            }
            done += piece;
        }
    }
    data->Close();
    return true;
}

MovieSet::MovieSet(std::function<void()> onChange) : onChange_(std::move(onChange)) {}

bool MovieSet::attached() const {
    std::lock_guard<std::mutex> hold(lock_);
    return attached_;
}

bool MovieSet::setAttached(bool attached) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (attached_ == attached) {
            return false;
        }
        attached_ = attached;
    }
    onChange_();
    return true;
}

uint32_t MovieSet::add(std::shared_ptr<SimMovie> movie) {
    uint32_t index;
    {
        std::lock_guard<std::mutex> hold(lock_);
        highestNumber_ = std::max(highestNumber_, movie->number());
        movies_.push_back(std::move(movie));
        index = static_cast<uint32_t>(movies_.size() - 1);
    }
    onChange_();
    return index;
}

bool MovieSet::remove(uint32_t index) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (index >= movies_.size()) {
            return false;
        }
        movies_.erase(movies_.begin() + index);
    }
    onChange_();
    return true;
}

std::shared_ptr<SimMovie> MovieSet::at(uint32_t index) const {
    std::lock_guard<std::mutex> hold(lock_);
    return index < movies_.size() ? movies_[index] : nullptr;
}

std::vector<std::shared_ptr<SimMovie>> MovieSet::list() const {
    std::lock_guard<std::mutex> hold(lock_);
    return movies_;
}

bool MovieSet::findIndex(const std::string& name, uint32_t& index) const {
    std::lock_guard<std::mutex> hold(lock_);
    for (size_t i = 0; i < movies_.size(); ++i) {
        if (movies_[i]->name() == name) {
            index = static_cast<uint32_t>(i);
            return true;
        }
    }
    for (size_t i = 0; i < movies_.size(); ++i) {
        if (movies_[i]->entryName() == name) {
            index = static_cast<uint32_t>(i);
            return true;
        }
    }
    return false;
}

uint64_t MovieSet::nextNumber() {
    std::lock_guard<std::mutex> hold(lock_);
    return ++highestNumber_;
}

}  // namespace zel::vem::sim
