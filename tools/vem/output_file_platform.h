// What output files need from the operating system: exclusive creation, what a name is, and
// removal of unfinished files when the process is stopped from outside.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace vemcli::outputplatform {

// What an output name names now, following links as writing through it would.
enum class Kind {
    Missing,  // nothing, or a link that leads nowhere
    Regular,
    Folder,
    Other,  // a device, a FIFO, a socket, a console: written to directly, never replaced
};
Kind kindOf(const std::string& path);

// Creates `path` as a new, empty regular file and opens it for writing (and reading back), failing
// when anything at all has that name (a file, a link, dangling or not) rather than reusing or
// following it. nullptr on failure, with `exists` set when the reason was the name being taken and
// the system's reason in `error`.
std::FILE* createNew(const std::string& path, bool& exists, std::string& error);

// Opens something that already exists and is not a regular file (a device, a FIFO) for writing.
std::FILE* openExisting(const std::string& path, std::string& error);

// Hard-to-guess text for temporary names, so nobody can prepare one in advance.
std::string randomToken();

// Deletes `path`; false when it could not be deleted.
bool removeFile(const std::string& path);

// Remembers `path` as unfinished: if the process is stopped (POSIX: SIGINT, SIGTERM, SIGHUP;
// Windows: Ctrl+C, Ctrl+Break, console close) while it is remembered, the file is deleted before
// the process ends with the signal (exit status 128+N as a shell shows it, 130 for Ctrl+C).
// That handling is installed by the first remember() only in a program that called
// ownStopSignals(); elsewhere nothing is installed and the host stops as it chose to.
// Returns a slot for forget(), or -1 when every slot is taken (then nothing is watched).
int remember(const std::string& path);
void forget(int slot);
// Says that this program owns its stop signals (the vem program does; a library host such as
// the Python package does not: its interpreter turns Ctrl+C into KeyboardInterrupt, and each
// unfinished file is removed as that exception unwinds past it).
void ownStopSignals();
// Installs that handling now, before anything is remembered, so that a stop ends the process
// the same way (130, 128+N) whether or not a file is unfinished at that moment.
void watchStopSignals();

// What durable copies need (vem get): a file whose rename is reported is on the disk, with the
// time it was recorded at.

// Pushes what was written through `stream` (flushed by the caller) to the disk.
bool syncFile(std::FILE* stream);
// Pushes the folder's entries (a rename into it) to the disk. Windows: true, NTFS journals them.
bool syncFolder(const std::string& folder);
// Asks the system to start writing `size` bytes from `offset` of the file to the disk now,
// without waiting, so that the sync at the end finds little left to do while the copy goes on
// meanwhile. Windows: nothing (its lazy writer starts on its own).
void startWriteBack(std::FILE* stream, uint64_t offset, uint64_t size);
// Sets the modification time of the file behind `stream` to `seconds` since 1970 UTC.
bool setModifiedTime(std::FILE* stream, int64_t seconds);
// Reads the first `size` bytes of the file behind `stream` (flushed and synced) back from the
// disk, handing them in order to `take` in pieces of at most 8 MiB; `take` returns false to stop
// early. Linux reads past the system's cache (O_DIRECT: no copy into the cache, no cached page
// mistaken for the disk's; where the file system refuses it, the cached pages are dropped
// first). Windows reads through its cache (no request skips it for a file already open).
// 0 when read, else the errno (EIO when the file ends early).
int readFromDisk(std::FILE* stream, uint64_t size,
                 const std::function<bool(const uint8_t* data, size_t n)>& take);
// Opens `path` for reading and writing, keeping what it holds, or creates it; never follows a
// link. nullptr on failure with the system's reason in `error`.
std::FILE* openReadWrite(const std::string& path, std::string& error);
// Cuts the file behind `stream` to `size` bytes.
bool truncateFile(std::FILE* stream, uint64_t size);
// The size and modification time (seconds since 1970 UTC) of the regular file `path`; false
// when there is none.
bool regularFileInfo(const std::string& path, uint64_t& size, int64_t& modifiedSeconds);

}  // namespace vemcli::outputplatform
