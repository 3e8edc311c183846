// Reduce-object containers of the imager-file library.
#include "suite/file/reduce_objects.h"

namespace zel::file {

CReduceObjectArray::CReduceObjectArray() = default;
CReduceObjectArray::~CReduceObjectArray() = default;
CReduceObjectArray::CReduceObjectArray(const CReduceObjectArray&) = default;
CReduceObjectArray& CReduceObjectArray::operator=(const CReduceObjectArray&) = default;

void CReduceObjectArray::Clear() {
    m_entries.clear();
}

void CReduceObjectArray::SetFrameInfo(unsigned char preset,
                                      TSharedPtr<CFrameInfoReduceObject> info) {
    for (Entry& entry : m_entries) {
        if (entry.preset == preset) {
            entry.info = std::move(info);
            return;
        }
    }
    m_entries.push_back(Entry{preset, std::move(info)});
}

TSharedPtr<CFrameInfoReduceObject> CReduceObjectArray::GetFrameInfo(unsigned char preset,
                                                                    bool create) {
    for (const Entry& entry : m_entries) {
        if (entry.preset == preset) {
            return entry.info;
        }
    }
    if (!create) {
        return TSharedPtr<CFrameInfoReduceObject>();
    }
    TSharedPtr<CFrameInfoReduceObject> fresh(new CFrameInfoReduceObject());
    m_entries.push_back(Entry{preset, fresh});
    return fresh;
}

}  // namespace zel::file
