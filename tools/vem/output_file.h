// An output file that appears under its name only once it is complete.
#pragma once

#include <cstdio>
#include <string>

namespace vemcli {

// Writes go to "NAME.vem-PID.part" beside NAME; commit() renames it to NAME. Anything that ends
// without commit() (a failure, an exception) deletes the partial file, so no truncated file is
// left looking whole. The name "-" means standard output, written directly.
class OutputFile {
  public:
    explicit OutputFile(const std::string& name);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    std::FILE* stream() { return stream_; }
    // The path being written (for libraries that open files themselves): the temporary name.
    const std::string& writingPath() const { return temp_; }
    // Throws Failure when the bytes could not be written.
    void write(const void* data, size_t size);
    // Flushes, closes and renames; throws Failure on any error (the partial file is removed).
    void commit();
    // Closes the stream without committing, for writers that reopen writingPath() themselves.
    void closeStream();

  private:
    std::string name_;
    std::string temp_;
    std::FILE* stream_ = nullptr;
    bool toStdout_ = false;
    bool done_ = false;
};

}  // namespace vemcli
