// CVemImagerFile and its registration with the imager-file factory at load time.
#include "vem/vem_imager_file.h"

#include "suite/file/imager_file_factory.h"
#include "vem/vem_interface.h"

namespace zel::vem {

namespace {

// Both streams are opened for reading, others may read them too.
constexpr unsigned kStreamMode = 0x12;

file::IImagerFile* CreateVemImagerFile() {
    return new (std::nothrow) CVemImagerFile;
}

void DestroyVemImagerFile(file::IImagerFile* file) {
    if (dynamic_cast<CVemImagerFile*>(file) != nullptr) {
        delete file;
    }
}

bool CanOpenPath(IFileSystem* fs, const CStringW& path) {
    auto* vem = dynamic_cast<CVemInterface*>(fs);
    return vem != nullptr && vem->GetInfo(path).attributes != 0x80000000u;
}

bool CanOpenFile(TSharedPtr<IFile> file) {
    // A bare file carries neither the movie's geometry nor its info block.
    return false;
}

[[maybe_unused]] const bool s_registered = file::imagerFileFactory()->RegisterFormat(
    CString(CVemImagerFile::kFormatName), &CreateVemImagerFile, &DestroyVemImagerFile, &CanOpenPath,
    &CanOpenFile, nullptr, nullptr, nullptr);

}  // namespace

CVemImagerFile::~CVemImagerFile() {
    file::CRawImagerFile::Close();
}

const char* CVemImagerFile::GetFormatName() {
    return kFormatName;
}

bool CVemImagerFile::Open(IFileSystem* fs, const CStringW& path, unsigned flags) {
    Close();
    auto* vem = dynamic_cast<CVemInterface*>(fs);
    if (vem == nullptr) {
        return false;
    }
    if (vem->GetInfo(path).attributes & 0x80000000u) {
        return false;
    }
    TSharedPtr<IFile> info = vem->OpenFile(path + u":info", kStreamMode);
    TSharedPtr<IFile> data = vem->OpenFile(path, kStreamMode);
    if (info && data && file::CRawImagerFile::Open(data, info, flags)) {
        return true;
    }
    Close();
    return false;
}

}  // namespace zel::vem
