// CPropertyArray: ordered text properties.
#include "suite/properties.h"

namespace zel {

void CPropertyArray::SetValue(const CString& key, const CString& value) {
    for (auto& item : m_items) {
        if (item.first == key) {
            item.second = value;
            return;
        }
    }
    m_items.emplace_back(key, value);
}

CString CPropertyArray::GetValue(const CString& key) const {
    for (const auto& item : m_items) {
        if (item.first == key) {
            return item.second;
        }
    }
    return CString();
}

CPropertyArray::CEntry CPropertyArray::operator[](const CString& key) const {
    for (const auto& item : m_items) {
        if (item.first == key) {
            return CEntry(true, item.second);
        }
    }
    return CEntry();
}

bool CPropertyArray::Remove(const CString& key) {
    for (auto it = m_items.begin(); it != m_items.end(); ++it) {
        if (it->first == key) {
            m_items.erase(it);
            return true;
        }
    }
    return false;
}

}  // namespace zel
