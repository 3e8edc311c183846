// Emulator mode: the file tree served from a local folder of ".dat", ".info" and ".meta" files.
#include <gtest/gtest.h>

#include <vector>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "suite/datetime.h"
#include "suite/file/imager_file_factory.h"
#include "suite/file/info_block.h"
#include "suite/local_file_system.h"
#include "suite/path.h"
#include "suite/store.h"
#include "tests/support/child_process.h"
#include "vem/exports.h"
#include "vem/vem_imager_file.h"
#include "vem/vem_interface.h"

namespace zel::vem::test {
namespace {

// Day 45 of 2026, 13:07:09.123456 UTC, as 100-ns ticks since 1601.
const int64_t kFirstFrame = CDateTime::FromDate(2026, 2, 14, 13, 7, 9).GetTimestamp(0) + 1234560;

class Emulator : public ::testing::Test {
  protected:
    void SetUp() override {
        zel::test::setEnv("ZELVEM_ENABLE_EMULATOR", "1");
        home = zel::test::makeTempDir("zelvem_emulator_");
        zel::test::setEnv("XDG_DATA_HOME", home);
        vem = instance();
        vem->SetCurrentWorkingDirectory(CStringW(u"/"));
        folder = vem->GetEmulatorFolder();
        ASSERT_FALSE(folder.empty());
        fileSystem()->RemoveDir(folder, true);
        ASSERT_TRUE(fileSystem()->MakeDir(folder, true));
    }
    void TearDown() override {
        fileSystem()->RemoveDir(folder, true);
        zel::test::removeTree(home);
    }

    void write(const char* name, const std::vector<uint8_t>& bytes) {
        TSharedPtr<IFile> file = fileSystem()->OpenFile(
            path::MakePath(folder, CStringW(name, -1), u'/'), kOpenWrite | kOpenCreate);
        ASSERT_TRUE(file);
        ASSERT_TRUE(file->WriteBytes(bytes.data(), static_cast<unsigned>(bytes.size())));
    }
    bool exists(const char* name) {
        return fileSystem()->FileExists(path::MakePath(folder, CStringW(name, -1), u'/'));
    }
    // A width x height movie of `frames` frames, 40 ms apart, pixel i of frame f = f * 1000 + i.
    void writeMovie(const char* entry, uint32_t width, uint32_t height, uint32_t frames) {
        file::SInfoBlock block;
        block.width = width;
        block.height = height;
        for (uint32_t f = 0; f < frames; ++f) {
            block.frameTimes.push_back(kFirstFrame + int64_t{f} * 400000);
        }
        std::vector<uint8_t> data;
        for (uint32_t f = 0; f < frames; ++f) {
            for (uint32_t i = 0; i < width * height; ++i) {
                uint16_t v = static_cast<uint16_t>(f * 1000 + i);
                data.push_back(static_cast<uint8_t>(v));
                data.push_back(static_cast<uint8_t>(v >> 8));
            }
        }
        write((std::string(entry) + ".dat").c_str(), data);
        write((std::string(entry) + ".info").c_str(), file::EncodeInfoBlock(block));
    }

    CVemInterface* vem = nullptr;
    std::string home;  // XDG_DATA_HOME of this test (the emulator folder's base on POSIX)
    CStringW folder;
};

std::string prop(const CDirectoryEntry& entry, const char* key) {
    return entry.properties.GetValue(key).str();
}

TEST_F(Emulator, EntryPropertiesComeFromTheMovieAndAreKeptInTheMetaFile) {
    writeMovie("15-test", 4, 3, 5);
    CDirectoryEntry entry = vem->GetInfo(CStringW(u"vem:///15-test"));
    EXPECT_EQ(entry.attributes, 2u);
    EXPECT_EQ(entry.name.ToUtf8().str(), "15-test");
    EXPECT_EQ(entry.path.ToUtf8().str(), "/15-test");
    EXPECT_EQ(entry.size, 4u * 3 * 5 * 2);
    EXPECT_EQ(prop(entry, "index"), "15");
    EXPECT_EQ(prop(entry, "width"), "4");
    EXPECT_EQ(prop(entry, "height"), "3");
    EXPECT_EQ(prop(entry, "numFrames"), "5");
    EXPECT_EQ(prop(entry, "startTime"), "045:13:07:09.123.456");
    EXPECT_EQ(prop(entry, "endTime"), "045:13:07:09.283.456");
    EXPECT_EQ(prop(entry, "duration"), "160000");  // microseconds
    EXPECT_TRUE(exists("15-test.meta"));

    // Once written, the meta file answers alone: the movie data is not needed again.
    ASSERT_TRUE(fileSystem()->RemoveFile(path::MakePath(folder, CStringW(u"15-test.dat"), u'/')));
    CDirectoryEntry again = vem->GetInfo(CStringW(u"/15-test"));
    EXPECT_EQ(again.attributes, 2u);
    EXPECT_EQ(prop(again, "numFrames"), "5");

    // The index is the text before the first hyphen.
    writeMovie("nodash", 2, 2, 1);
    writeMovie("7-a-b", 2, 2, 1);
    EXPECT_EQ(prop(vem->GetInfo(CStringW(u"/nodash")), "index"), "0");
    EXPECT_EQ(prop(vem->GetInfo(CStringW(u"/7-a-b")), "index"), "7");
}

TEST_F(Emulator, ListingShowsReadableMoviesAndIgnoresTheFilter) {
    writeMovie("3-x", 2, 2, 2);
    writeMovie("12-run_a", 2, 2, 1);
    write("9-broken.dat", {1, 2, 3});  // no info block and no meta file
    write("notes.txt", {1});
    CDirectoryListing listing =
        vem->GetDirectoryListing(CStringW(u"vem:///"), CStringW(u"nothing-matches*"));
    EXPECT_EQ(listing.owner, vem);
    EXPECT_EQ(listing.path.ToUtf8().str(), "/");
    std::vector<std::string> names;
    for (const CDirectoryEntry& entry : listing.entries) {
        names.push_back(entry.name.ToUtf8().str());
        EXPECT_EQ(entry.path.ToUtf8().str(), "/" + names.back());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"12-run_a", "3-x"}));
    EXPECT_EQ(vem->GetDirectoryListing(CStringW(u"/3-x"), CStringW()).entries.size(), 0u);
    EXPECT_EQ(vem->GetInfo(CStringW(u"/9-broken")).attributes, 0x80000000u);
}

TEST_F(Emulator, OpensDataAndInfoStreamsInAnyCase) {
    writeMovie("12-run_a", 2, 2, 3);
    TSharedPtr<IFile> data = vem->OpenFile(CStringW(u"/12-run_a"), kOpenRead);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->GetSize(), 24);
    for (const char16_t* suffix : {u":info", u":INFO", u":Info"}) {
        TSharedPtr<IFile> info = vem->OpenFile(CStringW(u"/12-run_a") + suffix, kOpenRead);
        ASSERT_TRUE(info);
        EXPECT_EQ(info->GetSize(), static_cast<int64_t>(file::InfoBlockSize(3)));
    }
    EXPECT_FALSE(vem->OpenFile(CStringW(u"/13-missing"), kOpenRead));
}

// Names that would reach something other than a movie of the folder: a NUL cuts the local name
// short of its extension, a device name reaches hardware (Windows), a pipe blocks its reader.
TEST_F(Emulator, OpenWithCreateMakesTheFileWhereNothingIs) {
    // The host's mode reaches the local file system: a new movie file can be made.
    TSharedPtr<IFile> made = vem->OpenFile(CStringW(u"vem:///5-new"), kOpenWrite | kOpenCreate);
    ASSERT_TRUE(made);
    EXPECT_EQ(made->Write("abcd", 4), 4u);
    made.reset();
    EXPECT_TRUE(exists("5-new.dat"));
    EXPECT_FALSE(vem->OpenFile(CStringW(u"vem:///6-none"), kOpenRead));
    EXPECT_FALSE(exists("6-none.dat"));
#if !defined(_WIN32)
    // What is there and is no regular file stays refused, and a planted link is not followed.
    const std::string dir = home + "/Quen Systems/VEM";
    ASSERT_EQ(mkfifo((dir + "/7-fifo.dat").c_str(), 0600), 0);
    ASSERT_EQ(symlink((dir + "/elsewhere").c_str(), (dir + "/8-link.dat").c_str()), 0);
    for (const char16_t* name : {u"/7-fifo", u"/8-link"}) {
        EXPECT_FALSE(vem->OpenFile(CStringW(name), kOpenWrite | kOpenCreate));
    }
    EXPECT_FALSE(exists("elsewhere"));
#endif
}

TEST_F(Emulator, HostileNamesReachNoFileAndNoDevice) {
    writeMovie("1-run", 2, 2, 1);
    write("notes.txt", {1, 2, 3});
    write("keep.meta", {'x'});
    std::vector<CStringW> names = {
        CStringW(u"/notes.txt\0", 11), CStringW(u"/keep.meta\0x", 12), CStringW(u"/1-run\0", 7),
        CStringW(u"/1-run\t"),         CStringW(u"/1-r\u001Bun"),      CStringW(u"/1-run\u0085"),
        CStringW(u"/\u007F"),
    };
#if defined(_WIN32)
    for (const char16_t* device :
         {u"/NUL", u"/nul", u"/CON", u"/prn.txt", u"/AUX", u"/COM1", u"/com9.x", u"/LPT1",
          u"/lpt9 ", u"/Com\u00B9", u"/CONIN$", u"/1-run:stream"}) {
        names.emplace_back(device);
    }
#else
    ASSERT_EQ(mkfifo((home + "/Quen Systems/VEM/2-fifo.dat").c_str(), 0600), 0);
    names.emplace_back(u"/2-fifo");
#endif
    for (const CStringW& name : names) {
        SCOPED_TRACE(name.ToUtf8().str());
        EXPECT_EQ(vem->GetInfo(name).attributes, 0x80000000u);
        EXPECT_FALSE(vem->OpenFile(name, kOpenRead));
        EXPECT_FALSE(vem->OpenFile(name + u":info", kOpenRead));
        EXPECT_FALSE(vem->RemoveFile(name));
    }
    for (const char* kept : {"notes.txt", "keep.meta", "1-run.dat", "1-run.info"}) {
        EXPECT_TRUE(exists(kept)) << kept;
    }
    CDirectoryListing listing = vem->GetDirectoryListing(CStringW(u"/"), CStringW());
    ASSERT_EQ(listing.entries.size(), 1u);  // the pipe is no movie
    EXPECT_EQ(listing.entries[0].name.ToUtf8().str(), "1-run");
}

TEST_F(Emulator, RemovingDeletesAllThreeFilesAndTellsTheHandlers) {
    writeMovie("12-run_a", 2, 2, 1);
    vem->GetInfo(CStringW(u"/12-run_a"));  // creates the meta file
    int calls = 0;
    zelDelegate handle =
        zelvem_AddFilesChangedHandler([](void* user) { ++*static_cast<int*>(user); }, &calls);
    EXPECT_TRUE(zelvem_RemoveFile("/12-run_a"));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(exists("12-run_a.dat"));
    EXPECT_FALSE(exists("12-run_a.info"));
    EXPECT_FALSE(exists("12-run_a.meta"));
    EXPECT_FALSE(zelvem_RemoveFile("/12-run_a"));  // nothing left to remove, nobody told
    EXPECT_EQ(calls, 1);
    zelvem_RemoveFilesChangedHandler(handle);

    // A handler that throws does not silence the ones after it.
    writeMovie("13-run_b", 2, 2, 1);
    vem->AddFilesChangedHandler(delegate<void()>::FromCallable([] { throw 42; }));
    vem->AddFilesChangedHandler(delegate<void()>::FromCallable([&calls] { ++calls; }));
    EXPECT_TRUE(vem->RemoveFile(CStringW(u"/13-run_b")));
    EXPECT_EQ(calls, 2);
}

TEST_F(Emulator, ImagerFileFactoryOpensMoviesAsVemImagerFiles) {
    writeMovie("12-run_a", 3, 2, 4);
    file::CImagerFileFactory* factory = file::imagerFileFactory();
    EXPECT_TRUE(factory->IsRegistered(CString("VEM Imager File")));
    file::IImagerFile* reader = factory->OpenPath(vem, CStringW(u"vem:///12-run_a"), 0);
    ASSERT_NE(reader, nullptr);
    EXPECT_STREQ(reader->GetFormatName(), "VEM Imager File");
    EXPECT_EQ(reader->xPixels(), 3u);
    EXPECT_EQ(reader->nFrames(), 4u);
    uint16_t pixels[6] = {};
    ASSERT_TRUE(reader->GetFrame(2, pixels, sizeof pixels));
    EXPECT_EQ(pixels[5], 2005);
    factory->Destroy(reader);

    // Not the drive's file system, or no such movie: the reader stays closed.
    CVemImagerFile direct;
    EXPECT_FALSE(direct.Open(fileSystem(), CStringW(u"/12-run_a"), 0));
    EXPECT_FALSE(direct.Open(vem, CStringW(u"/99-none"), 0));
    EXPECT_TRUE(direct.Open(vem, CStringW(u"/12-run_a"), 0));
}

}  // namespace
}  // namespace zel::vem::test
