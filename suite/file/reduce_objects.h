// Reduce objects of the imager-file library: per-frame facts an imager file reports (frame time).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "suite/datetime.h"
#include "suite/export.h"
#include "suite/shared_ptr.h"

namespace zel::file {

// What an imager file knows about one frame beyond its pixels.
class ZELFILE_API CFrameInfoReduceObject {
  public:
    CFrameInfoReduceObject() = default;
    CFrameInfoReduceObject(uint64_t frameNumber, const CDateTime& timestamp)
        : m_frameNumber(frameNumber), m_timestamp(timestamp) {}

    uint64_t GetFrameNumber() const { return m_frameNumber; }
    // When the frame was taken (ticks since 1601-01-01 UTC).
    const CDateTime& GetTimestamp() const { return m_timestamp; }
    void SetFrameNumber(uint64_t frameNumber) { m_frameNumber = frameNumber; }
    void SetTimestamp(const CDateTime& timestamp) { m_timestamp = timestamp; }

  private:
    uint64_t m_frameNumber = 0;
    CDateTime m_timestamp;
};

// The reduce objects of one frame, at most one frame-information object per preset.
class ZELFILE_API CReduceObjectArray {
  public:
    CReduceObjectArray();
    ~CReduceObjectArray();
    CReduceObjectArray(const CReduceObjectArray&);
    CReduceObjectArray& operator=(const CReduceObjectArray&);

    void Clear();
    size_t GetCount() const { return m_entries.size(); }
    // Adds the object for `preset`, or replaces the one it had.
    void SetFrameInfo(unsigned char preset, TSharedPtr<CFrameInfoReduceObject> info);
    // The frame information of `preset`. When there is none: with `create` a fresh object
    // (frame 0, time 0) is added and returned, without it the pointer is empty.
    TSharedPtr<CFrameInfoReduceObject> GetFrameInfo(unsigned char preset, bool create);

  private:
    struct Entry {
        unsigned char preset;
        TSharedPtr<CFrameInfoReduceObject> info;
    };
    std::vector<Entry> m_entries;
};

}  // namespace zel::file
