// The emulator's local store: entries from ".dat" files, properties from ".meta" INI files.
#include "vem/emulator_store.h"

#include <string>

#include "suite/datetime.h"
#include "suite/file/raw_imager_file.h"
#include "suite/local_file_system.h"
#include "suite/numbers.h"
#include "suite/path.h"
#include "suite/store.h"
#include "vem/local_names.h"

namespace zel::vem {

namespace {

constexpr uint32_t kNoEntry = 0x80000000;
constexpr uint32_t kMovieEntry = 2;
const char kNoTime[] = "000:00:00:00.000.000";

CStringW inFolder(const CStringW& folder, const CStringW& fileName) {
    return path::MakePath(folder, fileName, u'/');
}

// Whether `name` may be handed to the local file system at all: a control character or a name
// the system takes for a device could reach something that is not a movie file of the folder.
bool usableName(const CStringW& name) {
    return !name.empty() && !hasControlCharacter(name) && !isDeviceName(name);
}

// The time of one frame, as the raw imager file reports it; false when it has none.
bool frameTime(file::CRawImagerFile& raw, uint64_t frame, file::CReduceObjectArray& objects,
               CDateTime& time) {
    unsigned char preset = 0;
    if (frame > 0xFFFFFFFFu ||
        !raw.GetReduceObjectsForFrame(static_cast<uint32_t>(frame), preset, objects)) {
        return false;
    }
    TSharedPtr<file::CFrameInfoReduceObject> info = objects.GetFrameInfo(preset, false);
    if (!info) {
        return false;
    }
    time = info->GetTimestamp();
    return true;
}

// Writes the ".meta" values of a movie from its ".dat" file; false when that cannot be read.
bool createMetaValues(const CStringW& metaPath, const CStringW& name, CINIStore& store) {
    file::CRawImagerFile raw;
    const CStringW dataPath = path::ChangeExtension(metaPath, CStringW(u".dat"));
    if (!isRegularLocalFile(dataPath) || !raw.Open(fileSystem(), dataPath, 0)) {
        return false;
    }
    store.SetString("meta/width", to_string(raw.xPixels()));
    store.SetString("meta/height", to_string(raw.yPixels()));
    store.SetString("meta/numFrames", CUInt64::ToString(raw.nFrames()));
    CDateTime start;
    CDateTime end;
    file::CReduceObjectArray objects;
    if (frameTime(raw, 0, objects, start)) {
        end = start;
        store.SetString("meta/startTime", start.Format("%j:%(irig)"));
    }
    // With no frames this asks for frame 2^64-1, which does not exist: the end stays unset.
    if (frameTime(raw, raw.nFrames() - 1, objects, end)) {
        store.SetString("meta/endTime", end.Format("%j:%(irig)"));
    }
    store.SetString("meta/duration",
                    to_string(static_cast<long long>((end - start).GetTimestamp(1))));
    size_t dash = name.find(u'-');
    store.SetString("meta/index",
                    dash == CStringW::npos ? CString("0") : name.substr(0, dash).ToUtf8());
    store.Save(metaPath);  // a folder we cannot write to still serves the values just read
    return true;
}

// Fills the entry's properties from its ".meta" file, creating the file on first use. False when
// there is neither a loadable ".meta" file nor a readable ".dat" file.
bool fillFromMetaFile(const CStringW& folder, CDirectoryEntry& entry) {
    CStringW metaPath = inFolder(folder, entry.name + u".meta");
    CINIStore store;
    // A ".meta" that is there but no file (a pipe would block the load) counts as missing.
    const bool metaLoaded = isRegularLocalFile(metaPath) && store.Load(metaPath);
    if (!metaLoaded && !createMetaValues(metaPath, entry.name, store)) {
        return false;
    }
    CPropertyArray& p = entry.properties;
    p.SetValue("index", store.GetString("meta/index", "0"));
    p.SetValue("width", store.GetString("meta/width", "0"));
    p.SetValue("height", store.GetString("meta/height", "0"));
    p.SetValue("numFrames", store.GetString("meta/numFrames", "0"));
    p.SetValue("startTime", store.GetString("meta/startTime", kNoTime));
    p.SetValue("endTime", store.GetString("meta/endTime", kNoTime));
    p.SetValue("duration", store.GetString("meta/duration", "0"));
    return true;
}

}  // namespace

CDirectoryEntry emulatorGetInfo(const CStringW& folder, const CStringW& name) {
    if (folder.empty() || !usableName(name + u".dat")) {
        CDirectoryEntry entry;
        entry.name = name;
        entry.path = path::MakePath(CStringW(u"/"), name, u'/');
        entry.attributes = kNoEntry;
        return entry;
    }
    CDirectoryEntry entry = fileSystem()->GetInfo(inFolder(folder, name + u".dat"));
    entry.name = path::RemoveExtension(entry.name.empty() ? name + u".dat" : entry.name);
    entry.path = path::MakePath(CStringW(u"/"), entry.name, u'/');
    if (!fillFromMetaFile(folder, entry)) {
        entry.attributes = kNoEntry;
    } else if (entry.attributes & kNoEntry) {
        // A meta file that loads keeps the movie known after its data file went away; it is
        // then a movie entry whose size and time are those the local disk gave for nothing.
        entry.attributes = kMovieEntry;
    }
    return entry;
}

void emulatorListing(const CStringW& folder, CDirectoryListing& listing) {
    if (folder.empty()) {
        listing.entries.clear();
        listing.path = CStringW(u"/");
        return;
    }
    listing = fileSystem()->GetDirectoryListing(folder, CStringW(u"*.dat"));
    listing.path = CStringW(u"/");
    uint32_t i = 0;
    while (i < listing.entries.size()) {
        CDirectoryEntry& entry = listing.entries[i];
        const bool usable = usableName(entry.name);
        entry.name = path::RemoveExtension(entry.name);
        entry.path = path::MakePath(CStringW(u"/"), entry.name, u'/');
        // Only what GetInfo would answer for is listed.
        if (usable && fillFromMetaFile(folder, entry)) {
            ++i;
        } else {
            listing.entries.remove(i);
        }
    }
}

bool emulatorRemove(const CStringW& folder, const CStringW& name) {
    if (folder.empty() || !usableName(name + u".dat")) {
        return false;
    }
    IFileSystem* local = fileSystem();
    // What is not a file is no movie, and not ours to delete.
    const CStringW data = inFolder(folder, name + u".dat");
    if (!isRegularLocalFile(data) || !local->RemoveFile(data)) {
        return false;
    }
    local->RemoveFile(inFolder(folder, name + u".info"));
    local->RemoveFile(inFolder(folder, name + u".meta"));
    return true;
}

TSharedPtr<IFile> emulatorOpen(const CStringW& folder, const CStringW& fileName, unsigned mode) {
    if (folder.empty() || !usableName(fileName)) {
        return TSharedPtr<IFile>();
    }
    const CStringW local = inFolder(folder, fileName);
    // Only files: a device or pipe under a movie's name could block the reader for ever. A host
    // that asks to create passes its mode on to the local file system, where nothing is yet (a
    // link planted there, even one that leads nowhere, is not followed to make a file elsewhere).
    if (!isRegularLocalFile(local) && ((mode & kOpenCreate) == 0 || !localNameFree(local))) {
        return TSharedPtr<IFile>();
    }
    return fileSystem()->OpenFile(local, mode);
}

}  // namespace zel::vem
