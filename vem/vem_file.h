// CVemFile: a movie on the drive as a read-only file, fetched from the service frame by frame.
#pragma once

#include <cstdint>

#include "service/service_channel.h"
#include "service/shared_section.h"
#include "suite/file.h"
#include "suite/strings.h"

namespace zel::vem {

class CVemInterface;

// The bytes of a movie are its frames one after another, width x height x 2 bytes each. Reading
// asks the service to place a frame in the file's shared section (LoadFrame) and copies it out;
// reads within the frame already loaded cost no request.
//
// Failure behaviour: a file whose section could not be obtained (or is smaller than one frame)
// has length 0. A read stops at the first frame the service refuses, or whose section shrank
// under it, and returns what it copied before. The service knows the movie only by its position:
// once a refresh of the movie list shows another movie there (or none), every later read returns
// 0, rather than the new occupant's frames under this file's name.
// Not thread-safe: one thread at a time per file, and two files on the same movie share the
// service's section, so they must not be read concurrently either.
class CVemFile : public IFile {
  public:
    // `generation` is the movie list's generation in which `fileId` named this movie.
    CVemFile(CVemInterface* owner, ServiceChannel* channel, uint32_t fileId, CStringW name,
             uint16_t width, uint16_t height, uint64_t numFrames, uint64_t generation);
    // Tells the service the file is closed (again, if Close was called) and unmaps the section.
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
    // Sends CloseFile and returns its result; the object stays as it is.
    bool Close() override;
    bool CanRead() override;
    bool CanWrite() override;

  private:
    // Whether the movie still sits at fileId; false for good once it did not.
    bool stillThere();
    // Copies n bytes of `frame` from `offset`, loading the frame first if need be; false when
    // the frame cannot be had (then nothing was copied).
    bool copyFrame(int64_t frame, uint32_t offset, uint8_t* out, uint32_t n);

    CVemInterface* owner;
    ServiceChannel* channel;
    uint32_t fileId;
    CStringW name;
    SharedSection section;
    int64_t size;
    int64_t position = 0;
    uint32_t frameSize;
    int64_t loadedFrame = -1;
    uint16_t width;
    uint16_t height;
    // The list generation in which fileId was last found to name this movie.
    uint64_t generation;
    bool moved = false;
};

}  // namespace zel::vem
