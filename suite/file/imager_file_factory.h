// CImagerFileFactory: the process's registry of imager-file formats, and opening paths through it.
#pragma once

#include <mutex>
#include <vector>

#include "suite/export.h"
#include "suite/file/imager_file.h"
#include "suite/strings.h"

namespace zel::file {

typedef IImagerFile* (*ImagerFileCreateFn)();
typedef void (*ImagerFileDestroyFn)(IImagerFile* file);
typedef bool (*ImagerFileCanOpenPathFn)(IFileSystem* fs, const CStringW& path);
typedef bool (*ImagerFileCanOpenFileFn)(TSharedPtr<IFile> file);

// Formats are asked in registration order. The raw format ("Raw Imager File", ".dat" paths on
// any file system) is registered first, by the factory itself.
class ZELFILE_API CImagerFileFactory {
  public:
    CImagerFileFactory();
    ~CImagerFileFactory();
    CImagerFileFactory(const CImagerFileFactory&) = delete;
    CImagerFileFactory& operator=(const CImagerFileFactory&) = delete;

    // Registers a format. `create` and `destroy` are required; either probe may be null (that
    // probe then answers no). The three trailing pointers are reserved for later use (icons,
    // descriptions) and may be null; they are kept, not read. False when the name is empty,
    // a required function is missing or the name is registered already (the first one stays).
    bool RegisterFormat(const CString& formatName, ImagerFileCreateFn create,
                        ImagerFileDestroyFn destroy, ImagerFileCanOpenPathFn canOpenPath,
                        ImagerFileCanOpenFileFn canOpenFile, const void* reserved1,
                        const void* reserved2, const void* reserved3);

    bool IsRegistered(const CString& formatName) const;
    std::vector<CString> GetFormatNames() const;

    // Opens `path` with the first format whose can-open-path probe accepts it and whose reader
    // then opens it; a format that accepts but fails to open is passed over for the next one.
    // Null when no format opens it. Give the result back with Destroy.
    IImagerFile* OpenPath(IFileSystem* fs, const CStringW& path, unsigned flags);
    // Destroys a reader through the destroy function of the format it names (GetFormatName);
    // a reader of a format not registered here is left alone. Null is ignored.
    void Destroy(IImagerFile* file);

  private:
    struct Format {
        CString name;
        ImagerFileCreateFn create;
        ImagerFileDestroyFn destroy;
        ImagerFileCanOpenPathFn canOpenPath;
        ImagerFileCanOpenFileFn canOpenFile;
        const void* reserved[3];
    };
    std::vector<Format> snapshot() const;

    // Guards m_formats. The probes, create and destroy functions are called on a copy of the
    // list with the lock released, so a format may use the factory from inside them.
    mutable std::mutex m_lock;
    std::vector<Format> m_formats;
};

// The process's factory, built on first use (thread-safe) and kept until the process ends.
ZELFILE_API CImagerFileFactory* imagerFileFactory();

}  // namespace zel::file
