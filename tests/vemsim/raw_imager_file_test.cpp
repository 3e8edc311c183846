// Tests of CRawImagerFile and the imager-file factory over memory streams and the local disk.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "suite/file/imager_file_factory.h"
#include "suite/file/raw_imager_file.h"
#include "suite/local_file_system.h"
#include "tests/support/child_process.h"

using namespace zel;
using namespace zel::file;

namespace {

// A 3 x 2 movie of four frames; pixel i of frame f is f * 1000 + i.
SInfoBlock smallBlock() {
    SInfoBlock block;
    block.width = 3;
    block.height = 2;
    block.recordingTime = 1000;
    block.frameTimes = {1000, 1500, 2250, 9999999};
    return block;
}

std::vector<uint8_t> smallData() {
    std::vector<uint8_t> bytes;
    for (uint16_t f = 0; f < 4; ++f) {
        for (uint16_t i = 0; i < 6; ++i) {
            const uint16_t value = static_cast<uint16_t>(f * 1000 + i);
            bytes.push_back(static_cast<uint8_t>(value & 0xFF));
            bytes.push_back(static_cast<uint8_t>(value >> 8));
        }
    }
    return bytes;
}

TSharedPtr<IFile> memFile(const std::vector<uint8_t>& bytes) {
    TSharedPtr<CMemFile> file = CMemFile::Create();
    if (!bytes.empty()) {
        file->Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    return file;
}

// Reports any size it is told to and counts reads, to see what a reader touches.
class SizedFile : public IFile {
  public:
    explicit SizedFile(int64_t size) : size(size) {}
    CStringW GetName() override { return CStringW(u"sized"); }
    IFileSystem* GetFileSystem() override { return nullptr; }
    uint32_t Write(const void*, uint32_t) override { return 0; }
    uint32_t Read(void*, uint32_t) override {
        ++reads;
        return 0;
    }
    int64_t GetSize() override { return size; }
    int64_t GetPosition() override { return 0; }
    int64_t Seek(int64_t, uint32_t) override { return 0; }
    bool SetSize(int64_t) override { return false; }
    void Flush() override {}
    bool Close() override { return true; }
    bool CanRead() override { return true; }
    bool CanWrite() override { return false; }

    int64_t size;
    int reads = 0;
};

bool writeFile(const CStringW& path, const std::vector<uint8_t>& bytes) {
    TSharedPtr<IFile> file = fileSystem()->OpenFile(path, kOpenCreate | kOpenWrite);
    return file &&
           (bytes.empty() || file->WriteBytes(bytes.data(), static_cast<unsigned>(bytes.size())));
}

}  // namespace

TEST(RawImagerFile, ReadsFramesAndTimesFromStreams) {
    CRawImagerFile raw;
    ASSERT_TRUE(raw.Open(memFile(smallData()), memFile(EncodeInfoBlock(smallBlock())), 5));
    EXPECT_STREQ(raw.GetFormatName(), "Raw Imager File");
    EXPECT_EQ(raw.xPixels(), 3u);
    EXPECT_EQ(raw.yPixels(), 2u);
    EXPECT_EQ(raw.nFrames(), 4u);
    EXPECT_EQ(raw.GetFlags(), 5u);
    EXPECT_EQ(raw.GetPresetCount(), 1u);
    EXPECT_FALSE(raw.SetCurrentPreset(1));

    // Frames read out of order, so a reader that relied on the stream position would fail.
    for (uint64_t f : {2u, 0u, 3u, 1u}) {
        uint16_t pixels[6] = {};
        ASSERT_TRUE(raw.GetFrame(f, pixels, sizeof pixels));
        for (uint16_t i = 0; i < 6; ++i) {
            EXPECT_EQ(pixels[i], f * 1000 + i) << "frame " << f << " pixel " << i;
        }
    }
    uint16_t pixels[6];
    EXPECT_FALSE(raw.GetFrame(4, pixels, sizeof pixels));
    EXPECT_FALSE(raw.GetFrame(0, pixels, sizeof pixels - 1));

    CReduceObjectArray objects;
    for (uint32_t f = 0; f < 4; ++f) {
        unsigned char preset = 9;
        ASSERT_TRUE(raw.GetReduceObjectsForFrame(f, preset, objects));
        EXPECT_EQ(preset, 0);
        TSharedPtr<CFrameInfoReduceObject> info = objects.GetFrameInfo(preset, false);
        ASSERT_TRUE(info);
        EXPECT_EQ(info->GetFrameNumber(), f);
        EXPECT_EQ(info->GetTimestamp().GetTimestamp(CDateTime::kTicks), smallBlock().frameTimes[f]);
        EXPECT_FALSE(objects.GetFrameInfo(1, false));
    }
    unsigned char preset = 0;
    EXPECT_FALSE(raw.GetReduceObjectsForFrame(4, preset, objects));
}

// The reader holds both streams while open (the drive's files live as long as it does) and
// lets them go when closed.
TEST(RawImagerFile, HoldsItsStreamsUntilClosed) {
    TSharedPtr<IFile> data = memFile(smallData());
    TSharedPtr<IFile> info = memFile(EncodeInfoBlock(smallBlock()));
    CRawImagerFile raw;
    ASSERT_TRUE(raw.Open(data, info, 0));
    EXPECT_EQ(data.counter()->count(), 2u);
    EXPECT_EQ(info.counter()->count(), 2u);
    raw.Close();
    EXPECT_EQ(data.counter()->count(), 1u);
    EXPECT_EQ(info.counter()->count(), 1u);
    EXPECT_EQ(raw.nFrames(), 0u);
    uint16_t pixels[6];
    EXPECT_FALSE(raw.GetFrame(0, pixels, sizeof pixels));
}

TEST(RawImagerFile, RejectsStreamsThatDoNotAgree) {
    const std::vector<uint8_t> data = smallData();
    const std::vector<uint8_t> info = EncodeInfoBlock(smallBlock());
    std::vector<uint8_t> damagedInfo = info;
    damagedInfo[0] = 'X';
    struct Case {
        const char* what;
        TSharedPtr<IFile> data;
        TSharedPtr<IFile> info;
    };
    const Case cases[] = {
        {"data one byte short", memFile({data.begin(), data.end() - 1}), memFile(info)},
        {"data one byte long", memFile([&] {
             auto d = data;
             d.push_back(0);
             return d;
         }()),
         memFile(info)},
        {"data one frame long", memFile([&] {
             auto d = data;
             d.resize(d.size() + 12);
             return d;
         }()),
         memFile(info)},
        {"empty data", memFile({}), memFile(info)},
        {"empty info", memFile(data), memFile({})},
        {"damaged info", memFile(data), memFile(damagedInfo)},
        {"no data stream", TSharedPtr<IFile>(), memFile(info)},
        {"no info stream", memFile(data), TSharedPtr<IFile>()},
        {"data of unknown size", TSharedPtr<IFile>(new SizedFile(-1)), memFile(info)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CRawImagerFile raw;
        EXPECT_FALSE(raw.Open(c.data, c.info, 0));
        EXPECT_EQ(raw.GetInfoBlock(), nullptr);
        EXPECT_EQ(raw.nFrames(), 0u);
        EXPECT_EQ(raw.GetPresetCount(), 0u);
    }
}

// An info stream claiming a terabyte is refused before a byte is read or allocated.
TEST(RawImagerFile, RefusesAnOversizedInfoStreamUnread) {
    SizedFile* info = new SizedFile(int64_t{1} << 40);
    TSharedPtr<IFile> infoRef(info);
    CRawImagerFile raw;
    EXPECT_FALSE(raw.Open(memFile(smallData()), infoRef, 0));
    EXPECT_EQ(info->reads, 0);
}

TEST(RawImagerFile, OpensADatPathWithItsInfoBeside) {
    const std::string dir = zel::test::makeTempDir("zelfile_raw_");
    ASSERT_FALSE(dir.empty());
    const CStringW base = CStringW(dir.c_str()) + u"/7-run";
    ASSERT_TRUE(writeFile(base + u".dat", smallData()));
    ASSERT_TRUE(writeFile(base + u".info", EncodeInfoBlock(smallBlock())));

    CRawImagerFile raw;
    ASSERT_TRUE(raw.Open(fileSystem(), base + u".dat", 3));
    EXPECT_TRUE(raw.GetFilename() == base + u".dat");
    EXPECT_EQ(raw.nFrames(), 4u);
    uint16_t pixels[6];
    ASSERT_TRUE(raw.GetFrame(3, pixels, sizeof pixels));
    EXPECT_EQ(pixels[5], 3005);

    // Opening another movie closes the first.
    SInfoBlock wide = smallBlock();
    wide.width = 6;
    wide.height = 1;
    ASSERT_TRUE(writeFile(CStringW(dir.c_str()) + u"/8-wide.dat", smallData()));
    ASSERT_TRUE(writeFile(CStringW(dir.c_str()) + u"/8-wide.info", EncodeInfoBlock(wide)));
    ASSERT_TRUE(raw.Open(fileSystem(), CStringW(dir.c_str()) + u"/8-wide.dat", 0));
    EXPECT_EQ(raw.xPixels(), 6u);
    EXPECT_EQ(raw.yPixels(), 1u);
    EXPECT_TRUE(raw.GetFilename() == CStringW(dir.c_str()) + u"/8-wide.dat");

    // A ".dat" without its ".info" does not open. (Windows cannot delete a file still open.)
    raw.Close();
    ASSERT_TRUE(fileSystem()->RemoveFile(base + u".info"));
    EXPECT_FALSE(raw.Open(fileSystem(), base + u".dat", 0));
    EXPECT_EQ(raw.nFrames(), 0u);
    EXPECT_FALSE(raw.Open(nullptr, base + u".dat", 0));
    raw.Close();
    zel::test::removeTree(dir);
}

namespace {

bool g_otherDestroyed = false;

// A format of this test: opens any path ending in ".tst".
class TestImagerFile : public CRawImagerFile {
  public:
    const char* GetFormatName() override { return "Test Format"; }
    bool Open(IFileSystem*, const CStringW& path, unsigned) override {
        opened = path;
        return true;
    }
    using CRawImagerFile::Open;
    CStringW opened;
};

class OtherImagerFile : public CRawImagerFile {
  public:
    ~OtherImagerFile() override { g_otherDestroyed = true; }
    const char* GetFormatName() override { return "Unregistered Format"; }
};

IImagerFile* createTest() {
    return new TestImagerFile();
}
void destroyTest(IImagerFile* file) {
    delete file;
}
bool canOpenTst(IFileSystem*, const CStringW& path) {
    return path.EndsWithNoCase(CStringW(u".TST"));
}

}  // namespace

TEST(ImagerFileFactory, RegistersFormatsAndOpensPathsThroughThem) {
    CImagerFileFactory* factory = imagerFileFactory();
    ASSERT_EQ(factory, imagerFileFactory());
    EXPECT_TRUE(factory->IsRegistered(CString("Raw Imager File")));

    EXPECT_FALSE(factory->RegisterFormat(CString("No Create"), nullptr, destroyTest, canOpenTst,
                                         nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(factory->RegisterFormat(CString(""), createTest, destroyTest, canOpenTst, nullptr,
                                         nullptr, nullptr, nullptr));
    ASSERT_TRUE(factory->RegisterFormat(CString("Test Format"), createTest, destroyTest, canOpenTst,
                                        nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(factory->RegisterFormat(CString("Test Format"), createTest, destroyTest,
                                         canOpenTst, nullptr, nullptr, nullptr, nullptr));
    const std::vector<CString> names = factory->GetFormatNames();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], CString("Raw Imager File"));
    EXPECT_EQ(names[1], CString("Test Format"));

    IImagerFile* test = factory->OpenPath(fileSystem(), CStringW(u"/x/clip.tst"), 0);
    ASSERT_NE(test, nullptr);
    EXPECT_STREQ(test->GetFormatName(), "Test Format");
    EXPECT_TRUE(static_cast<TestImagerFile*>(test)->opened == CStringW(u"/x/clip.tst"));
    factory->Destroy(test);

    EXPECT_EQ(factory->OpenPath(fileSystem(), CStringW(u"/x/clip.txt"), 0), nullptr);
    // A ".dat" path is the raw format's, but one that does not exist opens with nobody.
    EXPECT_EQ(factory->OpenPath(fileSystem(), CStringW(u"/no/such/folder/1-a.dat"), 0), nullptr);

    OtherImagerFile* other = new OtherImagerFile();
    factory->Destroy(other);
    EXPECT_FALSE(g_otherDestroyed);
    delete other;
    EXPECT_TRUE(g_otherDestroyed);
}

TEST(ImagerFileFactory, OpensARawMovieFromTheLocalDisk) {
    const std::string dir = zel::test::makeTempDir("zelfile_factory_");
    ASSERT_FALSE(dir.empty());
    const CStringW base = CStringW(dir.c_str()) + u"/1-a";
    ASSERT_TRUE(writeFile(base + u".dat", smallData()));
    ASSERT_TRUE(writeFile(base + u".info", EncodeInfoBlock(smallBlock())));
    IImagerFile* file = imagerFileFactory()->OpenPath(fileSystem(), base + u".dat", 0);
    ASSERT_NE(file, nullptr);
    EXPECT_STREQ(file->GetFormatName(), "Raw Imager File");
    EXPECT_EQ(file->nFrames(), 4u);
    imagerFileFactory()->Destroy(file);
    zel::test::removeTree(dir);
}
