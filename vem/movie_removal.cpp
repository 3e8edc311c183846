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
    bool refreshed = false;
    for (int attempt = 0; attempt < kRemoveAttempts; ++attempt) {
        uint32_t position = 0;
        SMovieKey key;
        std::vector<SMovieKey> before;
        bool found = false;
        {
            CAutoLock guard(cacheLock);
            found = findMovieLocked(entryName, position);
            if (found) {
                key = keyAtLocked(position);
                for (uint32_t i = 0; i < movies.size(); ++i) {
                    if (whole[i]) {
                        before.push_back(keyAtLocked(i));
                    }
                }
            }
        }
        if (!found) {
            // The list may have been read while another client changed the drive: only a list
            // read after this removal began says that the movie is not there.
            if (refreshed) {
                return Removal::NotFound;
            }
            refresh();
            refreshed = true;
            continue;
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
        // A position past the end is refused with an error reply on a channel that stays up:
        // the list is behind, as when another movie sits there.
        if (!asked && !requestChannel.isConnected()) {
            return Removal::Refused;
        }
        if (!same) {
            // The list lags the drive: read it again and look the name up anew.
            refresh();
            refreshed = true;
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
        // Still listed: the drive took something else, or nothing at all. Others' removals of
        // movies before ours shift the later ones into our position, so the movie taken in its
        // place is the first one missing after ours; missing ones before it went by other hands.
        const size_t ours =
            static_cast<size_t>(std::find(before.begin(), before.end(), key) - before.begin());
        auto missing = [&](size_t i) {
            return std::find(after.begin(), after.end(), before[i]) == after.end();
        };
        for (size_t i = ours + 1; i < before.size(); ++i) {
            if (missing(i)) {
                other = before[i].entryName;
                return Removal::WrongMovie;
            }
        }
        for (size_t i = 0; i < ours && i < before.size(); ++i) {
            if (missing(i)) {
                other = before[i].entryName;
                return Removal::WrongMovie;
            }
        }
        return Removal::Refused;
    }
    return Removal::Changing;
}

}  // namespace zel::vem
