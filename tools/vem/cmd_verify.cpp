// vem verify: the files of a vem get folder checked against its manifest, without the drive.
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "display_text.h"
#include "get/content_hash.h"
#include "get/manifest.h"
#include "output_file_platform.h"
#include "registry.h"

namespace {

namespace os = vemcli::outputplatform;

struct Options {
    std::string dest;
    bool json = false;
};

// The hash of the `size` bytes of the file at `path`, read from the disk (past the page cache,
// where the platform lets a read skip it); empty when they cannot all be read.
std::string hashOnDisk(const std::string& path, uint64_t size) {
    std::FILE* stream = std::fopen(path.c_str(), "rb");
    if (stream == nullptr) {
        return std::string();
    }
    vemcli::get::ContentHash hash;
    const int error = os::readFromDisk(stream, size, [&](const uint8_t* data, size_t n) {
        hash.update(data, n);
        return true;
    });
    std::fclose(stream);
    return error == 0 ? hash.hex() : std::string();
}

int runVerify(const Options& o) {
    vemcli::get::Manifest manifest(o.dest);
    manifest.load();
    if (manifest.hashes().empty() && manifest.malformed().empty()) {
        throw vemcli::Failure(manifest.path() + ": no manifest, or it lists no file");
    }
    int bad = 0;
    for (const std::string& line : manifest.malformed()) {
        std::fprintf(stderr, "vem: %s: not a manifest line: %s\n", manifest.path().c_str(),
                     vemcli::displayText(line).c_str());
        ++bad;
    }
    for (const auto& [name, expected] : manifest.hashes()) {
        const std::string path = o.dest + "/" + name;
        uint64_t size = 0;
        int64_t time = 0;
        std::string status = "ok";
        if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos ||
            name == "." || name == "..") {
            status = "not in the folder";
        } else if (!os::regularFileInfo(path, size, time)) {
            status = "missing";
        } else {
            const std::string actual = hashOnDisk(path, size);
            status = actual.empty() ? "unreadable" : actual == expected ? "ok" : "differs";
        }
        if (status != "ok") {
            ++bad;
            std::fprintf(stderr, "vem: %s: %s\n", vemcli::displayText(path).c_str(),
                         status.c_str());
        }
        if (o.json) {
            std::printf("%s\n",
                        nlohmann::json({{"name", name}, {"status", status}}).dump().c_str());
        }
    }
    return bad == 0 ? vemcli::kExitOk : vemcli::kExitFailure;
}

}  // namespace

void registerCommand_verify(vemcli::Registry& registry) {
    static Options o;
    CLI::App* app = registry.add("verify", "Check a folder of vem get against its manifest",
                                 [] { return runVerify(o); });
    app->add_option("DEST", o.dest, "The folder vem get copied into")->required();
    app->add_flag("--json", o.json, "One JSON object per file");
    app->footer(
        "Reads every file listed in DEST/XXH128SUMS from the disk; exit 1 when one is "
        "missing or differs.");
}
