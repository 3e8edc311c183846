// CPropertyArray: ordered text properties (key, value) of a directory entry.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "suite/export.h"
#include "suite/strings.h"

namespace zel {

// Keys compare exactly (letter case significant); entries keep the order of first setting.
class ZEL_API CPropertyArray {
  public:
    class CEntry {
      public:
        CEntry() = default;
        CEntry(bool exists, CString value) : m_exists(exists), m_value(std::move(value)) {}
        bool exists() const { return m_exists; }
        const CString& value() const { return m_value; }

      private:
        bool m_exists = false;
        CString m_value;
    };

    // Replaces the value of an existing key, else appends the pair.
    void SetValue(const CString& key, const CString& value);
    // The empty string when the key is absent.
    CString GetValue(const CString& key) const;
    // A copy of the value, so the entry stays valid whatever happens to the array.
    CEntry operator[](const CString& key) const;
    bool Remove(const CString& key);

    uint32_t size() const { return static_cast<uint32_t>(m_items.size()); }
    bool empty() const { return m_items.empty(); }
    const CString& key(uint32_t i) const { return m_items.at(i).first; }
    const CString& value(uint32_t i) const { return m_items.at(i).second; }

  private:
    std::vector<std::pair<CString, CString>> m_items;
};

}  // namespace zel
