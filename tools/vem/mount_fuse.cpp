// runMount: serves the drive's movies through the kernel's FUSE low-level interface.
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "mount.h"
#include "registry.h"
#include "suite/file.h"
#include "suite/filesystem.h"
#include "vem/vem_interface.h"

extern char** environ;

namespace vemcli {

namespace {

using zel::CDirectoryEntry;
using zel::CDirectoryListing;
using zel::CStringW;
using zel::IFile;
using zel::TSharedPtr;

const char kReadyFdVariable[] = "ZELVEM_MOUNT_READY_FD";
const char kInfoSuffix[] = ":info";
constexpr size_t kInfoSuffixLength = sizeof kInfoSuffix - 1;

// What the mount knows of one movie, copied out of the library's listing so that lookups,
// attributes and listings never wait on the library (whose cache lock a refresh holds across
// requests to the service).
struct Movie {
    uint64_t size = 0;
    timespec mtime{};
    uint32_t index = 0;
    bool indexValid = false;
    uint64_t frameBytes = 0;  // 0 when the properties do not give it
    // "user.vem.<property>" and the library's text for it, in the library's order.
    std::vector<std::pair<std::string, std::string>> xattrs;

    bool operator==(const Movie& o) const {
        return size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && index == o.index && indexValid == o.indexValid &&
               xattrs == o.xattrs;
    }
};

using Snapshot = std::map<std::string, Movie>;

// An inode the kernel was told about: a movie, or a movie's info stream.
struct Node {
    std::string movie;
    bool info = false;
    uint64_t infoSize = 0;  // as fetched by the last lookup of the info stream
};

// Blocks kept per open movie. A 1 MiB request covers up to two blocks, and the kernel has
// another request in flight besides the background fetch: with two kept blocks, blocks were
// replaced while still wanted and loaded again (up to twice the frames per pass).
constexpr size_t kKeptBlocks = 4;

// The one library file of a movie, shared by every open handle on it. Held by shared pointer
// by the mount's table (for the whole mount), by each open handle, by each queued read-ahead
// and by each read in progress, so it outlives everything that may still lock it.
struct MovieFile {
    // Guards file, fileIndex, openCount, blockSize, fileSize and spare, and with blocksLock the
    // blocks' numbers and bytes. A library file serves one reader at a time, and two library
    // files on one movie share the service's frame section, so every read from the library goes
    // through here. Taken before blocksLock and stateLock, never while holding either.
    std::mutex lock;
    TSharedPtr<IFile> file;
    uint32_t fileIndex = 0;
    unsigned openCount = 0;
    // Whole frames, at least a megabyte, read from the library in one piece; 0 reads the
    // library directly (frames too large to keep).
    uint64_t blockSize = 0;
    uint64_t fileSize = 0;
    // The buffer of the block replaced last, loaded into next: a fresh megabyte, zero-filled
    // and faulted in page by page, costs more than the copy out of the service's section.
    // Guarded by lock, like every load. No reply sends from it: replies send under blocksLock
    // from kept blocks only, and a buffer leaves the blocks under blocksLock.
    std::vector<uint8_t> spare;

    // The blocks read last, so that the kernel's reads are served from memory while the next
    // block is read ahead from the service. A block's number and bytes change only with both
    // lock and blocksLock held, so either lock suffices to look at them; lastUse needs
    // blocksLock.
    struct Block {
        int64_t number = -1;
        uint64_t lastUse = 0;
        std::vector<uint8_t> bytes;
    };
    // Guards blocks, uses, aheadQueued and the kept* copies of the open file's geometry, which
    // let a read served from the blocks skip lock (held by the read-ahead for a whole load).
    // Replies from a kept block are sent while holding it, so a block's buffer is never
    // replaced or reused under a reply. Taken after lock; only queueLock may be taken inside it.
    std::mutex blocksLock;
    Block blocks[kKeptBlocks];
    uint64_t uses = 0;
    int64_t aheadQueued = -1;
    uint64_t keptBlockSize = 0;  // 0: no blocks to serve from
    uint64_t keptFileSize = 0;
    uint32_t keptIndex = 0;
};

// One open of a file, made at open and deleted at release. The kernel may send the release as
// soon as the last read is answered, while that read's worker is still running: a read uses
// nothing of its handle after replying.
struct Handle {
    std::shared_ptr<MovieFile> movie;  // empty for an info stream
    std::string name;
    std::vector<uint8_t> info;
};

struct DirHandle {
    std::vector<std::pair<std::string, fuse_ino_t>> entries;
};

struct AheadJob {
    std::shared_ptr<MovieFile> movie;
    std::string name;
    int64_t number = 0;
};

// Blocks are whole frames and at least this long; frames above kLargestKeptFrame are read from
// the library as asked, without blocks.
constexpr uint64_t kBlockTarget = 1 << 20;
constexpr uint64_t kLargestKeptFrame = 16 << 20;
// The kernel's read-ahead window for the mount, when the mount may set it.
constexpr unsigned long kReadAheadKib = 1024;

// A kernel cache entry to drop: a name in the root, or an inode's attributes and pages.
struct Invalidation {
    std::string name;
    fuse_ino_t ino = 0;
};

timespec toTimespec(const zel::CDateTime& time) {
    const long long ticks = time.GetTimestamp(zel::CDateTime::kTicks) -
                            zel::CDateTime::kUnixEpochSeconds * zel::CDateTime::kTicksPerSecond;
    long long seconds = ticks / zel::CDateTime::kTicksPerSecond;
    long long rest = ticks % zel::CDateTime::kTicksPerSecond;
    if (rest < 0) {
        rest += zel::CDateTime::kTicksPerSecond;
        --seconds;
    }
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>(rest * 100);
    return ts;
}

std::string utf8(const CStringW& text) {
    return text.ToUtf8().str();
}

bool parseIndex(const std::string& text, uint32_t& index) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    index = static_cast<uint32_t>(value);
    return value <= 0xFFFFFFFFull;
}

// "NAME:info" in any letter case names NAME's info stream, as in the library.
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

// The device number of the file system mounted last on `mountpoint`, from the mount table: a
// stat would go through the mount, which answers nothing until the session loop runs.
bool mountedDevice(const std::string& mountpoint, unsigned& major, unsigned& minor) {
    // The table writes space, tab, newline and backslash in a path as \ooo.
    std::string escaped;
    for (const char c : mountpoint) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
            char code[5];
            std::snprintf(code, sizeof code, "\\%03o", static_cast<unsigned char>(c));
            escaped += code;
        } else {
            escaped.push_back(c);
        }
    }
    FILE* table = std::fopen("/proc/self/mountinfo", "r");
    if (table == nullptr) {
        return false;
    }
    bool found = false;
    char* line = nullptr;
    size_t capacity = 0;
    while (getline(&line, &capacity, table) > 0) {
        unsigned maj = 0;
        unsigned min = 0;
        int pathAt = 0;
        int pathEnd = 0;
        if (std::sscanf(line, "%*u %*u %u:%u %*s %n%*s%n", &maj, &min, &pathAt, &pathEnd) == 2 &&
            pathEnd > pathAt && std::string(line + pathAt, line + pathEnd) == escaped) {
            major = maj;
            minor = min;
            found = true;
        }
    }
    std::free(line);
    std::fclose(table);
    return found;
}

// The kernel reads a file ahead, and asks the mount, in pieces no larger than the mount's
// read-ahead window: 128 KiB unless raised, which only root may do. A megabyte a request is a
// quarter of the round trips, and of the mount's CPU time spent switching between them.
// `path` is the window's control file. The kernel sets the window when the session starts, so
// this runs once it has.
void widenReadAhead(const std::string& path) {
    if (path.empty()) {
        return;
    }
    FILE* file = std::fopen(path.c_str(), "r+");
    if (file == nullptr) {
        return;  // not root: the default window
    }
    unsigned long current = 0;
    if (std::fscanf(file, "%lu", &current) == 1 && current < kReadAheadKib) {
        std::rewind(file);
        std::fprintf(file, "%lu\n", kReadAheadKib);
    }
    std::fclose(file);
}

// The read-ahead control file of the file system mounted last on `mountpoint`, or "".
std::string readAheadControl(const std::string& mountpoint) {
    unsigned major = 0;
    unsigned minor = 0;
    if (!mountedDevice(mountpoint, major, minor)) {
        return std::string();
    }
    return "/sys/class/bdi/" + std::to_string(major) + ":" + std::to_string(minor) +
           "/read_ahead_kb";
}

class Mount {
  public:
    Mount(zel::vem::CVemInterface* vem, const MountOptions& options)
        : vem(vem),
          options(options),
          emulator(vem->isEmulator()),
          // The drive reports its changes and the kernel's entries are invalidated then, so
          // they may live long; the emulator folder changes unannounced.
          timeout(vem->isEmulator() ? 1.0 : 10.0) {
        clock_gettime(CLOCK_REALTIME, &rootTime);
    }

    static const fuse_lowlevel_ops* operations();

    void setReadAheadControl(const std::string& path) { readAheadPath = path; }

    void start(fuse_session* session) {
        se = session;
        vem->AddFilesChangedHandler(changeHandler());
        // Not under refreshLock, which comes after the library's cache lock: a handler that ran
        // meanwhile has the newer listing and wins.
        Snapshot first = takeSnapshot();
        std::lock_guard<std::mutex> guard(stateLock);
        if (refreshes == 0) {
            snapshot.swap(first);
            lastRefresh = std::chrono::steady_clock::now();
        }
    }

    void startNotifier() {
        notifier = std::thread([this] { notifyLoop(); });
        ahead = std::thread([this] { aheadLoop(); });
    }

    // After this nothing calls into the session.
    void stopNotifier() {
        {
            std::lock_guard<std::mutex> guard(queueLock);
            stopping = true;
        }
        queueWake.notify_all();
        aheadWake.notify_all();
        if (notifier.joinable()) {
            notifier.join();
        }
        if (ahead.joinable()) {
            ahead.join();
        }
    }

    // Undoes start(): afterwards every library file is closed, so the library's singleton ends
    // as in any other host.
    void stop() {
        vem->RemoveFilesChangedHandler(changeHandler());
        std::vector<std::shared_ptr<MovieFile>> files;
        {
            std::lock_guard<std::mutex> guard(stateLock);
            for (auto& entry : movieFiles) {
                files.push_back(entry.second);
            }
        }
        for (auto& file : files) {
            std::lock_guard<std::mutex> guard(file->lock);
            file->openCount = 0;
            closeIfUnused(*file);
        }
    }

  private:
    // ---- state ----

    zel::delegate<void()> changeHandler() {
        return zel::delegate<void()>([](void* self) { static_cast<Mount*>(self)->refresh(); }, this,
                                     nullptr);
    }

    Snapshot takeSnapshot() {
        CDirectoryListing listing = vem->GetDirectoryListing(CStringW(u"/"), CStringW());
        Snapshot fresh;
        for (const CDirectoryEntry& entry : listing.entries) {
            if (entry.attributes != zel::kAttrFile) {
                continue;
            }
            Movie movie;
            movie.size = entry.size;
            movie.mtime = toTimespec(entry.time);
            uint32_t width = 0;
            uint32_t height = 0;
            for (uint32_t i = 0; i < entry.properties.size(); ++i) {
                std::string key = entry.properties.key(i).c_str();
                std::string value = entry.properties.value(i).c_str();
                if (key == "index") {
                    movie.indexValid = parseIndex(value, movie.index);
                } else if (key == "width" && !parseIndex(value, width)) {
                    width = 0;
                } else if (key == "height" && !parseIndex(value, height)) {
                    height = 0;
                }
                movie.xattrs.emplace_back("user.vem." + key, value);
            }
            movie.frameBytes = uint64_t{width} * height * 2;
            fresh.emplace(utf8(entry.name), std::move(movie));
        }
        return fresh;
    }

    // Runs as the library's files-changed handler (on its event thread, or on the thread of a
    // RemoveFile), and on demand in emulator mode. The kernel is told by the notifier thread:
    // telling it here could wait for a directory lock that a request blocked on us holds.
    void refresh() {
        std::lock_guard<std::mutex> serial(refreshLock);
        Snapshot fresh = takeSnapshot();
        std::vector<Invalidation> work;
        {
            std::lock_guard<std::mutex> guard(stateLock);
            ++refreshes;
            for (const auto& old : snapshot) {
                auto now = fresh.find(old.first);
                if (now == fresh.end()) {
                    work.push_back({old.first, 0});
                }
                if (now == fresh.end() || !(now->second == old.second)) {
                    auto ino = inoByName.find(old.first);
                    if (ino != inoByName.end()) {
                        work.push_back({std::string(), ino->second});
                    }
                }
            }
            for (const auto& now : fresh) {
                if (snapshot.find(now.first) == snapshot.end()) {
                    work.push_back({now.first, 0});
                }
            }
            snapshot.swap(fresh);
            lastRefresh = std::chrono::steady_clock::now();
            if (!work.empty()) {
                clock_gettime(CLOCK_REALTIME, &rootTime);
                work.push_back({std::string(), FUSE_ROOT_ID});
            }
        }
        if (!work.empty()) {
            {
                std::lock_guard<std::mutex> guard(queueLock);
                queue.insert(queue.end(), work.begin(), work.end());
            }
            queueWake.notify_all();
        }
    }

    // The emulator folder announces nothing; look at it again when asked after a short while.
    void refreshIfEmulator() {
        if (!emulator) {
            return;
        }
        {
            std::lock_guard<std::mutex> guard(stateLock);
            if (std::chrono::steady_clock::now() - lastRefresh < std::chrono::milliseconds(500)) {
                return;
            }
        }
        refresh();
    }

    void notifyLoop() {
        std::unique_lock<std::mutex> guard(queueLock);
        for (;;) {
            queueWake.wait(guard, [this] { return stopping || !queue.empty(); });
            if (stopping) {
                return;
            }
            Invalidation next = std::move(queue.front());
            queue.pop_front();
            guard.unlock();
            // ENOENT only means the kernel had nothing cached.
            if (next.ino != 0) {
                fuse_lowlevel_notify_inval_inode(se, next.ino, 0, 0);
            } else {
                fuse_lowlevel_notify_inval_entry(se, FUSE_ROOT_ID, next.name.c_str(),
                                                 next.name.size());
            }
            guard.lock();
        }
    }

    // The caller holds stateLock. Inode numbers stay with a name for the whole mount.
    fuse_ino_t inoFor(const std::string& movie, bool info) {
        const std::string key = info ? movie + kInfoSuffix : movie;
        auto found = inoByName.find(key);
        if (found != inoByName.end()) {
            return found->second;
        }
        const fuse_ino_t ino = nextIno++;
        inoByName.emplace(key, ino);
        nodes[ino] = Node{movie, info, 0};
        return ino;
    }

    // The caller holds stateLock.
    const Movie* findMovie(const std::string& name) const {
        auto found = snapshot.find(name);
        return found == snapshot.end() ? nullptr : &found->second;
    }

    void fillMovieAttr(struct stat& st, fuse_ino_t ino, const Movie& movie, uint64_t size) const {
        st = {};
        st.st_ino = ino;
        st.st_mode = S_IFREG | (options.allowDelete ? 0644 : 0444);
        st.st_nlink = 1;
        st.st_uid = getuid();
        st.st_gid = getgid();
        st.st_size = static_cast<off_t>(size);
        st.st_blocks = static_cast<blkcnt_t>((size + 511) / 512);
        st.st_blksize = 1 << 20;
        st.st_mtim = movie.mtime;
        st.st_ctim = movie.mtime;
        st.st_atim = movie.mtime;
    }

    // The caller holds stateLock.
    void fillRootAttr(struct stat& st) const {
        st = {};
        st.st_ino = FUSE_ROOT_ID;
        st.st_mode = S_IFDIR | (options.allowDelete ? 0755 : 0555);
        st.st_nlink = 2;
        st.st_uid = getuid();
        st.st_gid = getgid();
        st.st_mtim = rootTime;
        st.st_ctim = rootTime;
        st.st_atim = rootTime;
    }

    bool fetchInfo(const std::string& movie, std::vector<uint8_t>& block) {
        std::string path = "/" + movie + kInfoSuffix;
        TSharedPtr<IFile> file =
            vem->OpenFile(CStringW(path.c_str()), zel::kOpenRead | zel::kOpenShareRead);
        if (!file) {
            return false;
        }
        const int64_t size = file->GetSize();
        if (size < 0 || size > (64 << 20)) {
            return false;
        }
        block.resize(static_cast<size_t>(size));
        file->SeekToBegin();
        return size == 0 ||
               file->Read(block.data(), static_cast<uint32_t>(size)) == static_cast<uint32_t>(size);
    }

    // The caller holds movieFile.lock. Opens the movie's library file when none is open or the
    // movie's index moved (a removal renumbers the movies after it). Returns an errno.
    int ensureOpen(MovieFile& movieFile, const std::string& name) {
        uint32_t index = 0;
        uint64_t size = 0;
        uint64_t frameBytes = 0;
        {
            std::lock_guard<std::mutex> guard(stateLock);
            const Movie* movie = findMovie(name);
            if (movie == nullptr || !movie->indexValid) {
                return movie == nullptr ? ENOENT : EIO;
            }
            index = movie->index;
            size = movie->size;
            frameBytes = movie->frameBytes;
        }
        if (movieFile.file && movieFile.fileIndex == index) {
            return 0;
        }
        movieFile.file = TSharedPtr<IFile>();
        std::string path = "/" + name;
        TSharedPtr<IFile> file =
            vem->OpenFile(CStringW(path.c_str()), zel::kOpenRead | zel::kOpenShareRead);
        // A file shorter than the listed size would read as a truncated movie that looks whole.
        if (!file || file->GetSize() != static_cast<int64_t>(size)) {
            return EIO;
        }
        movieFile.file = file;
        movieFile.fileIndex = index;
        movieFile.fileSize = size;
        movieFile.blockSize = 0;
        if (frameBytes > 0 && frameBytes <= kLargestKeptFrame && size % frameBytes == 0) {
            // At least kBlockTarget, so that a request of that size never spans three blocks.
            movieFile.blockSize = (kBlockTarget + frameBytes - 1) / frameBytes * frameBytes;
        }
        std::lock_guard<std::mutex> guard(movieFile.blocksLock);
        if (movieFile.keptBlockSize != movieFile.blockSize || movieFile.keptFileSize != size) {
            for (MovieFile::Block& block : movieFile.blocks) {
                block = MovieFile::Block();
            }
        }
        movieFile.keptBlockSize = movieFile.blockSize;
        movieFile.keptFileSize = size;
        movieFile.keptIndex = index;
        return 0;
    }

    // The caller holds movieFile.lock. The last close ends the library file (CloseFile) and
    // frees the blocks.
    static void closeIfUnused(MovieFile& movieFile) {
        if (movieFile.openCount != 0) {
            return;
        }
        movieFile.file = TSharedPtr<IFile>();
        movieFile.spare = std::vector<uint8_t>();
        std::lock_guard<std::mutex> guard(movieFile.blocksLock);
        movieFile.keptBlockSize = 0;
        for (MovieFile::Block& block : movieFile.blocks) {
            block = MovieFile::Block();
        }
    }

    // The caller holds movieFile.lock, and ensureOpen succeeded. Reads block `number` whole
    // into the spare buffer and keeps it, in place of the block used least recently, whose
    // buffer becomes the spare.
    static bool loadBlock(MovieFile& movieFile, int64_t number) {
        const uint64_t start = static_cast<uint64_t>(number) * movieFile.blockSize;
        if (start >= movieFile.fileSize) {
            return false;
        }
        const uint64_t length = std::min(movieFile.blockSize, movieFile.fileSize - start);
        std::vector<uint8_t>& bytes = movieFile.spare;
        bytes.resize(length);
        IFile& file = *movieFile.file;
        if (file.Seek(static_cast<int64_t>(start), zel::kSeekBegin) !=
                static_cast<int64_t>(start) ||
            file.Read(bytes.data(), static_cast<uint32_t>(length)) != length) {
            return false;
        }
        std::lock_guard<std::mutex> guard(movieFile.blocksLock);
        keepBlock(movieFile, number, bytes);
        return true;
    }

    // The caller holds movieFile.blocksLock.
    static MovieFile::Block* findBlock(MovieFile& movieFile, int64_t number) {
        for (MovieFile::Block& block : movieFile.blocks) {
            if (block.number == number) {
                block.lastUse = ++movieFile.uses;
                return &block;
            }
        }
        return nullptr;
    }

    // The caller holds movieFile.lock or movieFile.blocksLock.
    static bool hasBlock(const MovieFile& movieFile, int64_t number) {
        for (const MovieFile::Block& block : movieFile.blocks) {
            if (block.number == number) {
                return true;
            }
        }
        return false;
    }

    // The caller holds movieFile.blocksLock. Replaces the block used least recently; `bytes`
    // gets that block's buffer back.
    static void keepBlock(MovieFile& movieFile, int64_t number, std::vector<uint8_t>& bytes) {
        MovieFile::Block* victim = &movieFile.blocks[0];
        for (MovieFile::Block& block : movieFile.blocks) {
            if (block.lastUse < victim->lastUse) {
                victim = &block;
            }
        }
        victim->number = number;
        victim->bytes.swap(bytes);
        victim->lastUse = ++movieFile.uses;
    }

    // The caller holds movieFile->blocksLock. Has block `number` fetched in the background,
    // unless it is kept or on its way. Queued before the reply that asked for the block before
    // it, so that the service's next frame is loaded while the kernel copies this one.
    void queueAhead(const std::shared_ptr<MovieFile>& movieFile, const std::string& name,
                    int64_t number) {
        if (static_cast<uint64_t>(number) * movieFile->keptBlockSize >= movieFile->keptFileSize ||
            hasBlock(*movieFile, number) || movieFile->aheadQueued == number) {
            return;
        }
        movieFile->aheadQueued = number;
        {
            std::lock_guard<std::mutex> guard(queueLock);
            aheadJobs.push_back({movieFile, name, number});
        }
        aheadWake.notify_one();
    }

    void aheadLoop() {
        std::unique_lock<std::mutex> guard(queueLock);
        for (;;) {
            aheadWake.wait(guard, [this] { return stopping || !aheadJobs.empty(); });
            if (stopping) {
                return;
            }
            AheadJob job = std::move(aheadJobs.front());
            aheadJobs.pop_front();
            guard.unlock();
            {
                MovieFile& movieFile = *job.movie;
                std::lock_guard<std::mutex> fileGuard(movieFile.lock);
                // The read that needed it may have loaded it meanwhile. Looked up under lock
                // only: blocksLock may be held by a reply for a while.
                const bool wanted = movieFile.openCount > 0 &&
                                    ensureOpen(movieFile, job.name) == 0 &&
                                    movieFile.blockSize != 0 && !hasBlock(movieFile, job.number);
                // A failure here is left to the read that needs the block: it reports it.
                if (wanted) {
                    loadBlock(movieFile, job.number);
                }
                std::lock_guard<std::mutex> blocksGuard(movieFile.blocksLock);
                if (movieFile.aheadQueued == job.number) {
                    movieFile.aheadQueued = -1;
                }
            }
            guard.lock();
        }
    }

    // Whether `name` is still listed at `index`: kept blocks serve a movie only as long as the
    // library file they came from would.
    bool listedAt(const std::string& name, uint32_t index) {
        std::lock_guard<std::mutex> guard(stateLock);
        const Movie* movie = findMovie(name);
        return movie != nullptr && movie->indexValid && movie->index == index;
    }

    bool nodeOf(fuse_ino_t ino, Node& node) {
        std::lock_guard<std::mutex> guard(stateLock);
        auto found = nodes.find(ino);
        if (found == nodes.end()) {
            return false;
        }
        node = found->second;
        return true;
    }

    static Mount* self(fuse_req_t req) { return static_cast<Mount*>(fuse_req_userdata(req)); }

    // ---- requests ----

    static void opLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
        Mount* m = self(req);
        if (parent != FUSE_ROOT_ID) {
            fuse_reply_err(req, ENOTDIR);
            return;
        }
        m->refreshIfEmulator();
        std::string movieName;
        const bool info = splitInfoName(name, movieName);
        if (!info) {
            movieName = name;
        }
        fuse_entry_param e{};
        {
            std::lock_guard<std::mutex> guard(m->stateLock);
            const Movie* movie = m->findMovie(movieName);
            if (movie == nullptr) {
                // A negative entry: the notifier drops it when such a movie appears.
                e.entry_timeout = m->timeout;
                fuse_reply_entry(req, &e);
                return;
            }
            if (!info) {
                e.ino = m->inoFor(movieName, false);
                m->fillMovieAttr(e.attr, e.ino, *movie, movie->size);
                e.attr_timeout = e.entry_timeout = m->timeout;
                fuse_reply_entry(req, &e);
                return;
            }
        }
        // The info stream's size is known only by fetching it; it is never cached by the kernel.
        std::vector<uint8_t> block;
        if (!m->fetchInfo(movieName, block)) {
            fuse_reply_err(req, EIO);
            return;
        }
        {
            std::lock_guard<std::mutex> guard(m->stateLock);
            const Movie* movie = m->findMovie(movieName);
            if (movie == nullptr) {
                fuse_reply_err(req, ENOENT);
                return;
            }
            e.ino = m->inoFor(movieName, true);
            m->nodes[e.ino].infoSize = block.size();
            m->fillMovieAttr(e.attr, e.ino, *movie, block.size());
            e.attr.st_mode = S_IFREG | 0444;
        }
        fuse_reply_entry(req, &e);
    }

    static void opGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
        Mount* m = self(req);
        m->refreshIfEmulator();
        struct stat st {};
        std::lock_guard<std::mutex> guard(m->stateLock);
        if (ino == FUSE_ROOT_ID) {
            m->fillRootAttr(st);
            fuse_reply_attr(req, &st, m->timeout);
            return;
        }
        auto node = m->nodes.find(ino);
        const Movie* movie = node == m->nodes.end() ? nullptr : m->findMovie(node->second.movie);
        if (movie == nullptr) {
            fuse_reply_err(req, ENOENT);
            return;
        }
        if (node->second.info) {
            m->fillMovieAttr(st, ino, *movie, node->second.infoSize);
            st.st_mode = S_IFREG | 0444;
            fuse_reply_attr(req, &st, 0);
            return;
        }
        m->fillMovieAttr(st, ino, *movie, movie->size);
        fuse_reply_attr(req, &st, m->timeout);
    }

    static void opOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        Mount* m = self(req);
        if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC) != 0) {
            fuse_reply_err(req, EROFS);
            return;
        }
        Node node;
        if (!m->nodeOf(ino, node)) {
            fuse_reply_err(req, ENOENT);
            return;
        }
        auto handle = std::make_unique<Handle>();
        handle->name = node.movie;
        if (node.info) {
            if (!m->fetchInfo(node.movie, handle->info)) {
                fuse_reply_err(req, EIO);
                return;
            }
            // Served as fetched now, whatever size the kernel was told at the lookup.
            fi->direct_io = 1;
        } else {
            {
                std::lock_guard<std::mutex> guard(m->stateLock);
                auto& shared = m->movieFiles[ino];
                if (!shared) {
                    shared = std::make_shared<MovieFile>();
                }
                handle->movie = shared;
            }
            MovieFile& movieFile = *handle->movie;
            std::lock_guard<std::mutex> guard(movieFile.lock);
            const int error = m->ensureOpen(movieFile, node.movie);
            if (error != 0) {
                closeIfUnused(movieFile);
                fuse_reply_err(req, error);
                return;
            }
            ++movieFile.openCount;
            std::call_once(m->readAheadWidened, [m] { widenReadAhead(m->readAheadPath); });
        }
        fi->fh = reinterpret_cast<uint64_t>(handle.get());
        if (fuse_reply_open(req, fi) == 0) {
            handle.release();
        } else if (handle->movie) {
            // The opener went away (interrupted): undo the count it would have released.
            std::lock_guard<std::mutex> guard(handle->movie->lock);
            --handle->movie->openCount;
            closeIfUnused(*handle->movie);
        }
    }

    static void opRead(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
        Mount* m = self(req);
        auto* handle = reinterpret_cast<Handle*>(fi->fh);
        if (offset < 0) {
            fuse_reply_err(req, EINVAL);
            return;
        }
        if (!handle->movie) {
            const uint64_t total = handle->info.size();
            const uint64_t at = std::min<uint64_t>(static_cast<uint64_t>(offset), total);
            const size_t count = static_cast<size_t>(std::min<uint64_t>(size, total - at));
            fuse_reply_buf(req, reinterpret_cast<const char*>(handle->info.data()) + at, count);
            return;
        }
        // One buffer per worker thread: reads are up to a megabyte and come by the thousand.
        thread_local std::vector<uint8_t> buffer;
        // Once the reply is out the kernel may release the handle (a RELEASE served on another
        // worker deletes it) while this thread still works: what is used after the reply is a
        // copy, never the handle.
        const std::shared_ptr<MovieFile> shared = handle->movie;
        const std::string name = handle->name;
        handle = nullptr;
        MovieFile& movieFile = *shared;
        uint64_t blockSize = 0;
        uint64_t fileSize = 0;
        uint32_t index = 0;
        {
            std::lock_guard<std::mutex> guard(movieFile.blocksLock);
            blockSize = movieFile.keptBlockSize;
            fileSize = movieFile.keptFileSize;
            index = movieFile.keptIndex;
        }
        // A movie removed, or moved to another index, goes through ensureOpen below.
        if (blockSize != 0 && !m->listedAt(name, index)) {
            blockSize = 0;
        }
        if (blockSize == 0) {
            std::lock_guard<std::mutex> guard(movieFile.lock);
            // A movie removed while open, or one the service stops serving, reads as an error,
            // never as a short (zero-filled) file.
            if (m->ensureOpen(movieFile, name) != 0) {
                fuse_reply_err(req, EIO);
                return;
            }
            blockSize = movieFile.blockSize;
            fileSize = movieFile.fileSize;
            if (blockSize == 0 && static_cast<uint64_t>(offset) < fileSize) {
                const size_t count = static_cast<size_t>(
                    std::min<uint64_t>(size, fileSize - static_cast<uint64_t>(offset)));
                if (buffer.size() < count) {
                    buffer.resize(count);
                }
                // The kernel fills a short reply with zeros: anything short of count is an error.
                IFile& file = *movieFile.file;
                if (file.Seek(offset, zel::kSeekBegin) != offset ||
                    file.Read(buffer.data(), static_cast<uint32_t>(count)) != count) {
                    fuse_reply_err(req, EIO);
                    return;
                }
                fuse_reply_buf(req, reinterpret_cast<const char*>(buffer.data()), count);
                return;
            }
        }
        if (static_cast<uint64_t>(offset) >= fileSize) {
            fuse_reply_buf(req, nullptr, 0);
            return;
        }
        const size_t count =
            static_cast<size_t>(std::min<uint64_t>(size, fileSize - static_cast<uint64_t>(offset)));
        const int64_t next = static_cast<int64_t>((offset + count - 1) / blockSize) + 1;
        size_t done = 0;
        while (done < count) {
            const uint64_t at = static_cast<uint64_t>(offset) + done;
            const int64_t number = static_cast<int64_t>(at / blockSize);
            const uint64_t within = at % blockSize;
            {
                std::lock_guard<std::mutex> guard(movieFile.blocksLock);
                MovieFile::Block* block =
                    movieFile.keptBlockSize == blockSize ? findBlock(movieFile, number) : nullptr;
                if (block != nullptr) {
                    const size_t piece = static_cast<size_t>(
                        std::min<uint64_t>(count - done, block->bytes.size() - within));
                    if (piece == count) {
                        // The whole read lies in one block: reply straight from it.
                        m->queueAhead(shared, name, next);
                        fuse_reply_buf(req,
                                       reinterpret_cast<const char*>(block->bytes.data()) + within,
                                       count);
                        return;
                    }
                    if (buffer.size() < count) {
                        buffer.resize(count);
                    }
                    std::memcpy(buffer.data() + done, block->bytes.data() + within, piece);
                    done += piece;
                    if (done == count) {
                        m->queueAhead(shared, name, next);
                    }
                    continue;
                }
            }
            std::lock_guard<std::mutex> guard(movieFile.lock);
            if (m->ensureOpen(movieFile, name) != 0 || movieFile.blockSize != blockSize) {
                fuse_reply_err(req, EIO);
                return;
            }
            // The read-ahead may have brought it while this thread waited for the file.
            if (!hasBlock(movieFile, number) && !loadBlock(movieFile, number)) {
                fuse_reply_err(req, EIO);
                return;
            }
        }
        fuse_reply_buf(req, reinterpret_cast<const char*>(buffer.data()), count);
    }

    static void opRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
        std::unique_ptr<Handle> handle(reinterpret_cast<Handle*>(fi->fh));
        if (handle->movie) {
            MovieFile& movieFile = *handle->movie;
            std::lock_guard<std::mutex> guard(movieFile.lock);
            --movieFile.openCount;
            closeIfUnused(movieFile);
        }
        fuse_reply_err(req, 0);
    }

    static void opOpendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
        Mount* m = self(req);
        if (ino != FUSE_ROOT_ID) {
            fuse_reply_err(req, ENOTDIR);
            return;
        }
        m->refreshIfEmulator();
        auto dir = std::make_unique<DirHandle>();
        {
            std::lock_guard<std::mutex> guard(m->stateLock);
            dir->entries.emplace_back(".", FUSE_ROOT_ID);
            dir->entries.emplace_back("..", FUSE_ROOT_ID);
            for (const auto& movie : m->snapshot) {
                dir->entries.emplace_back(movie.first, m->inoFor(movie.first, false));
            }
        }
        DirHandle* handle = dir.get();
        fi->fh = reinterpret_cast<uint64_t>(handle);
        {
            // Kept by the mount, not only by the kernel: a folder still open when the mount ends
            // gets no release.
            std::lock_guard<std::mutex> guard(m->stateLock);
            m->openDirs.emplace(handle, std::move(dir));
        }
        if (fuse_reply_open(req, fi) != 0) {
            std::lock_guard<std::mutex> guard(m->stateLock);
            m->openDirs.erase(handle);
        }
    }

    static void opReaddir(fuse_req_t req, fuse_ino_t, size_t size, off_t offset,
                          fuse_file_info* fi) {
        auto* dir = reinterpret_cast<DirHandle*>(fi->fh);
        std::vector<char> buffer(size);
        size_t used = 0;
        for (size_t i = static_cast<size_t>(std::max<off_t>(offset, 0)); i < dir->entries.size();
             ++i) {
            struct stat st {};
            st.st_ino = dir->entries[i].second;
            st.st_mode = i < 2 ? S_IFDIR : S_IFREG;
            const size_t need =
                fuse_add_direntry(req, buffer.data() + used, size - used,
                                  dir->entries[i].first.c_str(), &st, static_cast<off_t>(i + 1));
            if (need > size - used) {
                break;
            }
            used += need;
        }
        fuse_reply_buf(req, buffer.data(), used);
    }

    static void opReleasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
        Mount* m = self(req);
        {
            std::lock_guard<std::mutex> guard(m->stateLock);
            m->openDirs.erase(reinterpret_cast<DirHandle*>(fi->fh));
        }
        fuse_reply_err(req, 0);
    }

    static void opUnlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
        Mount* m = self(req);
        std::string movieName;
        const bool info = splitInfoName(name, movieName);
        if (!info) {
            movieName = name;
        }
        bool exists = false;
        {
            std::lock_guard<std::mutex> guard(m->stateLock);
            exists = parent == FUSE_ROOT_ID && m->findMovie(movieName) != nullptr;
        }
        if (!exists) {
            fuse_reply_err(req, ENOENT);
        } else if (!m->options.allowDelete) {
            fuse_reply_err(req, EACCES);
        } else if (info) {
            fuse_reply_err(req, EPERM);  // an info stream goes only with its movie
        } else {
            // The library refreshes its list before returning, which runs refresh() here.
            const std::string path = "/" + movieName;
            fuse_reply_err(req, m->vem->RemoveFile(CStringW(path.c_str())) ? 0 : EIO);
        }
    }

    static void opGetxattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size) {
        Mount* m = self(req);
        std::string value;
        {
            std::lock_guard<std::mutex> guard(m->stateLock);
            auto node = m->nodes.find(ino);
            const Movie* movie = node == m->nodes.end() || node->second.info
                                     ? nullptr
                                     : m->findMovie(node->second.movie);
            bool found = false;
            if (movie != nullptr) {
                for (const auto& xattr : movie->xattrs) {
                    if (xattr.first == name) {
                        value = xattr.second;
                        found = true;
                        break;
                    }
                }
            }
            if (!found) {
                fuse_reply_err(req, ENODATA);
                return;
            }
        }
        replyXattr(req, value, size);
    }

    static void opListxattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
        Mount* m = self(req);
        std::string names;
        {
            std::lock_guard<std::mutex> guard(m->stateLock);
            auto node = m->nodes.find(ino);
            const Movie* movie = node == m->nodes.end() || node->second.info
                                     ? nullptr
                                     : m->findMovie(node->second.movie);
            if (movie != nullptr) {
                for (const auto& xattr : movie->xattrs) {
                    names += xattr.first;
                    names.push_back('\0');
                }
            }
        }
        replyXattr(req, names, size);
    }

    static void replyXattr(fuse_req_t req, const std::string& value, size_t size) {
        if (size == 0) {
            fuse_reply_xattr(req, value.size());
        } else if (size < value.size()) {
            fuse_reply_err(req, ERANGE);
        } else {
            fuse_reply_buf(req, value.data(), value.size());
        }
    }

    static void opStatfs(fuse_req_t req, fuse_ino_t) {
        Mount* m = self(req);
        struct statvfs st {};
        st.f_bsize = 4096;
        st.f_frsize = 4096;
        st.f_namemax = 255;
        {
            std::lock_guard<std::mutex> guard(m->stateLock);
            uint64_t bytes = 0;
            for (const auto& movie : m->snapshot) {
                bytes += movie.second.size;
            }
            st.f_blocks = (bytes + 4095) / 4096;
            st.f_files = m->snapshot.size();
        }
        fuse_reply_statfs(req, &st);
    }

    // Everything that would write, other than unlink.
    static void opSetattr(fuse_req_t req, fuse_ino_t, struct stat*, int, fuse_file_info*) {
        fuse_reply_err(req, EROFS);
    }
    static void opMknod(fuse_req_t req, fuse_ino_t, const char*, mode_t, dev_t) {
        fuse_reply_err(req, EROFS);
    }
    static void opMkdir(fuse_req_t req, fuse_ino_t, const char*, mode_t) {
        fuse_reply_err(req, EROFS);
    }
    static void opRmdir(fuse_req_t req, fuse_ino_t, const char*) { fuse_reply_err(req, EROFS); }
    static void opSymlink(fuse_req_t req, const char*, fuse_ino_t, const char*) {
        fuse_reply_err(req, EROFS);
    }
    static void opRename(fuse_req_t req, fuse_ino_t, const char*, fuse_ino_t, const char*,
                         unsigned int) {
        fuse_reply_err(req, EROFS);
    }
    static void opLink(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) {
        fuse_reply_err(req, EROFS);
    }
    static void opCreate(fuse_req_t req, fuse_ino_t, const char*, mode_t, fuse_file_info*) {
        fuse_reply_err(req, EROFS);
    }
    static void opSetxattr(fuse_req_t req, fuse_ino_t, const char*, const char*, size_t, int) {
        fuse_reply_err(req, EROFS);
    }
    static void opRemovexattr(fuse_req_t req, fuse_ino_t, const char*) {
        fuse_reply_err(req, EROFS);
    }

    zel::vem::CVemInterface* vem;
    const MountOptions options;
    std::string readAheadPath;  // set before the session loop starts
    std::once_flag readAheadWidened;
    const bool emulator;
    const double timeout;
    fuse_session* se = nullptr;

    // Serialises refresh(), so that an older listing never replaces a newer one. Taken after the
    // library's cache lock (handlers run under it), before stateLock.
    std::mutex refreshLock;
    // Guards snapshot, refreshes, lastRefresh, rootTime, nodes, inoByName, nextIno, movieFiles and
    // openDirs.
    // Innermost: nothing else is locked while it is held.
    std::mutex stateLock;
    Snapshot snapshot;
    uint64_t refreshes = 0;
    std::chrono::steady_clock::time_point lastRefresh;
    timespec rootTime{};
    std::unordered_map<fuse_ino_t, Node> nodes;
    std::unordered_map<std::string, fuse_ino_t> inoByName;
    fuse_ino_t nextIno = FUSE_ROOT_ID + 1;
    std::unordered_map<fuse_ino_t, std::shared_ptr<MovieFile>> movieFiles;
    std::unordered_map<DirHandle*, std::unique_ptr<DirHandle>> openDirs;

    // Guards queue, aheadJobs and stopping. Innermost: taken inside a movie's blocksLock to
    // queue a read-ahead, never together with stateLock.
    std::mutex queueLock;
    std::condition_variable queueWake;  // the notifier's
    std::condition_variable aheadWake;  // the read-ahead's
    std::deque<Invalidation> queue;
    std::deque<AheadJob> aheadJobs;
    bool stopping = false;
    std::thread notifier;
    std::thread ahead;
};

const fuse_lowlevel_ops* Mount::operations() {
    static const fuse_lowlevel_ops ops = [] {
        fuse_lowlevel_ops o{};
        o.lookup = opLookup;
        o.getattr = opGetattr;
        o.setattr = opSetattr;
        o.mknod = opMknod;
        o.mkdir = opMkdir;
        o.unlink = opUnlink;
        o.rmdir = opRmdir;
        o.symlink = opSymlink;
        o.rename = opRename;
        o.link = opLink;
        o.open = opOpen;
        o.read = opRead;
        o.release = opRelease;
        o.opendir = opOpendir;
        o.readdir = opReaddir;
        o.releasedir = opReleasedir;
        o.statfs = opStatfs;
        o.setxattr = opSetxattr;
        o.getxattr = opGetxattr;
        o.listxattr = opListxattr;
        o.removexattr = opRemovexattr;
        o.create = opCreate;
        return o;
    }();
    return &ops;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "vem: %s\n", message.c_str());
    return 1;
}

// Starts this program again with the foreground arguments, in a new session, and waits until it
// reports the mount ready (exit 0) or ends (its exit code; it printed why on the shared stderr).
// A fresh process rather than a bare fork: the library's threads may already run in this one.
int runInBackground(const MountOptions& options) {
    char exe[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0) {
        return fail("cannot find this program to start the mount in the background");
    }
    exe[length] = '\0';
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        return fail(std::string("cannot start the mount: ") + std::strerror(errno));
    }
    // Everything the child needs is prepared here: after fork only async-signal-safe calls.
    std::vector<std::string> args{exe};
    args.insert(args.end(), options.foregroundArgs.begin(), options.foregroundArgs.end());
    std::vector<char*> argv;
    for (auto& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::string readyVariable = std::string(kReadyFdVariable) + "=" + std::to_string(ready[1]);
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, kReadyFdVariable, sizeof kReadyFdVariable - 1) != 0) {
            envp.push_back(*e);
        }
    }
    envp.push_back(readyVariable.data());
    envp.push_back(nullptr);

    const pid_t child = fork();
    if (child < 0) {
        return fail(std::string("cannot start the mount: ") + std::strerror(errno));
    }
    if (child == 0) {
        setsid();
        fcntl(ready[1], F_SETFD, 0);
        execve(exe, argv.data(), envp.data());
        _exit(127);
    }
    close(ready[1]);
    char byte = 0;
    ssize_t got;
    do {
        got = read(ready[0], &byte, 1);
    } while (got < 0 && errno == EINTR);
    close(ready[0]);
    if (got == 1) {
        return 0;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) != 0 ? WEXITSTATUS(status) : 1;
}

// In the background process: tell the waiting starter that the mount is up, then let go of its
// terminal and of the folder it was started in.
void reportReady() {
    const char* fdText = std::getenv(kReadyFdVariable);
    if (fdText == nullptr) {
        return;
    }
    const int fd = std::atoi(fdText);
    unsetenv(kReadyFdVariable);
    const int devNull = open("/dev/null", O_RDWR);
    if (devNull >= 0) {
        dup2(devNull, STDIN_FILENO);
        dup2(devNull, STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
        if (devNull > STDERR_FILENO) {
            close(devNull);
        }
    }
    if (chdir("/") != 0) {
        // Staying in the starting folder only keeps it busy; the mount works either way.
    }
    const char byte = 1;
    while (write(fd, &byte, 1) < 0 && errno == EINTR) {
    }
    close(fd);
}

// Ends the process when a stop takes too long. A request that waits on a service that does not
// answer holds its worker, and the session loop joins every worker before it returns; the library's
// shut-down would wait on the same service. Past the grace period the mount is taken away and the
// process ends without that orderly shut-down (the service sees its connections close).
class StopWatchdog {
  public:
    explicit StopWatchdog(fuse_session* se) : se(se), thread([this] { watch(); }) {}
    void teardownStarted() { stopping = true; }
    // The teardown is over: the watchdog ends (within 100 ms) and no longer looks at the session.
    void finish() {
        finished = true;
        thread.join();
    }

  private:
    void watch() {
        while (!stopping && !fuse_session_exited(se)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!finished && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!finished) {
            std::fprintf(stderr, "vem: the drive service does not answer; stopping without it\n");
            fuse_session_unmount(se);
            _exit(1);
        }
    }

    fuse_session* se;
    std::atomic<bool> stopping{false};
    std::atomic<bool> finished{false};
    std::thread thread;
};

}  // namespace

int runMount(const MountOptions& options) {
    if (!options.foreground && std::getenv(kReadyFdVariable) == nullptr) {
        return runInBackground(options);
    }
    struct stat st {};
    if (stat(options.mountpoint.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return fail("mount point " + options.mountpoint + " is not a folder");
    }
    if (options.emulator) {
        setenv("ZELVEM_ENABLE_EMULATOR", "1", 1);
    }
    // A mount is shared by every program that touches it: one request the service never answers
    // must not hold reads for ever. Unless the user chose a bound, requests get 10 s, far more
    // than any frame takes, after which the read fails with EIO and the channel is renewed.
    vemcli::setDefaultSwitch("ZELVEM_TIMEOUT_MS", "10000");
    // A mount outlives restarts of the service: it finds the service again by itself instead of
    // staying empty until it is mounted anew.
    vemcli::setDefaultSwitch("ZELVEM_RECONNECT", "1");
    zel::vem::CVemInterface* vem = zel::vem::instance();
    if (!vem->isEmulator() && !vem->drivePresent()) {
        std::fprintf(stderr, "vem: warning: %s; the mount stays empty until one is\n", kNoDrive);
    }
    Mount mount(vem, options);

    std::vector<std::string> argStrings{"vem", "-o", "fsname=vem,subtype=vem"};
    std::vector<char*> argv;
    for (auto& arg : argStrings) {
        argv.push_back(arg.data());
    }
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    fuse_session* se =
        fuse_session_new(&args, Mount::operations(), sizeof(fuse_lowlevel_ops), &mount);
    // Parsing left an allocated copy of the arguments in `args`; the session keeps none of it.
    fuse_opt_free_args(&args);
    if (se == nullptr) {
        return fail("cannot set up the FUSE session");
    }
    if (fuse_set_signal_handlers(se) != 0) {
        fuse_session_destroy(se);
        return fail("cannot install the signal handlers");
    }
    mount.start(se);
    if (fuse_session_mount(se, options.mountpoint.c_str()) != 0) {
        mount.stop();
        fuse_remove_signal_handlers(se);
        fuse_session_destroy(se);
        return fail("cannot mount on " + options.mountpoint);
    }
    mount.setReadAheadControl(readAheadControl(options.mountpoint));
    mount.startNotifier();
    reportReady();

    StopWatchdog watchdog(se);
    fuse_loop_config* config = fuse_loop_cfg_create();
    // Reads waiting on a slow service each hold a worker; keep enough that lookups and listings,
    // which never wait on the service, still find one.
    fuse_loop_cfg_set_max_threads(config, 64);
    const int result = fuse_session_loop_mt(se, config);
    fuse_loop_cfg_destroy(config);

    watchdog.teardownStarted();
    mount.stopNotifier();
    fuse_session_unmount(se);
    mount.stop();
    watchdog.finish();
    fuse_remove_signal_handlers(se);
    fuse_session_destroy(se);
    // A positive result is the signal that ended the loop: a requested, clean stop.
    return result >= 0 ? 0 : fail("the mount ended with an error");
}

}  // namespace vemcli
