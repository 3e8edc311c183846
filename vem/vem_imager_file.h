// CVemImagerFile: a drive movie read through the imager-file library ("VEM Imager File").
#pragma once

#include "suite/export.h"
#include "suite/file/raw_imager_file.h"

namespace zel::vem {

// A raw imager file whose two streams come from the drive's file system: the movie file and its
// ":info" block. Registered with the imager-file factory when the library loads.
//
// Failure behaviour: Open returns false and leaves the reader closed when the file system is not
// the drive's, the path names no movie, or either stream cannot be opened or read.
class ZELVEM_API CVemImagerFile : public file::CRawImagerFile {
  public:
    static constexpr const char* kFormatName = "VEM Imager File";

    ~CVemImagerFile() override;
    const char* GetFormatName() override;
    using file::CRawImagerFile::Open;
    bool Open(IFileSystem* fs, const CStringW& path, unsigned flags) override;
};

}  // namespace zel::vem
