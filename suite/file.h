// IFile, the base library's file interface, and CMemFile, a growable file in memory.
#pragma once

#include <cstdint>
#include <vector>

#include "suite/export.h"
#include "suite/shared_ptr.h"
#include "suite/strings.h"

namespace zel {

class IFileSystem;

// Open-mode bits of IFileSystem::OpenFile.
constexpr unsigned int kOpenRead = 0x02;
constexpr unsigned int kOpenWrite = 0x04;
constexpr unsigned int kOpenCreate = 0x08;  // create, or truncate an existing file; implies write
constexpr unsigned int kOpenShareRead = 0x10;

// Seek origins.
constexpr uint32_t kSeekBegin = 1;
constexpr uint32_t kSeekCurrent = 2;
constexpr uint32_t kSeekEnd = 3;

// The virtual slots keep this order: modules built against the suite call them by position.
class ZEL_API IFile {
  public:
    virtual ~IFile();
    virtual CStringW GetName() = 0;
    virtual IFileSystem* GetFileSystem() = 0;
    virtual uint32_t Write(const void* buffer, uint32_t count) = 0;
    virtual uint32_t Read(void* buffer, uint32_t count) = 0;
    virtual int64_t GetSize() = 0;
    virtual int64_t GetPosition() = 0;
    // Returns the new position. The base library's files keep it within 0..size; an unknown
    // origin leaves it unchanged.
    virtual int64_t Seek(int64_t offset, uint32_t origin) = 0;
    virtual bool SetSize(int64_t size) = 0;
    virtual void Flush() = 0;
    virtual bool Close() = 0;
    virtual bool CanRead() = 0;
    virtual bool CanWrite() = 0;
    // Changing the mode of an open file is not supported by default: returns false.
    virtual bool Reopen(unsigned int mode);

    void SeekToBegin() { Seek(0, kSeekBegin); }
    // True when all count bytes were written.
    bool WriteBytes(const void* buffer, unsigned int count) {
        return Write(buffer, count) == count;
    }

  protected:
    IFile() = default;
    IFile(const IFile&) = default;
    IFile& operator=(const IFile&) = default;
};

// Readable and writable; writing past the end grows it. Belongs to no file system and has no name.
class ZEL_API CMemFile : public IFile {
  public:
    static TSharedPtr<CMemFile> Create();

    CMemFile() = default;
    ~CMemFile() override;
    CStringW GetName() override;
    IFileSystem* GetFileSystem() override;
    uint32_t Write(const void* buffer, uint32_t count) override;
    uint32_t Read(void* buffer, uint32_t count) override;
    int64_t GetSize() override;
    int64_t GetPosition() override;
    int64_t Seek(int64_t offset, uint32_t origin) override;
    bool SetSize(int64_t size) override;
    void Flush() override;
    // Keeps the contents: a memory file has nothing to release early.
    bool Close() override;
    bool CanRead() override;
    bool CanWrite() override;

    const std::vector<uint8_t>& data() const { return m_data; }

  private:
    std::vector<uint8_t> m_data;
    int64_t m_position = 0;
};

}  // namespace zel
