// CUriHandler: the process's registry of file systems by URI scheme ("vem:" and the like).
#pragma once

#include <mutex>
#include <utility>
#include <vector>

#include "suite/export.h"
#include "suite/filesystem.h"
#include "suite/strings.h"

namespace zel {

class ZEL_API CUriHandler {
  public:
    static CUriHandler* instance();

    // scheme includes its colon, e.g. "vem:". Registering a scheme again replaces its handler
    // (letter case ignored). False for an empty scheme or a null handler.
    bool RegisterHandler(const CStringW& scheme, IFileSystem* handler);
    // The handler of the longest registered scheme that starts path (letter case ignored);
    // the local file system when none does.
    IFileSystem* GetHandler(const CStringW& path);

  private:
    CUriHandler() = default;

    // m_lock guards m_handlers; it is a leaf lock: no other lock is taken while it is held and
    // handlers are never called under it.
    std::mutex m_lock;
    std::vector<std::pair<CStringW, IFileSystem*>> m_handlers;
};

}  // namespace zel
