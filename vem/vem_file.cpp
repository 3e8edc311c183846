// CVemFile: reading a movie frame by frame through the service's shared section.
#include "vem/vem_file.h"

#include <algorithm>

#include "vem/vem_interface.h"

namespace zel::vem {

CVemFile::CVemFile(CVemInterface* owner, std::shared_ptr<ServiceFile> file, CStringW name,
                   uint64_t numFrames)
    : owner(owner),
      file(std::move(file)),
      name(std::move(name)),
      size(0),
      frameSize(this->file ? this->file->frameSize() : 0) {
    if (frameSize > 0) {
        size = static_cast<int64_t>(uint64_t{frameSize} * numFrames);
    }
}

CVemFile::~CVemFile() = default;

CStringW CVemFile::GetName() {
    return name;
}

IFileSystem* CVemFile::GetFileSystem() {
    return owner;
}

uint32_t CVemFile::Write(const void*, uint32_t) {
    return 0;
}

uint32_t CVemFile::Read(void* buffer, uint32_t count) {
    if (position >= size || count == 0 || frameSize == 0) {
        return 0;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    uint64_t frame = static_cast<uint64_t>(position) / frameSize;
    uint32_t offset = static_cast<uint32_t>(static_cast<uint64_t>(position) % frameSize);
    uint32_t total = 0;
    // The count is not cut at the end of the file: a frame past the last one is refused by the
    // service, which ends the read there.
    while (total < count) {
        uint32_t n = std::min(frameSize - offset, count - total);
        if (!file->copyFrame(frame, offset, out + total, n)) {
            break;
        }
        total += n;
        position += n;
        ++frame;
        offset = 0;
    }
    return total;
}

int64_t CVemFile::GetSize() {
    return size;
}

int64_t CVemFile::GetPosition() {
    return position;
}

int64_t CVemFile::Seek(int64_t offset, uint32_t origin) {
    auto clamp = [this](int64_t x) { return std::clamp<int64_t>(x, 0, size); };
    // Offsets come from the host: saturate instead of overflowing on extreme values.
    auto add = [](int64_t a, int64_t b) {
        int64_t r;
        return __builtin_add_overflow(a, b, &r) ? (b < 0 ? INT64_MIN : INT64_MAX) : r;
    };
    switch (origin) {
        case 1:
            position = clamp(offset);
            break;
        case 2:
            position = clamp(add(position, offset));
            break;
        case 3:
            position = clamp(add(size, offset));
            break;
        default:
            break;
    }
    return position;
}

bool CVemFile::SetSize(int64_t) {
    return false;
}

void CVemFile::Flush() {}

bool CVemFile::Close() {
    if (!file) {
        return false;
    }
    // Ending the service's file while another open of the movie reads it would pull its section
    // away: only the last user closes it.
    if (file.use_count() > 1) {
        return true;
    }
    return file->close();
}

bool CVemFile::gone() const {
    return file && file->retired();
}

bool CVemFile::CanRead() {
    return true;
}

bool CVemFile::CanWrite() {
    return false;
}

}  // namespace zel::vem
