// CVemFile: a movie on the drive as a read-only file, fetched from the service frame by frame.
#pragma once

#include <cstdint>

#include <memory>

#include "suite/file.h"
#include "suite/strings.h"
#include "vem/service_file.h"

namespace zel::vem {

class CVemInterface;

// The bytes of a movie are its frames one after another, width x height x 2 bytes each. Reading
// asks the service to place a frame in the movie's shared section (LoadFrame) and copies it out;
// reads within the frame already loaded cost no request.
//
// Every CVemFile of one movie in the process shares one ServiceFile (one file and section at the
// service); each has its own position, and reads take turns a frame at a time, so each gets its
// own frame's bytes. The file follows its movie when a refresh renumbers the drive.
//
// Failure behaviour: a file whose section could not be obtained (or is smaller than one frame, or
// whose frames are 4 GiB or more and cannot be counted by the protocol) has length 0. A read
// stops at the first frame the service refuses, or whose section shrank under it, and returns
// what it copied before. Once the movie has left the drive, or the service the file was opened
// on went away, every later read returns 0 (gone() says so): never another movie's bytes.
// Not thread-safe: one thread at a time per file.
class CVemFile : public IFile {
  public:
    // `file` is null for a file of length 0 (its section could not be had, or its frames are
    // empty or too large to count).
    CVemFile(CVemInterface* owner, std::shared_ptr<ServiceFile> file, CStringW name,
             uint64_t numFrames);
    // Lets go of the shared file; the service hears CloseFile when the last user goes.
    ~CVemFile() override;

    CStringW GetName() override;
    IFileSystem* GetFileSystem() override;
    uint32_t Write(const void* buffer, uint32_t count) override;
    uint32_t Read(void* buffer, uint32_t count) override;
    int64_t GetSize() override;
    int64_t GetPosition() override;
    // origin 1: from the start, 2: from the position, 3: from the end; the result is clamped to
    // [0, size]. Any other origin moves nothing.
    int64_t Seek(int64_t offset, uint32_t origin) override;
    bool SetSize(int64_t size) override;
    void Flush() override;
    // Sends CloseFile and returns its result when this is the movie's only open file; with
    // others open it leaves the service's file to them and returns true.
    bool Close() override;
    bool CanRead() override;
    bool CanWrite() override;

    // Whether reads fail for good: the movie left the drive, the service went away, or Close.
    // False for a file of length 0, which never read anything.
    bool gone() const;

  private:
    CVemInterface* owner;
    std::shared_ptr<ServiceFile> file;
    CStringW name;
    int64_t size;
    int64_t position = 0;
    uint32_t frameSize;
};

}  // namespace zel::vem
