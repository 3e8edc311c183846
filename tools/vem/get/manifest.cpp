// Reading and writing XXH128SUMS.
#include "get/manifest.h"

#include <cctype>
#include <ctime>
#include <fstream>
#include <sstream>

#include "failure.h"
#include "output_file.h"
#include "output_file_platform.h"

namespace vemcli::get {

namespace {

bool isHex(const std::string& text) {
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return !text.empty();
}

}  // namespace

Manifest::Manifest(std::string folder) : folder_(std::move(folder)) {}

std::string Manifest::path() const {
    return folder_ + "/" + kManifestName;
}

std::string Manifest::entryLine(const std::string& name, const std::string& hex) {
    std::string escapedName;
    bool escaped = false;
    for (char c : name) {
        if (c == '\\' || c == '\n' || c == '\r') {
            escaped = true;
            escapedName += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : "\\r";
        } else {
            escapedName += c;
        }
    }
    return (escaped ? "\\" : "") + hex + "  " + escapedName;
}

bool Manifest::parseLine(const std::string& line, std::string& name, std::string& hex,
                         bool& malformed) {
    malformed = false;
    if (line.empty() || line[0] == '#') {
        return false;
    }
    const bool escaped = line[0] == '\\';
    const size_t start = escaped ? 1 : 0;
    const size_t gap = line.find("  ", start);
    if (gap == std::string::npos || gap + 2 >= line.size()) {
        malformed = true;
        return false;
    }
    hex = line.substr(start, gap - start);
    if (hex.size() != 32 || !isHex(hex)) {
        malformed = true;
        return false;
    }
    const std::string raw = line.substr(gap + 2);
    name.clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        if (escaped && raw[i] == '\\') {
            const char next = i + 1 < raw.size() ? raw[++i] : '\0';
            if (next != '\\' && next != 'n' && next != 'r') {
                malformed = true;
                return false;
            }
            name += next == '\\' ? '\\' : next == 'n' ? '\n' : '\r';
        } else {
            name += raw[i];
        }
    }
    return true;
}

void Manifest::load() {
    uint64_t size = 0;
    int64_t time = 0;
    if (!outputplatform::regularFileInfo(path(), size, time)) {
        if (outputplatform::kindOf(path()) != outputplatform::Kind::Missing) {
            throw Failure(path() + ": not a regular file");
        }
        return;
    }
    std::ifstream in(path(), std::ios::binary);
    if (!in) {
        throw Failure("cannot read " + path());
    }
    std::string line;
    std::string comment;  // the line above an entry, which says what its drive name was
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::string name;
        std::string hex;
        bool malformed = false;
        if (parseLine(line, name, hex, malformed)) {
            hashes_[name] = hex;
            if (!comment.empty()) {
                comments_[name] = comment;
            }
        } else if (malformed) {
            malformed_.push_back(line);
        }
        comment = !line.empty() && line[0] == '#' ? line : std::string();
    }
}

void Manifest::set(const std::string& name, const std::string& hex, const std::string& driveName) {
    hashes_[name] = hex;
    if (driveName != name) {
        comments_[name] = "# " + name + " is " + driveName + " on the drive";
    } else {
        comments_.erase(name);
    }
}

void Manifest::save() const {
    std::ostringstream text;
    for (const auto& [name, hex] : hashes_) {
        auto comment = comments_.find(name);
        if (comment != comments_.end()) {
            text << comment->second << "\n";
        }
        text << entryLine(name, hex) << "\n";
    }
    const std::string bytes = text.str();
    OutputFile out(path());
    out.write(bytes.data(), bytes.size());
    out.commitDurably(static_cast<int64_t>(std::time(nullptr)));
}

}  // namespace vemcli::get
