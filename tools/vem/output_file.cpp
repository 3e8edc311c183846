// Output files: exclusive temporary names beside the target, renamed when complete.
#include "output_file.h"

#include <cerrno>
#include <cstring>

#include "failure.h"
#include "output_file_platform.h"
#include "platform.h"

namespace vemcli {

namespace {

namespace os = outputplatform;

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

// A name from the drive as one entry of a local folder.
std::string asFileName(std::string name) {
    for (char& c : name) {
        if (isSeparator(c)) {
            c = '_';
        }
    }
    return name;
}

// The folder holding `path`, for syncing the rename into it.
std::string parentFolder(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

}  // namespace

OutputFile::OutputFile(const std::string& name, const std::string& defaultName) : target_(name) {
    if (name == "-") {
        toStdout_ = true;
        stream_ = stdout;
        setBinaryOutput(stdout);
        return;
    }
    if (name.empty()) {
        throw Failure("an output file name is empty");
    }
    os::Kind kind = os::kindOf(target_);
    const bool folderWanted = isSeparator(name.back());
    if (kind == os::Kind::Folder || folderWanted) {
        if (kind != os::Kind::Folder) {
            throw Failure(name + ": " +
                          (kind == os::Kind::Missing ? "no such folder" : "not a folder"));
        }
        if (defaultName.empty()) {
            throw Failure(name + " is a folder; name a file");
        }
        target_ = name + (folderWanted ? "" : "/") + asFileName(defaultName);
        kind = os::kindOf(target_);
        if (kind == os::Kind::Folder) {
            throw Failure(target_ + " is a folder");
        }
    }
    if (kind == os::Kind::Other) {
        std::string error;
        stream_ = os::openExisting(target_, error);
        if (stream_ == nullptr) {
            throw Failure("cannot write " + target_ + ": " + error);
        }
        return;
    }
    openTemporary();
}

void OutputFile::openTemporary() {
    // Random names that are taken are skipped; one that keeps being taken means someone is
    // racing us for every name, which a few tries are enough to give up on.
    std::string error = "every temporary name was taken";
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string temp = target_ + ".vem-" + os::randomToken() + ".part";
        // Watched before it exists: a signal right after the creation must find it.
        slot_ = os::remember(temp);
        bool exists = false;
        stream_ = os::createNew(temp, exists, error);
        if (stream_ != nullptr) {
            temp_ = std::move(temp);
            return;
        }
        os::forget(slot_);
        slot_ = -1;
        if (!exists) {
            break;
        }
    }
    throw Failure("cannot create a temporary file beside " + target_ + ": " + error);
}

OutputFile::~OutputFile() {
    if (toStdout_ || done_) {
        return;
    }
    if (stream_ != nullptr) {
        std::fclose(stream_);
    }
    if (!temp_.empty()) {
        os::removeFile(temp_);
        os::forget(slot_);
    }
}

void OutputFile::write(const void* data, size_t size) {
    if (size > 0 && std::fwrite(data, 1, size, stream_) != size) {
        throw Failure("cannot write " + (toStdout_ ? std::string("to standard output") : target_) +
                      ": " + std::strerror(errno));
    }
}

void OutputFile::commit() {
    finish(false, 0);
}

void OutputFile::commitDurably(int64_t modifiedSeconds) {
    finish(true, modifiedSeconds);
}

void OutputFile::finish(bool durable, int64_t modifiedSeconds) {
    if (toStdout_) {
        if (std::fflush(stdout) != 0) {
            throw Failure("cannot write to standard output");
        }
        done_ = true;
        return;
    }
    bool ok = std::fflush(stream_) == 0;
    int error = ok ? 0 : errno;
    if (ok && durable && !temp_.empty() &&
        (!os::setModifiedTime(stream_, modifiedSeconds) || !os::syncFile(stream_))) {
        ok = false;
        error = errno;
    }
    if (std::fclose(stream_) != 0 && ok) {
        ok = false;
        error = errno;
    }
    stream_ = nullptr;
    if (!ok) {
        throw Failure("cannot write " + target_ + ": " + std::strerror(error));
    }
    if (!temp_.empty()) {
        // rename() replaces whatever entry has the name, a link included, and follows none.
        if (!replaceFile(temp_, target_)) {
            throw Failure("cannot rename " + temp_ + " to " + target_ + ": " +
                          std::strerror(errno));
        }
        os::forget(slot_);
        if (durable && !os::syncFolder(parentFolder(target_))) {
            throw Failure("cannot sync the folder of " + target_ + ": " + std::strerror(errno));
        }
    }
    done_ = true;
}

}  // namespace vemcli
