// IImagerFile: the imager-file library's reader interface for movies of any format.
#pragma once

#include <cstddef>
#include <cstdint>

#include "suite/export.h"
#include "suite/file.h"
#include "suite/file/reduce_objects.h"
#include "suite/filesystem.h"
#include "suite/shared_ptr.h"
#include "suite/strings.h"

namespace zel::file {

// The virtual slots keep this order: formats in other modules derive from it.
//
// A reader is opened once (again after Close), then read. Reading calls (GetFrame and the
// information getters) may come from several threads at once; Open and Close must not overlap
// any other call.
class ZELFILE_API IImagerFile {
  public:
    virtual ~IImagerFile();
    // The name the format is registered under with the factory.
    virtual const char* GetFormatName() = 0;
    // Opens the movie at `path` of `fs`. Closes what was open first.
    virtual bool Open(IFileSystem* fs, const CStringW& path, unsigned flags) = 0;
    // Opens a movie from its data stream and its info stream; the reader keeps both
    // references until it is closed.
    virtual bool Open(TSharedPtr<IFile> data, TSharedPtr<IFile> info, unsigned flags) = 0;
    virtual void Close() = 0;
    // The path or stream name it was opened from; empty while closed.
    virtual CStringW GetFilename() = 0;
    // The flags of the last successful Open; 0 while closed.
    virtual unsigned GetFlags() = 0;

    // Presets: the ways a format can present a movie. Every reader has at least one while
    // open; preset numbers run from 0 to GetPresetCount() - 1.
    virtual unsigned GetPresetCount() = 0;
    virtual unsigned char GetCurrentPreset() = 0;
    virtual bool SetCurrentPreset(unsigned char preset) = 0;

    // Frame geometry and count; 0 while closed.
    virtual uint32_t xPixels() = 0;
    virtual uint32_t yPixels() = 0;
    virtual uint64_t nFrames() = 0;

    // Copies frame `frame` as xPixels() * yPixels() unsigned 16-bit pixels in host byte order
    // into `buffer`, which holds `size` bytes. False (buffer contents unspecified) when closed,
    // when the frame does not exist, when size is too small or when the stream fails.
    virtual bool GetFrame(uint64_t frame, void* buffer, size_t size) = 0;
    // Replaces `out` with the frame's reduce objects and reports the preset they belong to
    // (the current one). False when closed or the frame does not exist.
    virtual bool GetReduceObjectsForFrame(uint32_t frame, unsigned char& preset,
                                          CReduceObjectArray& out) = 0;

  protected:
    IImagerFile() = default;
    IImagerFile(const IImagerFile&) = delete;
    IImagerFile& operator=(const IImagerFile&) = delete;
};

}  // namespace zel::file
