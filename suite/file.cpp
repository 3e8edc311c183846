// IFile's base members and CMemFile.
#include "suite/file.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "suite/seek.h"

namespace zel {

IFile::~IFile() = default;

bool IFile::Reopen(unsigned int) {
    return false;
}

TSharedPtr<CMemFile> CMemFile::Create() {
    return TSharedPtr<CMemFile>(new CMemFile());
}

CMemFile::~CMemFile() = default;

CStringW CMemFile::GetName() {
    return CStringW();
}

IFileSystem* CMemFile::GetFileSystem() {
    return nullptr;
}

uint32_t CMemFile::Write(const void* buffer, uint32_t count) {
    if (count == 0) {
        return 0;
    }
    if (buffer == nullptr) {
        return 0;
    }
    const uint64_t end = static_cast<uint64_t>(m_position) + count;
    try {
        if (end > m_data.size()) {
            m_data.resize(static_cast<size_t>(end));
        }
    } catch (const std::exception&) {
        // Out of memory (or beyond what a vector can hold): the write is refused, not thrown.
        return 0;
    }
    std::memcpy(m_data.data() + m_position, buffer, count);
    m_position = static_cast<int64_t>(end);
    return count;
}

uint32_t CMemFile::Read(void* buffer, uint32_t count) {
    const int64_t size = static_cast<int64_t>(m_data.size());
    if (buffer == nullptr || m_position >= size) {
        return 0;
    }
    const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(count, size - m_position));
    std::memcpy(buffer, m_data.data() + m_position, n);
    m_position += n;
    return n;
}

int64_t CMemFile::GetSize() {
    return static_cast<int64_t>(m_data.size());
}

int64_t CMemFile::GetPosition() {
    return m_position;
}

int64_t CMemFile::Seek(int64_t offset, uint32_t origin) {
    m_position = ResolveSeek(m_position, static_cast<int64_t>(m_data.size()), offset, origin);
    return m_position;
}

bool CMemFile::SetSize(int64_t size) {
    if (size < 0) {
        return false;
    }
    try {
        m_data.resize(static_cast<size_t>(size));
    } catch (const std::exception&) {
        return false;
    }
    if (m_position > size) {
        m_position = size;
    }
    return true;
}

void CMemFile::Flush() {}

bool CMemFile::Close() {
    return true;
}

bool CMemFile::CanRead() {
    return true;
}

bool CMemFile::CanWrite() {
    return true;
}

}  // namespace zel
