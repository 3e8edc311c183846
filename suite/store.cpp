// Key-value stores: memory, and the INI text format on the local file system.
#include "suite/store.h"

#include <string>

#include "suite/local_file_system.h"

namespace zel {

namespace {

char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

std::string Trim(const std::string& s) {
    const char* blanks = " \t\r\n";
    const size_t first = s.find_first_not_of(blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

void SplitKeyPath(const std::string& keyPath, std::string* section, std::string* key) {
    const size_t slash = keyPath.rfind('/');
    if (slash == std::string::npos) {
        section->clear();
        *key = keyPath;
    } else {
        *section = keyPath.substr(0, slash);
        *key = keyPath.substr(slash + 1);
    }
}

// A line break inside a value would end it early when read back.
std::string OneLine(const std::string& s) {
    std::string out = s;
    for (char& c : out) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
    return out;
}

constexpr uint32_t kMaxIniSize = 16u * 1024 * 1024;

}  // namespace

CMemStore::~CMemStore() = default;

void CMemStore::SetString(const CString& keyPath, const CString& value) {
    for (auto& item : m_values) {
        if (EqualsNoCase(item.first.str(), keyPath.str())) {
            item.second = value;
            return;
        }
    }
    m_values.emplace_back(keyPath, value);
}

CString CMemStore::GetString(const CString& keyPath, const CString& defaultValue) const {
    for (const auto& item : m_values) {
        if (EqualsNoCase(item.first.str(), keyPath.str())) {
            return item.second;
        }
    }
    return defaultValue;
}

bool CMemStore::HasKey(const CString& keyPath) const {
    for (const auto& item : m_values) {
        if (EqualsNoCase(item.first.str(), keyPath.str())) {
            return true;
        }
    }
    return false;
}

void CMemStore::Clear() {
    m_values.clear();
}

CString CINIStore::ToText() const {
    // Sections in the order they first appear; keys without a section come first.
    std::vector<std::string> sections{std::string()};
    for (const auto& item : m_values) {
        std::string section, key;
        SplitKeyPath(item.first.str(), &section, &key);
        bool known = false;
        for (const auto& s : sections) {
            known = known || EqualsNoCase(s, section);
        }
        if (!known) {
            sections.push_back(section);
        }
    }
    std::string text;
    for (const auto& section : sections) {
        std::string body;
        for (const auto& item : m_values) {
            std::string itemSection, key;
            SplitKeyPath(item.first.str(), &itemSection, &key);
            if (EqualsNoCase(itemSection, section)) {
                body += OneLine(key) + "=" + OneLine(item.second.str()) + "\n";
            }
        }
        if (body.empty()) {
            continue;
        }
        if (!section.empty()) {
            if (!text.empty()) {
                text += "\n";
            }
            text += "[" + OneLine(section) + "]\n";
        }
        text += body;
    }
    return CString(text);
}

void CINIStore::FromText(const CString& text) {
    m_values.clear();
    std::string all = text.str();
    if (all.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        all.erase(0, 3);  // a byte-order mark from an editor
    }
    std::string section;
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos) {
            end = all.size();
        }
        const std::string line = Trim(all.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            const size_t close = line.find(']');
            if (close != std::string::npos) {
                section = Trim(line.substr(1, close - 1));
            }
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;  // not a key line; skipped rather than failing the whole file
        }
        const std::string key = Trim(line.substr(0, eq));
        if (key.empty()) {
            continue;
        }
        const std::string value = Trim(line.substr(eq + 1));
        SetString(CString(section.empty() ? key : section + "/" + key), CString(value));
    }
}

bool CINIStore::Load(const CStringW& path) {
    TSharedPtr<IFile> file = fileSystem()->OpenFile(path, kOpenRead | kOpenShareRead);
    if (!file) {
        return false;
    }
    const int64_t size = file->GetSize();
    if (size < 0 || size > kMaxIniSize) {
        return false;
    }
    std::string text(static_cast<size_t>(size), '\0');
    if (size > 0 && file->Read(&text[0], static_cast<uint32_t>(size)) != size) {
        return false;
    }
    FromText(CString(std::move(text)));
    return true;
}

bool CINIStore::Save(const CStringW& path) const {
    TSharedPtr<IFile> file = fileSystem()->OpenFile(path, kOpenWrite | kOpenCreate);
    if (!file) {
        return false;
    }
    const CString text = ToText();
    const bool written =
        text.empty() || file->WriteBytes(text.c_str(), static_cast<unsigned int>(text.length()));
    file->Flush();
    return file->Close() && written;
}

}  // namespace zel
