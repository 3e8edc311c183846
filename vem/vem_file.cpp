// CVemFile: reading a movie frame by frame through the service's shared section.
#include "vem/vem_file.h"

#include <algorithm>

#include "vem/vem_interface.h"
#include "vem/vem_interface_private.h"

namespace zel::vem {

CVemFile::CVemFile(CVemInterface* owner, ServiceChannel* channel, uint32_t fileId, CStringW name,
                   uint16_t width, uint16_t height, uint64_t numFrames, uint64_t generation)
    : owner(owner),
      channel(channel),
      fileId(fileId),
      name(std::move(name)),
      size(static_cast<int64_t>(uint64_t{width} * height * numFrames * 2)),
      frameSize(uint32_t{width} * height * 2),
      width(width),
      height(height),
      generation(generation) {
    CString mapping;
    // A section smaller than one frame would be read past its end: such a file is empty.
    if (!channel->GetFileMapping(fileId, mapping) || !section.open(mapping.c_str()) ||
        section.size() < frameSize) {
        size = 0;
    }
}

CVemFile::~CVemFile() {
    channel->CloseFile(fileId);
}

CStringW CVemFile::GetName() {
    return name;
}

IFileSystem* CVemFile::GetFileSystem() {
    return owner;
}

uint32_t CVemFile::Write(const void*, uint32_t) {
    return 0;
}

bool CVemFile::stillThere() {
    if (!moved && !owner->d->movieStillAt(fileId, name, width, height, generation)) {
        moved = true;
    }
    return !moved;
}

uint32_t CVemFile::Read(void* buffer, uint32_t count) {
    if (position >= size || count == 0 || frameSize == 0) {
        return 0;
    }
    auto* out = static_cast<uint8_t*>(buffer);
    int64_t frame = position / frameSize;
    uint32_t offset = static_cast<uint32_t>(position - frame * frameSize);
    uint32_t total = 0;
    // The count is not cut at the end of the file: a frame past the last one is refused by the
    // service, which ends the read there.
    while (total < count) {
        uint32_t n = std::min(frameSize - offset, count - total);
        if (!copyFrame(frame, offset, out + total, n)) {
            break;
        }
        total += n;
        position += n;
        ++frame;
        offset = 0;
    }
    return total;
}

bool CVemFile::copyFrame(int64_t frame, uint32_t offset, uint8_t* out, uint32_t n) {
    // Other files share the channel, and the service may bind sections by position: a file
    // whose movie has just moved could load a frame into the section of the movie that took its
    // place. So the position is checked, and the frame loaded and copied, with the channel held:
    // no file can then load between our check and our copy, and no refresh has begun since the
    // check. A refresh that begins meanwhile makes us look again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!stillThere() || !channel->hold()) {
            break;
        }
        bool copied = false;
        const bool unchanged = owner->d->generation.load() == generation;
        if (unchanged) {
            if (loadedFrame != frame) {
                loadedFrame = -1;
                if (channel->LoadFrame(fileId, static_cast<uint64_t>(frame))) {
                    loadedFrame = frame;
                }
            }
            // A section the service shrank since it was mapped comes back short: the frame is
            // lost, as if LoadFrame had failed, and the next read asks for it again.
            if (loadedFrame == frame) {
                copied = section.readAt(offset, out, n) == n;
                if (!copied) {
                    loadedFrame = -1;
                }
            }
        }
        channel->release();
        if (unchanged) {
            return copied;
        }
    }
    loadedFrame = -1;
    return false;
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
    return channel->CloseFile(fileId);
}

bool CVemFile::CanRead() {
    return true;
}

bool CVemFile::CanWrite() {
    return false;
}

}  // namespace zel::vem
