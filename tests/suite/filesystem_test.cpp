// Tests of the local file system, CMemFile, the INI store and the URI registry.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "suite/file.h"
#include "suite/local_file_system.h"
#include "suite/path.h"
#include "suite/store.h"
#include "suite/uri_handler.h"
#include "tests/support/child_process.h"

namespace zel {
namespace {

CStringW Wide(const std::filesystem::path& p) {
    return CStringW(p.u16string());
}

// A fresh folder under the system's temporary folder, removed afterwards.
class SuiteLocalFs : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }
    void TearDown() override { test::removeTree(dir_); }
    CStringW At(const char16_t* name) const { return Wide(root_ / std::u16string(name)); }
    void WriteFile(const char16_t* name, const std::string& bytes) {
        TSharedPtr<IFile> f = fs_->OpenFile(At(name), kOpenWrite | kOpenCreate);
        ASSERT_TRUE(f);
        ASSERT_TRUE(f->WriteBytes(bytes.data(), static_cast<unsigned>(bytes.size())));
    }
    std::string ReadAll(const CStringW& path) {
        TSharedPtr<IFile> f = fs_->OpenFile(path, kOpenRead | kOpenShareRead);
        if (!f) {
            return "<missing>";
        }
        std::string out(static_cast<size_t>(f->GetSize()), '\0');
        out.resize(f->Read(&out[0], static_cast<uint32_t>(out.size())));
        return out;
    }

    IFileSystem* fs_ = fileSystem();
    const std::string dir_ = test::makeTempDir("zel-suite-");
    const std::filesystem::path root_ = std::filesystem::u8path(dir_);
};

std::vector<std::string> Names(const CDirectoryListing& listing) {
    std::vector<std::string> names;
    for (const CDirectoryEntry& e : listing.entries) {
        names.push_back(e.name.ToUtf8().str());
    }
    return names;
}

// Seeks on an 11-byte file: positions stay within [0, size], unknown origins move nothing.
void ExpectSeeks(IFile& f) {
    const struct {
        int64_t offset;
        uint32_t origin;
        int64_t position;
    } seeks[] = {{6, kSeekBegin, 6},
                 {-2, kSeekCurrent, 4},
                 {-1, kSeekEnd, 10},
                 {5, kSeekEnd, 11},
                 {-50, kSeekBegin, 0},
                 {INT64_MAX, kSeekCurrent, 11},
                 {INT64_MIN, kSeekEnd, 0},
                 {3, 0, 0},
                 {3, 4, 0}};
    for (const auto& s : seeks) {
        SCOPED_TRACE(std::to_string(s.offset) + "/" + std::to_string(s.origin));
        EXPECT_EQ(f.Seek(s.offset, s.origin), s.position);
        EXPECT_EQ(f.GetPosition(), s.position);
    }
}

TEST_F(SuiteLocalFs, ListingWithPattern) {
    WriteFile(u"12-run_a.dat", std::string(24, 'x'));
    WriteFile(u"12-run_a.meta", "[meta]\n");
    WriteFile(u"3-x.DAT", "abc");
    WriteFile(u"\u00E9t\u00E9.dat", "");
    ASSERT_TRUE(fs_->MakeDir(At(u"sub.dat"), false));

    const struct {
        const char16_t* pattern;
        std::vector<std::string> names;
    } table[] = {
        {u"*.dat", {"12-run_a.dat", "3-x.DAT", "sub.dat", "\xC3\xA9t\xC3\xA9.dat"}},
        {u"12-*", {"12-run_a.dat", "12-run_a.meta"}},
        {u"*.info", {}},
        {u"", {"12-run_a.dat", "12-run_a.meta", "3-x.DAT", "sub.dat", "\xC3\xA9t\xC3\xA9.dat"}},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(CStringW(row.pattern).ToUtf8().str());
        EXPECT_EQ(Names(fs_->GetDirectoryListing(Wide(root_), row.pattern)), row.names);
    }

    const CDirectoryListing listing = fs_->GetDirectoryListing(Wide(root_), u"*.dat");
    ASSERT_EQ(listing.entries.size(), 4u);
    EXPECT_EQ(listing.owner, fs_);
    const CDirectoryEntry& movie = listing.entries[0];
    EXPECT_EQ(movie.attributes, kAttrFile);
    EXPECT_EQ(movie.size, 24u);
    EXPECT_TRUE(fs_->IsFile(movie.path));  // the path given is a usable full path
    // Modification time: written just now, give or take clock granularity.
    const long long now = (static_cast<long long>(std::time(nullptr)) + 11644473600LL) * 10000000LL;
    EXPECT_LT(std::llabs(movie.time.GetTimestamp(0) - now), 120LL * 10000000LL);
    EXPECT_EQ(listing.entries[2].attributes, kAttrDirectory);
    EXPECT_TRUE(fs_->GetDirectoryListing(At(u"nope"), u"").entries.empty());
}

TEST_F(SuiteLocalFs, InfoRemovalFoldersAndRelativePaths) {
    WriteFile(u"a.dat", "12345");
    // '/' joins on every platform, Windows included; relative paths start at the working folder.
    const CStringW slashed = path::MakePath(Wide(root_), u"a.dat", u'/');
    const CStringW before = fs_->GetCurrentWorkingDirectory();
    ASSERT_TRUE(fs_->SetCurrentWorkingDirectory(Wide(root_)));
    EXPECT_EQ(ReadAll(u"a.dat"), "12345");
    EXPECT_EQ(fs_->GetFullPath(u"a.dat"), fs_->GetInfo(slashed).path);
    EXPECT_TRUE(fs_->SetCurrentWorkingDirectory(before));
    EXPECT_FALSE(fs_->SetCurrentWorkingDirectory(At(u"missing")));

    const CDirectoryEntry info = fs_->GetInfo(slashed);
    EXPECT_EQ(info.attributes, kAttrFile);
    EXPECT_EQ(info.size, 5u);
    const CDirectoryEntry none = fs_->GetInfo(At(u"b.dat"));
    EXPECT_EQ(none.attributes, kAttrNone);
    EXPECT_EQ(none.name, CStringW(u"b.dat"));
    EXPECT_FALSE(fs_->RemoveFile(At(u"b.dat")));
    EXPECT_FALSE(fs_->RemoveFile(Wide(root_)));  // a folder is not a file
    EXPECT_TRUE(fs_->RemoveFile(slashed));
    EXPECT_FALSE(fs_->FileExists(At(u"a.dat")));

    const CStringW deep = path::MakePath(At(u"a"), u"b/c", u'/');
    EXPECT_FALSE(fs_->MakeDir(deep, false));  // parents missing
    EXPECT_TRUE(fs_->MakeDir(deep, true));
    EXPECT_TRUE(fs_->IsDirectory(deep));
    EXPECT_TRUE(fs_->MakeDir(deep, false));  // already there
    WriteFile(u"a/b/file.txt", "x");
    EXPECT_FALSE(fs_->RemoveDir(At(u"a"), false));            // not empty
    EXPECT_FALSE(fs_->RemoveDir(At(u"a/b/file.txt"), true));  // not a folder
    EXPECT_TRUE(fs_->RemoveDir(At(u"a"), true));
    EXPECT_FALSE(fs_->FileExists(At(u"a")));
}

TEST_F(SuiteLocalFs, OpenModes) {
    EXPECT_FALSE(fs_->OpenFile(At(u"new.bin"), kOpenRead));   // read needs the file
    EXPECT_FALSE(fs_->OpenFile(At(u"new.bin"), kOpenWrite));  // so does write alone
    EXPECT_FALSE(fs_->OpenFile(Wide(root_), kOpenRead));      // a folder is no file
    TSharedPtr<IFile> f = fs_->OpenFile(At(u"new.bin"), kOpenRead | kOpenWrite | kOpenCreate);
    ASSERT_TRUE(f);
    ASSERT_TRUE(f->WriteBytes("hello world", 11));
    ExpectSeeks(*f);
    EXPECT_EQ(f->Seek(-5, kSeekEnd), 6);
    char buffer[16] = {};
    EXPECT_EQ(f->Read(buffer, sizeof buffer), 5u);
    EXPECT_STREQ(buffer, "world");
    EXPECT_TRUE(f->SetSize(4));
    EXPECT_TRUE(f->Close());
    EXPECT_EQ(f->Read(buffer, 1), 0u);  // closed

    TSharedPtr<IFile> readOnly = fs_->OpenFile(At(u"new.bin"), kOpenRead | kOpenShareRead);
    ASSERT_TRUE(readOnly);
    EXPECT_FALSE(readOnly->CanWrite());
    EXPECT_EQ(readOnly->Write("x", 1), 0u);
    EXPECT_EQ(readOnly->GetSize(), 4);
    readOnly.reset();
    fs_->OpenFile(At(u"new.bin"), kOpenWrite | kOpenCreate);  // create truncates
    EXPECT_EQ(fs_->GetInfo(At(u"new.bin")).size, 0u);
}

TEST_F(SuiteLocalFs, IniRoundTrip) {
    CINIStore store;
    store.SetString("meta/width", "640");
    store.SetString("meta/height", "480");
    store.SetString("meta/startTime", "045:13:07:09.123.456");
    store.SetString("top", "level");
    store.SetString("other/name", "caf\xC3\xA9 = with spaces");
    store.SetString("meta/WIDTH", "320");  // same key: INI keys ignore case
    const CStringW file = At(u"12-run_a.meta");
    ASSERT_TRUE(store.Save(file));
    EXPECT_EQ(ReadAll(file),
              "top=level\n\n"
              "[meta]\nwidth=320\nheight=480\nstartTime=045:13:07:09.123.456\n\n"
              "[other]\nname=caf\xC3\xA9 = with spaces\n");

    CINIStore loaded;
    loaded.SetString("stale", "gone after load");
    ASSERT_TRUE(loaded.Load(file));
    const struct {
        const char *key, *value;
    } expected[] = {{"Meta/Height", "480"},
                    {"top", "level"},
                    {"other/name", "caf\xC3\xA9 = with spaces"},
                    {"stale", "<default>"},  // Load replaces what was there
                    {"meta/index", "<default>"}};
    for (const auto& row : expected) {
        EXPECT_EQ(loaded.GetString(row.key, "<default>"), CString(row.value)) << row.key;
    }
    EXPECT_FALSE(CINIStore().Load(At(u"missing.meta")));
}

TEST(SuiteIni, ReadsHandWrittenText) {
    CINIStore store;
    store.FromText(
        "\xEF\xBB\xBF; comment\r\n# another\r\n[ meta ]\r\n  width =  640  \r\n"
        "junk line\r\n=no key\r\nheight=480\r\nheight=481\r\n[empty]\n[meta2]\nv=a=b");
    EXPECT_EQ(store.GetString("meta/width", ""), CString("640"));
    EXPECT_EQ(store.GetString("meta/height", ""), CString("481"));  // the last one wins
    EXPECT_EQ(store.GetString("meta2/v", ""), CString("a=b"));
    EXPECT_FALSE(store.HasKey("junk line"));
    // A value cannot carry a line break into the file.
    CINIStore breaks;
    breaks.SetString("s/k", "one\ntwo");
    EXPECT_EQ(breaks.ToText(), CString("[s]\nk=one two\n"));
}

TEST(SuiteMemFile, WriteSeekRead) {
    TSharedPtr<CMemFile> f = CMemFile::Create();
    EXPECT_TRUE(f->WriteBytes("hello world", 11));
    ExpectSeeks(*f);
    f->Seek(6, kSeekBegin);
    EXPECT_TRUE(f->WriteBytes("there!", 6));  // overwrites and grows by one
    f->SeekToBegin();
    char buffer[32] = {};
    EXPECT_EQ(f->Read(buffer, sizeof buffer), 12u);
    EXPECT_STREQ(buffer, "hello there!");
    EXPECT_EQ(f->Read(buffer, 1), 0u);
    EXPECT_TRUE(f->SetSize(5));
    EXPECT_EQ(f->GetPosition(), 5);
    EXPECT_EQ(f->GetSize(), 5);
}

class FakeFs : public CFileSystem {};

TEST(SuiteUriHandler, SchemesIgnoreCase) {
    CUriHandler* registry = CUriHandler::instance();
    FakeFs vem, vemx, replaced;
    EXPECT_EQ(registry->GetHandler(u"vem:///12-run_a"), fileSystem());
    EXPECT_TRUE(registry->RegisterHandler(u"vem:", &vem));
    EXPECT_TRUE(registry->RegisterHandler(u"vemx:", &vemx));
    EXPECT_FALSE(registry->RegisterHandler(u"", &vem));
    EXPECT_FALSE(registry->RegisterHandler(u"x:", nullptr));
    const struct {
        const char16_t* path;
        IFileSystem* handler;
    } table[] = {
        {u"vem:///12-run_a", &vem},   {u"VEM://12-run_a", &vem}, {u"vemx://a", &vemx},
        {u"/tmp/file", fileSystem()}, {u"ve", fileSystem()},
    };
    for (const auto& row : table) {
        EXPECT_EQ(registry->GetHandler(row.path), row.handler) << CStringW(row.path).ToUtf8().str();
    }
    EXPECT_TRUE(registry->RegisterHandler(u"VEM:", &replaced));
    EXPECT_EQ(registry->GetHandler(u"vem://a"), &replaced);
}

}  // namespace
}  // namespace zel
