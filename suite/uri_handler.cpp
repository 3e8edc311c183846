// CUriHandler: the registry of file systems by URI scheme.
#include "suite/uri_handler.h"

#include "suite/local_file_system.h"

namespace zel {

namespace {

char16_t FoldAscii(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
}

bool StartsWithNoCase(const CStringW& text, const CStringW& prefix) {
    if (text.length() < prefix.length()) {
        return false;
    }
    for (size_t i = 0; i < prefix.length(); ++i) {
        if (FoldAscii(text[i]) != FoldAscii(prefix[i])) {
            return false;
        }
    }
    return true;
}

bool EqualsNoCase(const CStringW& a, const CStringW& b) {
    return a.length() == b.length() && StartsWithNoCase(a, b);
}

}  // namespace

CUriHandler* CUriHandler::instance() {
    static CUriHandler registry;
    return &registry;
}

bool CUriHandler::RegisterHandler(const CStringW& scheme, IFileSystem* handler) {
    if (scheme.empty() || handler == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& entry : m_handlers) {
        if (EqualsNoCase(entry.first, scheme)) {
            entry.second = handler;
            return true;
        }
    }
    m_handlers.emplace_back(scheme, handler);
    return true;
}

IFileSystem* CUriHandler::GetHandler(const CStringW& path) {
    IFileSystem* found = nullptr;
    size_t foundLength = 0;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (const auto& entry : m_handlers) {
            if (entry.first.length() > foundLength && StartsWithNoCase(path, entry.first)) {
                found = entry.second;
                foundLength = entry.first.length();
            }
        }
    }
    return found != nullptr ? found : fileSystem();
}

}  // namespace zel
