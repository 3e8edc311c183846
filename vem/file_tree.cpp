// CVemInterface: the drive's flat tree -- entries, listings, opening and removing movies.
#include <cstring>
#include <string>

#include "service/irig_time.h"
#include "suite/numbers.h"
#include "suite/path.h"
#include "vem/emulator_store.h"
#include "vem/local_names.h"
#include "vem/vem_file.h"
#include "vem/vem_interface.h"
#include "vem/vem_interface_private.h"

namespace zel::vem {

namespace {

constexpr uint32_t kMovieEntry = 2;
constexpr uint32_t kNoEntry = 0x80000000;
const CStringW kInfoSuffix(u":info");

// The recorded name: the field up to its first NUL, never past its 64 bytes.
std::string recordedName(const SVemMovieInfo& movie) {
    return std::string(movie.name, strnlen(movie.name, sizeof movie.name));
}

// The caller holds cacheLock.
void fillMovieEntry(CDirectoryEntry& entry, const SVemMovieInfo& movie, uint32_t index) {
    entry.attributes = kMovieEntry;
    // rtcTime counts seconds from 1970; time stamps of kind 0 count 100 ns from 1601.
    entry.time = CDateTime::NewTimestamp(
        (static_cast<long long>(movie.rtcTime) + 11644473600LL) * 10000000LL, 0);
    entry.size = uint64_t{movie.width} * movie.height * movie.numFrames * 2;
    SIrigTime start = DecodeIrigTime(movie.startTime);
    SIrigTime end = DecodeIrigTime(movie.endTime);
    entry.properties.SetValue(CString("width"), CUInt16::ToString(movie.width));
    entry.properties.SetValue(CString("height"), CUInt16::ToString(movie.height));
    entry.properties.SetValue(CString("numFrames"), CUInt64::ToString(movie.numFrames));
    entry.properties.SetValue(CString("index"), CUInt32::ToString(index));
    entry.properties.SetValue(CString("startTime"), CString(FormatIrigTime(start).c_str()));
    entry.properties.SetValue(CString("endTime"), CString(FormatIrigTime(end).c_str()));
    // Unsigned on purpose: an end before the start wraps around, as the drive's tools expect.
    entry.properties.SetValue(CString("duration"),
                              CUInt64::ToString(IrigMicroseconds(end) - IrigMicroseconds(start)));
}

// How often OpenFile looks a name up again when the movie list changed while it opened a
// movie; more changes than that during one open fail it.
constexpr int kOpenAttempts = 4;

}  // namespace

CStringW movieEntryName(const SVemMovieInfo& movie) {
    std::string text = std::to_string(movie.number) + "-" + recordedName(movie);
    return CStringW(text.c_str(), static_cast<int>(text.size()));
}

void CVemInterfacePrivate::rebuildIndexLocked() {
    movieIndex.clear();
    try {
        movieIndex.reserve(movies.size());
        for (uint32_t i = 0; i < movies.size(); ++i) {
            // emplace keeps an existing key: the first of two equal names wins, as in a scan.
            if (whole[i]) {
                movieIndex.emplace(movieEntryName(movies[i]).str(), i);
            }
        }
    } catch (...) {
        movieIndex.clear();
        movies.clear();
        throw;
    }
}

bool CVemInterfacePrivate::findMovieLocked(const CStringW& entryName, uint32_t& position) const {
    auto found = movieIndex.find(entryName.str());
    if (found == movieIndex.end()) {
        return false;
    }
    position = found->second;
    return true;
}

CDirectoryEntry CVemInterface::GetInfo(const CStringW& path) {
    CStringW full = GetFullPath(path);
    CDirectoryEntry entry;
    entry.name = path::GetFilename(full);
    entry.path = full;
    if (hasControlCharacter(full)) {
        entry.attributes = kNoEntry;
        return entry;
    }
    if (d->emulator) {
        return emulatorGetInfo(GetEmulatorFolder(), entry.name);
    }
    CAutoLock guard(d->cacheLock);
    // Only the last component counts: /a/b/12-run_a names the same movie as /12-run_a.
    uint32_t i = 0;
    if (d->findMovieLocked(entry.name, i)) {
        fillMovieEntry(entry, d->movies[i], i);
        return entry;
    }
    entry.attributes = kNoEntry;
    return entry;
}

CDirectoryListing CVemInterface::GetDirectoryListing(const CStringW& path, const CStringW& filter) {
    CDirectoryListing listing;
    listing.owner = this;
    listing.path = GetFullPath(path);
    if (listing.path != CStringW(u"/")) {
        return listing;  // the tree is flat: only the root has entries
    }
    if (d->emulator) {
        emulatorListing(GetEmulatorFolder(), listing);
        listing.owner = this;
        return listing;
    }
    CAutoLock guard(d->cacheLock);
    for (uint32_t i = 0; i < d->movies.size(); ++i) {
        if (!d->whole[i]) {
            continue;  // read half: not the drive's movie (refresh says more)
        }
        const SVemMovieInfo& movie = d->movies[i];
        // The filter applies to the recorded name, not to the listed "<number>-<name>".
        if (!filter.empty()) {
            std::string name = recordedName(movie);
            if (!path::WildcardMatch(filter,
                                     CStringW(name.c_str(), static_cast<int>(name.size())))) {
                continue;
            }
        }
        CDirectoryEntry entry;
        entry.name = movieEntryName(movie);
        entry.path = path::MakePath(listing.path, entry.name, u'/');
        fillMovieEntry(entry, movie, i);
        listing.entries.append(std::move(entry));
    }
    return listing;
}

bool CVemInterface::RemoveFile(const CStringW& path) {
    if (hasControlCharacter(path)) {
        return false;  // names no movie in either mode (vem/local_names.h)
    }
    if (d->emulator) {
        if (!emulatorRemove(GetEmulatorFolder(), path::GetFilename(path))) {
            return false;
        }
        CAutoLock guard(d->cacheLock);
        d->notifyHandlersLocked();
        return true;
    }
    CDirectoryEntry entry = GetInfo(path);
    if (entry.attributes != kMovieEntry) {
        return false;  // no such movie, or an ":info" stream, which is not a file of its own
    }
    std::u16string other;
    return d->removeMovie(entry.name, other) == CVemInterfacePrivate::Removal::Removed;
}

TSharedPtr<IFile> CVemInterface::OpenFile(const CStringW& path, unsigned int mode) {
    if (hasControlCharacter(path)) {
        return TSharedPtr<IFile>();  // names no movie in either mode (vem/local_names.h)
    }
    bool info = path.EndsWithNoCase(kInfoSuffix);
    CStringW moviePath = info ? path.substr(0, path.length() - kInfoSuffix.length()) : path;
    if (d->emulator) {
        CStringW local = path::GetFilename(moviePath) + (info ? u".info" : u".dat");
        return emulatorOpen(GetEmulatorFolder(), local, mode);
    }
    const CStringW name = path::GetFilename(GetFullPath(moviePath));
    // The list may lag the service (another client renumbered the drive and its event has not
    // arrived): what the service set up is confirmed against the movie, and the list read again
    // when they disagree, so the file never carries another movie's bytes under this name.
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        uint64_t seen = 0;
        uint32_t position = 0;
        SMovieKey key;
        uint64_t numFrames = 0;
        {
            CAutoLock guard(d->cacheLock);
            seen = d->generation.load();
            if (!d->findMovieLocked(name, position)) {
                return TSharedPtr<IFile>();
            }
            key = d->keyAtLocked(position);
            numFrames = d->movies[position].numFrames;
        }
        if (info) {
            TSharedPtr<CMemFile> block = CMemFile::Create();
            if (!d->requestChannel.GetFileData(position, block)) {
                return TSharedPtr<IFile>();
            }
            const CVemInterfacePrivate::Held held = d->serviceHolds(position, key);
            if (held == CVemInterfacePrivate::Held::Yes) {
                block->SeekToBegin();
                return block;
            }
            if (held == CVemInterfacePrivate::Held::NoAnswer) {
                return TSharedPtr<IFile>();
            }
            d->refresh();
            continue;
        }
        const uint64_t frameBytes = uint64_t{key.width} * key.height * 2;
        // The protocol counts a frame's bytes in 32 bits: a larger frame would be cut at the
        // wrong place, so such a movie reads nothing.
        if (frameBytes == 0 || frameBytes > UINT32_MAX) {
            return TSharedPtr<IFile>(new CVemFile(this, nullptr, name, numFrames));
        }
        std::shared_ptr<ServiceFile> file =
            d->files.acquire(*d, key, static_cast<uint32_t>(frameBytes));
        if (file->ensureMapped(position, seen)) {
            return TSharedPtr<IFile>(new CVemFile(this, std::move(file), name, numFrames));
        }
        if (file->retired()) {
            continue;  // made on a connection that is gone: the next pass gets a new one
        }
        switch (d->serviceHolds(position, key)) {
            case CVemInterfacePrivate::Held::Yes:
            case CVemInterfacePrivate::Held::NoAnswer:
                // No usable section (or no service to ask): a file of length 0, as for any
                // section that cannot be had; the next open asks again.
                return TSharedPtr<IFile>(new CVemFile(this, nullptr, name, numFrames));
            case CVemInterfacePrivate::Held::Other:
                break;
        }
        d->refresh();
    }
    return TSharedPtr<IFile>();
}

}  // namespace zel::vem
