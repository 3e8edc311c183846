// Removing a movie by name from a service that removes by position: confirm, remove, check.
#include <algorithm>
#include <vector>

#include "service/removal_lock.h"
#include "vem/vem_interface_private.h"

namespace zel::vem {

namespace {

// How often a removal looks the movie up again when the service shows another movie where the
// list put it; more renumberings than that during one removal fail it.
constexpr int kRemoveAttempts = 4;

}  // namespace

CVemInterfacePrivate::Removal CVemInterfacePrivate::removeMovie(const CStringW& entryName,
                                                                std::u16string& other) {
    // Every client of ours removes under this lock, so between our confirmation and our removal
    // no other zelvem client's removal can shift the positions (service/removal_lock.h).
    RemovalLock removing(kServicePipeName, lifecycleTimeoutMs);
    if (removing.busy()) {
        return Removal::Busy;
    }
    for (int attempt = 0; attempt < kRemoveAttempts; ++attempt) {
        uint32_t position = 0;
        SMovieKey key;
        std::vector<SMovieKey> before;
        {
            CAutoLock guard(cacheLock);
            if (!findMovieLocked(entryName, position)) {
                return Removal::NotFound;
            }
            key = keyAtLocked(position);
            for (uint32_t i = 0; i < movies.size(); ++i) {
                if (whole[i]) {
                    before.push_back(keyAtLocked(i));
                }
            }
        }
        // The confirmation and the removal leave back to back with the channel held, so no other
        // request of this process comes between them.
        if (!requestChannel.hold()) {
            return Removal::Refused;
        }
        SVemMovieInfo there{};
        const bool asked = requestChannel.GetMovieInfo(position, there);
        const bool same = asked && SMovieKey{movieEntryName(there).str(), there.rtcTime,
                                             there.width, there.height} == key;
        const bool removed = same && requestChannel.RemoveMovie(position);
        requestChannel.release();
        if (!asked) {
            return Removal::Refused;
        }
        if (!same) {
            // The list lags the drive: read it again and look the name up anew.
            refresh();
            continue;
        }
        if (!removed) {
            return Removal::Refused;
        }
        if (!refresh()) {
            return Removal::Unconfirmed;
        }
        CAutoLock guard(cacheLock);
        std::vector<SMovieKey> after;
        for (uint32_t i = 0; i < movies.size(); ++i) {
            if (whole[i]) {
                after.push_back(keyAtLocked(i));
            }
        }
        if (std::find(after.begin(), after.end(), key) == after.end()) {
            return Removal::Removed;
        }
        // Still listed: the drive took something else, or nothing at all.
        for (const SMovieKey& was : before) {
            if (!(was == key) && std::find(after.begin(), after.end(), was) == after.end()) {
                other = was.entryName;
                return Removal::WrongMovie;
            }
        }
        return Removal::Refused;
    }
    return Removal::Changing;
}

}  // namespace zel::vem
