// Mapping names from the drive to names the local file system keeps as they are.
#include "get/local_names.h"

#include <cctype>
#include <cstring>

#include "platform.h"

namespace vemcli::get {

namespace {

std::string escaped(unsigned char c) {
    static const char kHex[] = "0123456789ABCDEF";
    return std::string{'%', kHex[c >> 4], kHex[c & 15]};
}

bool isDeviceName(const std::string& name) {
    std::string base = name.substr(0, name.find('.'));
    for (char& c : base) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    // NTFS also ignores trailing spaces before the dot: "CON .txt" is the console too.
    while (!base.empty() && base.back() == ' ') {
        base.pop_back();
    }
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") {
        return true;
    }
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

}  // namespace

std::string ntfsSafeName(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F || std::strchr("%<>:\"/\\|?*", c) != nullptr) {
            out += escaped(c);
        } else {
            out += static_cast<char>(c);
        }
    }
    if (isDeviceName(out)) {
        out = escaped(static_cast<unsigned char>(out[0])) + out.substr(1);
    }
    if (!out.empty() && (out.back() == '.' || out.back() == ' ')) {
        const unsigned char last = static_cast<unsigned char>(out.back());
        out.pop_back();
        out += escaped(last);
    }
    return out;
}

std::string localFileName(const std::string& name) {
    if (kNtfsFileNames) {
        return ntfsSafeName(name);
    }
    std::string out;
    for (char c : name) {
        out += c == '/' ? escaped('/') : std::string(1, c);
    }
    return out;
}

}  // namespace vemcli::get
