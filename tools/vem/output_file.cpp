// Output files written under a temporary name and renamed when complete.
#include "output_file.h"

#include <cerrno>
#include <cstring>

#include "platform.h"
#include "registry.h"

namespace vemcli {

OutputFile::OutputFile(const std::string& name) : name_(name) {
    if (name == "-") {
        toStdout_ = true;
        stream_ = stdout;
        setBinaryOutput(stdout);
        return;
    }
    temp_ = name + ".vem-" + std::to_string(processId()) + ".part";
    stream_ = std::fopen(temp_.c_str(), "wb");
    if (stream_ == nullptr) {
        throw Failure("cannot create " + temp_ + ": " + std::strerror(errno));
    }
}

OutputFile::~OutputFile() {
    if (toStdout_ || done_) {
        return;
    }
    if (stream_ != nullptr) {
        std::fclose(stream_);
    }
    std::remove(temp_.c_str());
}

void OutputFile::write(const void* data, size_t size) {
    if (size > 0 && std::fwrite(data, 1, size, stream_) != size) {
        throw Failure("cannot write " + (toStdout_ ? std::string("to standard output") : name_) +
                      ": " + std::strerror(errno));
    }
}

void OutputFile::closeStream() {
    if (!toStdout_ && stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
}

void OutputFile::commit() {
    if (toStdout_) {
        if (std::fflush(stdout) != 0) {
            throw Failure("cannot write to standard output");
        }
        done_ = true;
        return;
    }
    if (stream_ != nullptr) {
        bool ok = std::fflush(stream_) == 0;
        ok = std::fclose(stream_) == 0 && ok;
        stream_ = nullptr;
        if (!ok) {
            throw Failure("cannot write " + name_ + ": " + std::strerror(errno));
        }
    }
    if (!replaceFile(temp_, name_)) {
        throw Failure("cannot rename " + temp_ + " to " + name_ + ": " + std::strerror(errno));
    }
    done_ = true;
}

}  // namespace vemcli
