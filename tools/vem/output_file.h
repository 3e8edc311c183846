// An output file that appears under its name only once it is complete.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace vemcli {

// A regular file (or a name that does not exist yet) is written under a new temporary name
// beside it, "NAME.vem-RANDOM.part", created exclusively so that nothing planted there is
// followed or reused; commit() renames it to NAME. Anything that ends without commit() (a
// failure, an exception, and in the vem program SIGINT/SIGTERM/SIGHUP, Ctrl+C) deletes the
// temporary file, so no truncated file is left looking whole.
//
// Other names are written as cp and dd write them: "-" is standard output; an existing folder
// (or a name ending in a separator, which must be a folder) receives `defaultName` inside it;
// something that exists and is not a regular file (a device, a FIFO, /dev/stdout) is written
// to directly, never replaced.
class OutputFile {
  public:
    // Throws Failure when the output cannot be made, before any byte of the movie is read.
    explicit OutputFile(const std::string& name, const std::string& defaultName = std::string());
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    std::FILE* stream() { return stream_; }
    // The name the output ends up under ("-" for standard output), for messages.
    const std::string& path() const { return target_; }
    // Whether the output is written as it is (standard output, a device, a FIFO): its name
    // says nothing about the format then.
    bool direct() const { return temp_.empty(); }
    // Throws Failure when the bytes could not be written.
    void write(const void* data, size_t size);
    // Flushes, closes and renames; throws Failure on any error (the temporary file is removed).
    void commit();
    // The same for a copy that must survive a power cut once reported: the file gets the
    // modification time `modifiedSeconds` (since 1970 UTC), and it and its folder reach the
    // disk before the rename is reported.
    void commitDurably(int64_t modifiedSeconds);

  private:
    void openTemporary();
    void finish(bool durable, int64_t modifiedSeconds);

    std::string target_;
    std::string temp_;  // empty unless written under a temporary name
    std::FILE* stream_ = nullptr;
    int slot_ = -1;  // the signal cleanup's slot for temp_
    bool toStdout_ = false;
    bool done_ = false;
};

}  // namespace vemcli
