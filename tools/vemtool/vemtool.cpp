// vemtool: the drive's movies from the command line -- list, inspect, read frames, remove, watch.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "suite/numbers.h"
#include "suite/uri_handler.h"
#include "vem/exports.h"
#include "vem/vem_interface.h"

using namespace zel;

namespace {

const char kUsage[] =
    "usage: vemtool COMMAND [ARGS]\n"
    "\n"
    "Works on the recording drive through the simulated or real drive service (pipe\n"
    "\"zelvemsvc\"), or on the emulator folder when ZELVEM_ENABLE_EMULATOR is set.\n"
    "Paths are \"vem:\" paths such as vem:///12-run_a, or names relative to the root.\n"
    "\n"
    "commands:\n"
    "  status                       emulator switch, emulator folder, drive presence\n"
    "  ls [PATH] [FILTER]           list the movies (FILTER: wildcard on the movie name)\n"
    "  info PATH                    size, time and properties of one movie\n"
    "  read PATH [FIRST [COUNT]]    read COUNT frames (default 1) from frame FIRST (default 0)\n"
    "       [--out FILE] [--pgm]    and write them raw, or as 16-bit PGM images (one per frame,\n"
    "                               FILE gets the frame number before its extension)\n"
    "  info-block PATH [--out FILE] fetch the movie's information block (PATH:info)\n"
    "  rm PATH                      delete a movie from the drive\n"
    "  watch [SECONDS]              print a line whenever the set of movies changes (default 10)\n"
    "  resolve PATH...              show how paths resolve through the \"vem:\" registration\n";

int fail(const char* message) {
    std::fprintf(stderr, "vemtool: %s\n", message);
    return 1;
}

CStringW wide(const char* text) {
    return CStringW(text, -1);
}

std::string narrow(const CStringW& text) {
    return text.ToUtf8().str();
}

void printEntry(const CDirectoryEntry& entry) {
    std::printf("%-24s %12" PRIu64 "  %s", narrow(entry.name).c_str(), entry.size,
                entry.time.Format("%Y-%m-%d %H:%M:%S").c_str());
    for (uint32_t i = 0; i < entry.properties.size(); ++i) {
        std::printf("  %s=%s", entry.properties.key(i).c_str(), entry.properties.value(i).c_str());
    }
    std::printf("\n");
}

int cmdStatus(vem::CVemInterface* vem) {
    std::printf("emulator: %s\n", vem->isEmulator() ? "on" : "off");
    std::printf("emulator folder: %s\n", narrow(vem->GetEmulatorFolder()).c_str());
    std::printf("drive present: %s\n", vem->drivePresent() ? "yes" : "no");
    CDirectoryListing root = vem->GetDirectoryListing(wide("vem:///"), CStringW());
    std::printf("movies: %u\n", root.entries.size());
    return 0;
}

int cmdList(vem::CVemInterface* vem, int argc, char** argv) {
    const char* path = argc > 0 ? argv[0] : "vem:///";
    const char* filter = argc > 1 ? argv[1] : "";
    CDirectoryListing listing = vem->GetDirectoryListing(wide(path), wide(filter));
    for (const CDirectoryEntry& entry : listing.entries) {
        printEntry(entry);
    }
    std::fprintf(stderr, "%u entries in %s\n", listing.entries.size(),
                 narrow(listing.path).c_str());
    return 0;
}

int cmdInfo(vem::CVemInterface* vem, int argc, char** argv) {
    if (argc < 1) {
        return fail("info needs a PATH");
    }
    CDirectoryEntry entry = vem->GetInfo(wide(argv[0]));
    if (entry.attributes & 0x80000000u) {
        return fail("no such movie");
    }
    printEntry(entry);
    return 0;
}

bool writeFile(const std::string& name, const std::vector<uint8_t>& header, const uint8_t* data,
               size_t size) {
    FILE* out = std::fopen(name.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    bool ok = std::fwrite(header.data(), 1, header.size(), out) == header.size() &&
              std::fwrite(data, 1, size, out) == size;
    return std::fclose(out) == 0 && ok;
}

std::string numbered(const std::string& name, uint64_t frame) {
    size_t dot = name.rfind('.');
    std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    std::string ext = dot == std::string::npos ? ".pgm" : name.substr(dot);
    return stem + "-" + std::to_string(frame) + ext;
}

int cmdRead(vem::CVemInterface* vem, int argc, char** argv) {
    std::vector<const char*> positional;
    std::string out;
    bool pgm = false;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--out") == 0 && i + 1 < argc) {
            out = argv[++i];
        } else if (std::strcmp(argv[i], "--pgm") == 0) {
            pgm = true;
        } else {
            positional.push_back(argv[i]);
        }
    }
    if (positional.empty()) {
        return fail("read needs a PATH");
    }
    CDirectoryEntry entry = vem->GetInfo(wide(positional[0]));
    if (entry.attributes & 0x80000000u) {
        return fail("no such movie");
    }
    uint32_t width = CUInt16::Parse(entry.properties.GetValue("width"));
    uint32_t height = CUInt16::Parse(entry.properties.GetValue("height"));
    uint64_t first = positional.size() > 1 ? std::strtoull(positional[1], nullptr, 10) : 0;
    uint64_t count = positional.size() > 2 ? std::strtoull(positional[2], nullptr, 10) : 1;
    uint32_t frameSize = width * height * 2;
    TSharedPtr<IFile> file = vem->OpenFile(wide(positional[0]), 0x12);
    if (!file || frameSize == 0) {
        return fail("cannot open the movie");
    }
    std::vector<uint8_t> frame(frameSize);
    std::vector<uint8_t> all;
    file->Seek(static_cast<int64_t>(first * frameSize), 1);
    auto started = std::chrono::steady_clock::now();
    uint64_t done = 0;
    for (; done < count; ++done) {
        if (file->Read(frame.data(), frameSize) != frameSize) {
            break;
        }
        if (pgm) {
            // PGM stores 16-bit samples big-endian; the drive's pixels are little-endian.
            std::vector<uint8_t> swapped(frame.size());
            for (size_t i = 0; i + 1 < frame.size(); i += 2) {
                swapped[i] = frame[i + 1];
                swapped[i + 1] = frame[i];
            }
            std::string header =
                "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n65535\n";
            std::string name = numbered(out.empty() ? std::string("frame.pgm") : out, first + done);
            if (!writeFile(name, std::vector<uint8_t>(header.begin(), header.end()), swapped.data(),
                           swapped.size())) {
                return fail("cannot write the image");
            }
        } else if (!out.empty()) {
            all.insert(all.end(), frame.begin(), frame.end());
        }
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!pgm && !out.empty() && !writeFile(out, {}, all.data(), all.size())) {
        return fail("cannot write the output file");
    }
    std::fprintf(stderr, "read %" PRIu64 " frame(s) of %ux%u in %.3f s\n", done, width, height,
                 seconds);
    return done == count ? 0 : fail("the drive refused a frame");
}

int cmdInfoBlock(vem::CVemInterface* vem, int argc, char** argv) {
    if (argc < 1) {
        return fail("info-block needs a PATH");
    }
    std::string path = std::string(argv[0]) + ":info";
    TSharedPtr<IFile> file = vem->OpenFile(wide(path.c_str()), 0x12);
    if (!file) {
        return fail("cannot open the information block");
    }
    std::vector<uint8_t> block(static_cast<size_t>(file->GetSize()));
    uint32_t got = file->Read(block.data(), static_cast<uint32_t>(block.size()));
    std::printf("%u bytes\n", got);
    if (argc >= 3 && std::strcmp(argv[1], "--out") == 0) {
        return writeFile(argv[2], {}, block.data(), got) ? 0 : fail("cannot write the file");
    }
    return 0;
}

void onFilesChanged(void* userData) {
    auto* count = static_cast<int*>(userData);
    ++*count;
    CDirectoryListing* listing = zelvem_GetDirectoryListing("vem:///", nullptr);
    std::printf("change %d: %u movies\n", *count, listing->entries.size());
    std::fflush(stdout);
    delete listing;
}

int cmdWatch(int argc, char** argv) {
    int seconds = argc > 0 ? std::atoi(argv[0]) : 10;
    int changes = 0;
    zelDelegate handle = zelvem_AddFilesChangedHandler(&onFilesChanged, &changes);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    zelvem_RemoveFilesChangedHandler(handle);
    std::printf("%d change(s) in %d s\n", changes, seconds);
    return 0;
}

int cmdResolve(vem::CVemInterface* vem, int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        IFileSystem* fs = CUriHandler::instance()->GetHandler(wide(argv[i]));
        std::printf("%-28s -> %s, full path %s\n", argv[i],
                    fs == vem ? "vem file system" : "local file system",
                    narrow(fs->GetFullPath(wide(argv[i]))).c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    std::string command = argv[1];
    int rest = argc - 2;
    char** args = argv + 2;
    vem::CVemInterface* vem = zelvem_Load();
    vem->SetCurrentWorkingDirectory(wide("/"));
    if (command == "status")
        return cmdStatus(vem);
    if (command == "ls")
        return cmdList(vem, rest, args);
    if (command == "info")
        return cmdInfo(vem, rest, args);
    if (command == "read")
        return cmdRead(vem, rest, args);
    if (command == "info-block")
        return cmdInfoBlock(vem, rest, args);
    if (command == "rm")
        return vem->RemoveFile(wide(args[0] ? args[0] : "")) ? 0 : fail("not removed");
    if (command == "watch")
        return cmdWatch(rest, args);
    if (command == "resolve")
        return cmdResolve(vem, rest, args);
    std::fputs(kUsage, stderr);
    return 2;
}
