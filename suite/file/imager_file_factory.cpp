// CImagerFileFactory: format registry and opening of paths, with the raw format built in.
#include "suite/file/imager_file_factory.h"

#include <cstring>

#include "suite/file/raw_imager_file.h"

namespace zel::file {

namespace {

IImagerFile* createRaw() {
    return new CRawImagerFile();
}

void destroyRaw(IImagerFile* file) {
    delete file;
}

bool rawCanOpenPath(IFileSystem* fs, const CStringW& path) {
    return fs != nullptr && path.EndsWithNoCase(CStringW(u".dat"));
}

// A raw movie needs two streams; a single file is never enough.
bool rawCanOpenFile(TSharedPtr<IFile>) {
    return false;
}

}  // namespace

CImagerFileFactory::CImagerFileFactory() {
    m_formats.push_back(Format{CString(CRawImagerFile::kFormatName),
                               createRaw,
                               destroyRaw,
                               rawCanOpenPath,
                               rawCanOpenFile,
                               {nullptr, nullptr, nullptr}});
}

CImagerFileFactory::~CImagerFileFactory() = default;

bool CImagerFileFactory::RegisterFormat(const CString& formatName, ImagerFileCreateFn create,
                                        ImagerFileDestroyFn destroy,
                                        ImagerFileCanOpenPathFn canOpenPath,
                                        ImagerFileCanOpenFileFn canOpenFile, const void* reserved1,
                                        const void* reserved2, const void* reserved3) {
    if (formatName.empty() || create == nullptr || destroy == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> hold(m_lock);
    for (const Format& format : m_formats) {
        if (format.name == formatName) {
            return false;
        }
    }
    m_formats.push_back(Format{
        formatName, create, destroy, canOpenPath, canOpenFile, {reserved1, reserved2, reserved3}});
    return true;
}

bool CImagerFileFactory::IsRegistered(const CString& formatName) const {
    std::lock_guard<std::mutex> hold(m_lock);
    for (const Format& format : m_formats) {
        if (format.name == formatName) {
            return true;
        }
    }
    return false;
}

std::vector<CString> CImagerFileFactory::GetFormatNames() const {
    std::vector<CString> names;
    for (const Format& format : snapshot()) {
        names.push_back(format.name);
    }
    return names;
}

std::vector<CImagerFileFactory::Format> CImagerFileFactory::snapshot() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_formats;
}

IImagerFile* CImagerFileFactory::OpenPath(IFileSystem* fs, const CStringW& path, unsigned flags) {
    for (const Format& format : snapshot()) {
        if (format.canOpenPath == nullptr || !format.canOpenPath(fs, path)) {
            continue;
        }
        IImagerFile* file = format.create();
        if (file == nullptr) {
            continue;
        }
        if (file->Open(fs, path, flags)) {
            return file;
        }
        format.destroy(file);
    }
    return nullptr;
}

void CImagerFileFactory::Destroy(IImagerFile* file) {
    if (file == nullptr) {
        return;
    }
    const char* name = file->GetFormatName();
    if (name == nullptr) {
        return;
    }
    for (const Format& format : snapshot()) {
        if (std::strcmp(format.name.c_str(), name) == 0) {
            format.destroy(file);
            return;
        }
    }
}

CImagerFileFactory* imagerFileFactory() {
    // Never destroyed: modules may still register or open readers from their own static
    // destructors, whose order against ours is not defined.
    static CImagerFileFactory* const factory = new CImagerFileFactory();
    return factory;
}

}  // namespace zel::file
