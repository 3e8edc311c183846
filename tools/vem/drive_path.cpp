// Parsing of PATH arguments.
#include "drive_path.h"

#include <cctype>

#include "registry.h"

namespace vemcli {

namespace {

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string DrivePath::libraryPath() const {
    return "/" + name + (info ? ":info" : "");
}

std::string DrivePath::display() const {
    return "vem:///" + name + (info ? ":info" : "");
}

DrivePath parseDrivePath(const std::string& text) {
    std::string rest = text;
    if (startsWithNoCase(rest, "vem:")) {
        rest.erase(0, 4);
        if (rest.compare(0, 2, "//") == 0) {
            rest.erase(0, 2);
            // "vem://host/..." would name another machine's drive, which no service offers.
            if (!rest.empty() && rest[0] != '/') {
                throw Failure("'" + text + "': a drive path has no host (write vem:///NAME)");
            }
        }
    }
    size_t slashes = rest.find_first_not_of('/');
    rest.erase(0, slashes == std::string::npos ? rest.size() : slashes);

    DrivePath path;
    static const std::string kInfo = ":info";
    if (rest.size() >= kInfo.size() &&
        startsWithNoCase(rest.substr(rest.size() - kInfo.size()), kInfo)) {
        path.info = true;
        rest.erase(rest.size() - kInfo.size());
    }
    if (rest.find_first_of("/\\") != std::string::npos) {
        throw Failure("'" + text + "': the drive has no folders, only movies in its root");
    }
    if (path.info && rest.empty()) {
        throw Failure("'" + text + "': an info stream belongs to a movie (write NAME:info)");
    }
    path.name = rest;
    return path;
}

}  // namespace vemcli
