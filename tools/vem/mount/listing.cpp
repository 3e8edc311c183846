// The listing's diff and the inode table: plain data, no FUSE and no calls to the drive.
#include "mount/listing.h"

#include <cctype>

#include "movies/movie_path.h"

namespace vemcli::mount {

namespace {

const char kInfoSuffix[] = ":info";
constexpr size_t kInfoSuffixLength = sizeof kInfoSuffix - 1;
constexpr size_t kLongestName = 255;

}  // namespace

bool MovieEntry::operator==(const MovieEntry& o) const {
    return sameMovie(o) && xattrs == o.xattrs;
}

bool MovieEntry::sameMovie(const MovieEntry& o) const {
    // The sides too: the views' layouts follow from them.
    return number == o.number && recordedName == o.recordedName &&
           recordingTime == o.recordingTime && size == o.size && frameBytes == o.frameBytes &&
           description.width == o.description.width && description.height == o.description.height;
}

MovieEntry entryOf(const zel::vem::MovieDescription& movie) {
    MovieEntry entry;
    entry.description = movie;
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

std::string rootNameOf(const std::string& movie, NodeKind kind) {
    switch (kind) {
        case NodeKind::Info:
            return movie + kInfoSuffix;
        case NodeKind::OmeTiff:
            return zel::vem::viewEntryName(movie, zel::vem::MovieView::OmeTiff);
        case NodeKind::ZarrFolder:
            return zel::vem::viewEntryName(movie, zel::vem::MovieView::Zarr);
        default:
            return movie;
    }
}

bool hasView(const zel::vem::MovieDescription& movie, NodeKind kind) {
    if (!movie.framesReadable()) {
        return false;
    }
    if (kind == NodeKind::OmeTiff) {
        return movie.frameCount > 0 && movie.width > 0 && movie.width <= 65535 &&
               movie.height > 0 && movie.height <= 65535;
    }
    return kind == NodeKind::ZarrFolder;
}

std::optional<RootName> resolveRootName(const Listing& listing, const std::string& name,
                                        bool views) {
    if (listing.count(name) != 0) {
        return RootName{name, NodeKind::Movie};
    }
    std::string movie;
    if (splitInfoName(name, movie)) {
        if (listing.count(movie) != 0) {
            return RootName{movie, NodeKind::Info};
        }
        return std::nullopt;
    }
    if (!views) {
        return std::nullopt;
    }
    const zel::vem::MovieView view = zel::vem::splitViewName(name, movie);
    if (view == zel::vem::MovieView::None) {
        return std::nullopt;
    }
    const NodeKind kind =
        view == zel::vem::MovieView::OmeTiff ? NodeKind::OmeTiff : NodeKind::ZarrFolder;
    auto found = listing.find(movie);
    if (found != listing.end() && hasView(found->second.description, kind)) {
        return RootName{movie, kind};
    }
    return std::nullopt;
}

std::vector<std::pair<std::string, RootName>> rootEntries(const Listing& listing, bool views) {
    std::vector<std::pair<std::string, RootName>> entries;
    entries.reserve(listing.size() * (views ? 3 : 1));
    for (const auto& movie : listing) {
        entries.emplace_back(movie.first, RootName{movie.first, NodeKind::Movie});
        if (!views) {
            continue;
        }
        for (const NodeKind kind : {NodeKind::OmeTiff, NodeKind::ZarrFolder}) {
            std::string name = rootNameOf(movie.first, kind);
            if (name.size() <= kLongestName && listing.count(name) == 0 &&
                hasView(movie.second.description, kind)) {
                entries.emplace_back(std::move(name), RootName{movie.first, kind});
            }
        }
    }
    return entries;
}

bool showableName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > kLongestName) {
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

std::string InodeTable::key(const std::string& movie, NodeKind kind, const std::string& key) {
    // No shown name holds a NUL: the movie's nodes sort together, after the movie's name.
    std::string text = movie;
    text.push_back('\0');
    text.push_back(static_cast<char>('0' + static_cast<int>(kind)));
    text += key;
    return text;
}

uint64_t InodeTable::remember(const std::string& movie, NodeKind kind, const MovieEntry& entry,
                              const std::string& fileKey) {
    const std::string name = key(movie, kind, fileKey);
    auto found = byName_.find(name);
    uint64_t ino = 0;
    if (found != byName_.end()) {
        ino = found->second;
    } else {
        ino = next_++;
        byName_.emplace(name, ino);
        Node& node = nodes_[ino];
        node.movie = movie;
        node.kind = kind;
        node.key = fileKey;
    }
    Node& node = nodes_[ino];
    ++node.lookups;
    node.last = entry;
    return ino;
}

uint64_t InodeTable::find(const std::string& movie, NodeKind kind,
                          const std::string& fileKey) const {
    auto found = byName_.find(key(movie, kind, fileKey));
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
        byName_.erase(key(node.movie, node.kind, node.key));
    }
    nodes_.erase(found);
}

std::vector<uint64_t> InodeTable::inodesOf(const std::string& movie) const {
    std::vector<uint64_t> inodes;
    const std::string prefix = movie + '\0';
    for (auto at = byName_.lower_bound(prefix);
         at != byName_.end() && at->first.compare(0, prefix.size(), prefix) == 0; ++at) {
        inodes.push_back(at->second);
    }
    return inodes;
}

void InodeTable::detach(const std::string& movie, bool zarrOnly) {
    const std::string prefix = movie + '\0';
    for (auto at = byName_.lower_bound(prefix);
         at != byName_.end() && at->first.compare(0, prefix.size(), prefix) == 0;) {
        Node& node = nodes_[at->second];
        if (zarrOnly && node.kind != NodeKind::ZarrFolder && node.kind != NodeKind::ZarrFile) {
            ++at;
            continue;
        }
        node.attached = false;
        at = byName_.erase(at);
    }
}

}  // namespace vemcli::mount
