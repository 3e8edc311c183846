// Key-value stores of the base library: CMemStore in memory, CINIStore saved as an INI file.
#pragma once

#include <utility>
#include <vector>

#include "suite/export.h"
#include "suite/strings.h"

namespace zel {

// Values addressed by key paths such as "meta/width": the text before the last '/' is the
// section, the rest the key. Section and key compare without regard to ASCII letter case, as
// INI files do; the order of first setting is kept.
class ZEL_API CMemStore {
  public:
    CMemStore() = default;
    virtual ~CMemStore();

    void SetString(const CString& keyPath, const CString& value);
    CString GetString(const CString& keyPath, const CString& defaultValue) const;
    bool HasKey(const CString& keyPath) const;
    void Clear();

  protected:
    std::vector<std::pair<CString, CString>> m_values;  // (key path, value)
};

// Reads and writes through the local file system. Text is UTF-8; "meta/width" is the key width
// in the section [meta], a key path without '/' a key before the first section.
class ZEL_API CINIStore : public CMemStore {
  public:
    // Replaces the contents with the file's; false (contents unchanged) when it cannot be read.
    bool Load(const CStringW& path);
    // Writes every value; false when the file cannot be written completely.
    bool Save(const CStringW& path) const;

    // The INI text of the contents, and its reading; Load and Save are these plus the file.
    CString ToText() const;
    void FromText(const CString& text);
};

}  // namespace zel
