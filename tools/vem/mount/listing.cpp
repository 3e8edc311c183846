// The listing's diff and the inode table: plain data, no FUSE and no library calls.
#include "mount/listing.h"

#include <cctype>

namespace vemcli::mount {

namespace {

const char kInfoSuffix[] = ":info";
constexpr size_t kInfoSuffixLength = sizeof kInfoSuffix - 1;

}  // namespace

bool MovieEntry::operator==(const MovieEntry& o) const {
    return sameMovie(o) && xattrs == o.xattrs;
}

bool MovieEntry::sameMovie(const MovieEntry& o) const {
    return number == o.number && recordedName == o.recordedName &&
           recordingTime == o.recordingTime && size == o.size && frameBytes == o.frameBytes;
}

MovieEntry entryOf(const zel::vem::MovieDescription& movie) {
    MovieEntry entry;
    entry.number = movie.number;
    entry.recordedName = movie.name;
    entry.recordingTime = movie.recordingTime;
    entry.size = movie.size;
    entry.frameBytes = movie.frameBytes;
    // The same texts and order as the library's properties (and `vem info`).
    entry.xattrs = {
        {"user.vem.width", std::to_string(movie.width)},
        {"user.vem.height", std::to_string(movie.height)},
        {"user.vem.numFrames", std::to_string(movie.frameCount)},
        {"user.vem.index", std::to_string(movie.index)},
        {"user.vem.startTime", movie.startTime},
        {"user.vem.endTime", movie.endTime},
        {"user.vem.duration", std::to_string(movie.durationMicroseconds)},
    };
    return entry;
}

bool splitInfoName(const std::string& name, std::string& movie) {
    if (name.size() <= kInfoSuffixLength) {
        return false;
    }
    const size_t at = name.size() - kInfoSuffixLength;
    for (size_t i = 0; i < kInfoSuffixLength; ++i) {
        if (std::tolower(static_cast<unsigned char>(name[at + i])) != kInfoSuffix[i]) {
            return false;
        }
    }
    movie = name.substr(0, at);
    return true;
}

bool showableName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 255) {
        return false;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7f || c == '/') {
            return false;
        }
        // U+0080..U+009F are C1 controls: UTF-8 0xC2 0x80..0x9F.
        if (c == 0xc2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(name[i + 1]) <= 0x9f) {
            return false;
        }
    }
    std::string movie;
    return !splitInfoName(name, movie);
}

Listing listingOf(const std::vector<zel::vem::MovieDescription>& movies, size_t* leftOut) {
    Listing listing;
    size_t refused = 0;
    for (const auto& movie : movies) {
        if (!showableName(movie.entryName)) {
            ++refused;
            continue;
        }
        listing.emplace(movie.entryName, entryOf(movie));
    }
    if (leftOut != nullptr) {
        *leftOut = refused;
    }
    return listing;
}

ListingChanges diffListings(const Listing& before, const Listing& after) {
    ListingChanges changes;
    for (const auto& old : before) {
        auto now = after.find(old.first);
        if (now == after.end()) {
            changes.went.push_back(old.first);
        } else if (now->second != old.second) {
            changes.changed.push_back(old.first);
            if (!now->second.sameMovie(old.second)) {
                changes.replaced.push_back(old.first);
            }
        }
    }
    for (const auto& now : after) {
        if (before.find(now.first) == before.end()) {
            changes.appeared.push_back(now.first);
        }
    }
    return changes;
}

std::string InodeTable::key(const std::string& movie, bool info) {
    return info ? movie + kInfoSuffix : movie;
}

uint64_t InodeTable::remember(const std::string& movie, bool info, const MovieEntry& entry) {
    const std::string name = key(movie, info);
    auto found = byName_.find(name);
    uint64_t ino = 0;
    if (found != byName_.end()) {
        ino = found->second;
    } else {
        ino = next_++;
        byName_.emplace(name, ino);
        Node& node = nodes_[ino];
        node.movie = movie;
        node.info = info;
    }
    Node& node = nodes_[ino];
    ++node.lookups;
    node.last = entry;
    return ino;
}

uint64_t InodeTable::find(const std::string& movie, bool info) const {
    auto found = byName_.find(key(movie, info));
    return found == byName_.end() ? 0 : found->second;
}

InodeTable::Node* InodeTable::node(uint64_t ino) {
    auto found = nodes_.find(ino);
    return found == nodes_.end() ? nullptr : &found->second;
}

void InodeTable::forget(uint64_t ino, uint64_t lookups) {
    auto found = nodes_.find(ino);
    if (found == nodes_.end()) {
        return;
    }
    Node& node = found->second;
    node.lookups = lookups >= node.lookups ? 0 : node.lookups - lookups;
    if (node.lookups != 0) {
        return;
    }
    if (node.attached) {
        byName_.erase(key(node.movie, node.info));
    }
    nodes_.erase(found);
}

void InodeTable::detach(const std::string& movie) {
    for (const bool info : {false, true}) {
        auto found = byName_.find(key(movie, info));
        if (found != byName_.end()) {
            nodes_[found->second].attached = false;
            byName_.erase(found);
        }
    }
}

}  // namespace vemcli::mount
