// CRawImagerFile: opening, checking and reading raw movies (data stream plus info block).
#include "suite/file/raw_imager_file.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "suite/path.h"

namespace zel::file {

namespace {

// IFile moves at most 32-bit counts per call; large frames go in pieces of this size.
constexpr uint64_t kReadPiece = uint64_t{1} << 30;

// Reads exactly `count` bytes from the stream's current position.
bool readFully(IFile& file, uint8_t* buffer, uint64_t count) {
    while (count > 0) {
        const uint32_t piece = static_cast<uint32_t>(std::min(count, kReadPiece));
        const uint32_t got = file.Read(buffer, piece);
        if (got != piece) {
            return false;
        }
        buffer += piece;
        count -= piece;
    }
    return true;
}

bool hostIsLittleEndian() {
    const uint16_t probe = 1;
    return *reinterpret_cast<const uint8_t*>(&probe) == 1;
}

}  // namespace

CRawImagerFile::CRawImagerFile() = default;

CRawImagerFile::~CRawImagerFile() {
    CRawImagerFile::Close();
}

const char* CRawImagerFile::GetFormatName() {
    return kFormatName;
}

bool CRawImagerFile::Open(IFileSystem* fs, const CStringW& path, unsigned flags) {
    Close();
    if (fs == nullptr) {
        return false;
    }
    TSharedPtr<IFile> data = fs->OpenFile(path, kStreamMode);
    if (!data) {
        return false;
    }
    TSharedPtr<IFile> info = fs->OpenFile(path::ChangeExtension(path, u".info"), kStreamMode);
    if (!info) {
        return false;
    }
    if (!Open(std::move(data), std::move(info), flags)) {
        return false;
    }
    m_filename = path;
    return true;
}

bool CRawImagerFile::Open(TSharedPtr<IFile> data, TSharedPtr<IFile> info, unsigned flags) {
    Close();
    if (!data || !info) {
        return false;
    }
    // The info stream is read whole, so its length is bounded before anything is allocated.
    const int64_t infoSize = info->GetSize();
    if (infoSize < 0 || infoSize > kMaxInfoBytes) {
        return false;
    }
    std::vector<uint8_t> bytes(static_cast<size_t>(infoSize));
    if (info->Seek(0, kSeekBegin) != 0 ||
        !readFully(*info, bytes.data(), static_cast<uint64_t>(infoSize))) {
        return false;
    }
    SInfoBlock block;
    if (!ParseInfoBlock(bytes.data(), bytes.size(), block)) {
        return false;
    }
    // The data stream must hold exactly the frames the block announces. Division first: no
    // product of an announced count and the frame size is formed before it is known to fit.
    const int64_t dataSize = data->GetSize();
    const uint64_t frameBytes = block.frameBytes();
    if (dataSize < 0 || block.frameCount() > static_cast<uint64_t>(dataSize) / frameBytes ||
        block.frameCount() * frameBytes != static_cast<uint64_t>(dataSize)) {
        return false;
    }
    m_block = std::move(block);
    m_filename = data->GetName();
    m_data = std::move(data);
    m_info = std::move(info);
    m_flags = flags;
    m_open = true;
    return true;
}

void CRawImagerFile::Close() {
    m_open = false;
    m_block = SInfoBlock();
    m_data.reset();
    m_info.reset();
    m_filename = CStringW();
    m_flags = 0;
}

CStringW CRawImagerFile::GetFilename() {
    return m_filename;
}

unsigned CRawImagerFile::GetFlags() {
    return m_flags;
}

unsigned CRawImagerFile::GetPresetCount() {
    return m_open ? 1 : 0;
}

unsigned char CRawImagerFile::GetCurrentPreset() {
    return 0;
}

bool CRawImagerFile::SetCurrentPreset(unsigned char preset) {
    return m_open && preset == 0;
}

uint32_t CRawImagerFile::xPixels() {
    return m_open ? m_block.width : 0;
}

uint32_t CRawImagerFile::yPixels() {
    return m_open ? m_block.height : 0;
}

uint64_t CRawImagerFile::nFrames() {
    return m_open ? m_block.frameCount() : 0;
}

uint64_t CRawImagerFile::FrameBytes() const {
    return m_open ? m_block.frameBytes() : 0;
}

const SInfoBlock* CRawImagerFile::GetInfoBlock() const {
    return m_open ? &m_block : nullptr;
}

bool CRawImagerFile::GetFrame(uint64_t frame, void* buffer, size_t size) {
    if (!m_open || buffer == nullptr || frame >= m_block.frameCount()) {
        return false;
    }
    const uint64_t frameBytes = m_block.frameBytes();
    if (size < frameBytes) {
        return false;
    }
    // frame < frameCount and frameCount * frameBytes == the stream's size, so this fits.
    const int64_t offset = static_cast<int64_t>(frame * frameBytes);
    uint8_t* bytes = static_cast<uint8_t*>(buffer);
    {
        std::lock_guard<std::mutex> hold(m_readLock);
        if (m_data->Seek(offset, kSeekBegin) != offset || !readFully(*m_data, bytes, frameBytes)) {
            return false;
        }
    }
    // The stream is little-endian; callers get host-order samples.
    if (!hostIsLittleEndian()) {
        for (uint64_t i = 0; i + 1 < frameBytes; i += 2) {
            std::swap(bytes[i], bytes[i + 1]);
        }
    }
    return true;
}

bool CRawImagerFile::GetReduceObjectsForFrame(uint32_t frame, unsigned char& preset,
                                              CReduceObjectArray& out) {
    if (!m_open || frame >= m_block.frameCount()) {
        return false;
    }
    preset = 0;
    out.Clear();
    out.SetFrameInfo(
        0, TSharedPtr<CFrameInfoReduceObject>(new CFrameInfoReduceObject(
               frame, CDateTime::NewTimestamp(m_block.frameTimes[frame], CDateTime::kTicks))));
    return true;
}

}  // namespace zel::file
