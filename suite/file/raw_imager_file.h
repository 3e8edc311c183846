// CRawImagerFile: the raw imager format, a data stream of frames described by an info block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "suite/export.h"
#include "suite/file/imager_file.h"
#include "suite/file/info_block.h"

namespace zel::file {

// Reads a movie whose data stream holds the frames one after another and whose info stream is
// an info block (docs/info-block.md). On a file system the data stream is a ".dat" file and the
// info stream the ".info" file beside it.
//
// Open checks everything before it accepts a movie: the info block (see ParseInfoBlock), an
// info stream of at most kMaxInfoBytes, and a data stream of exactly frameCount * frameBytes
// bytes. Any mismatch fails Open, which then holds nothing.
class ZELFILE_API CRawImagerFile : public IImagerFile {
  public:
    static constexpr const char* kFormatName = "Raw Imager File";
    // Longest info stream read (a 33-million-frame movie); longer ones are refused unread.
    static constexpr int64_t kMaxInfoBytes = int64_t{256} << 20;
    // The open mode used for both files in Open(fs, path, flags): read, others may read too.
    static constexpr unsigned kStreamMode = kOpenRead | kOpenShareRead;

    CRawImagerFile();
    ~CRawImagerFile() override;

    const char* GetFormatName() override;
    // Opens `path` (the data file) and the file named like it with the extension ".info".
    bool Open(IFileSystem* fs, const CStringW& path, unsigned flags) override;
    bool Open(TSharedPtr<IFile> data, TSharedPtr<IFile> info, unsigned flags) override;
    // Drops both stream references; harmless when closed.
    void Close() override;
    CStringW GetFilename() override;
    unsigned GetFlags() override;
    // One preset, number 0.
    unsigned GetPresetCount() override;
    unsigned char GetCurrentPreset() override;
    bool SetCurrentPreset(unsigned char preset) override;
    uint32_t xPixels() override;
    uint32_t yPixels() override;
    uint64_t nFrames() override;
    bool GetFrame(uint64_t frame, void* buffer, size_t size) override;
    // One CFrameInfoReduceObject for preset 0: the frame number and its time from the block.
    bool GetReduceObjectsForFrame(uint32_t frame, unsigned char& preset,
                                  CReduceObjectArray& out) override;

    // The decoded info block while open; null while closed.
    const SInfoBlock* GetInfoBlock() const;
    // Bytes per frame (xPixels * yPixels * 2); 0 while closed.
    uint64_t FrameBytes() const;

  private:
    bool m_open = false;
    SInfoBlock m_block;
    TSharedPtr<IFile> m_data;
    TSharedPtr<IFile> m_info;
    CStringW m_filename;
    unsigned m_flags = 0;
    // Guards the data stream's position from seek to the end of the read in GetFrame, so readers
    // on several threads do not interleave. Leaf lock: nothing else is taken under it.
    std::mutex m_readLock;
};

}  // namespace zel::file
