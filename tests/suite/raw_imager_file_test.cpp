// Tests of CRawImagerFile and the imager-file factory over memory streams and the local disk.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "suite/file/imager_file_factory.h"
#include "suite/file/raw_imager_file.h"
#include "suite/local_file_system.h"
#include "tests/support/child_process.h"

using namespace zel;
using namespace zel::file;
using Bytes = std::vector<uint8_t>;

namespace {

const std::vector<int64_t> kTimes = {1000, 1500, 2250, 9999999};

// A movie of four frames, 3 x 2 unless told otherwise.
Bytes smallInfo(uint32_t w = 3, uint32_t h = 2) {
    SInfoBlock block;
    block.width = w;
    block.height = h;
    block.recordingTime = 1000;
    block.frameTimes = kTimes;
    return EncodeInfoBlock(block);
}

// Pixel i of frame f is f * 1000 + i; `size` cuts or pads the four frames' 48 bytes.
Bytes smallData(size_t size = 48) {
    Bytes bytes;
    for (uint16_t f = 0; f < 4; ++f) {
        for (uint16_t i = 0; i < 6; ++i) {
            const uint16_t value = static_cast<uint16_t>(f * 1000 + i);
            bytes.push_back(static_cast<uint8_t>(value & 0xFF));
            bytes.push_back(static_cast<uint8_t>(value >> 8));
        }
    }
    bytes.resize(size);
    return bytes;
}

TSharedPtr<IFile> memFile(const Bytes& bytes) {
    TSharedPtr<CMemFile> file = CMemFile::Create();
    if (!bytes.empty()) {
        file->Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
    }
    return file;
}

// A memory file that reports any size it is told to and counts reads, to see what a reader
// touches.
class SizedFile : public CMemFile {
  public:
    explicit SizedFile(int64_t size) : size(size) {}
    int64_t GetSize() override { return size; }
    uint32_t Read(void* buffer, uint32_t count) override {
        ++reads;
        return CMemFile::Read(buffer, count);
    }

    int64_t size;
    int reads = 0;
};

bool writeFile(const CStringW& path, const Bytes& bytes) {
    TSharedPtr<IFile> file = fileSystem()->OpenFile(path, kOpenCreate | kOpenWrite);
    return file && file->WriteBytes(bytes.data(), static_cast<unsigned>(bytes.size()));
}

}  // namespace

TEST(RawImagerFile, ReadsFramesAndTimesFromStreams) {
    TSharedPtr<IFile> data = memFile(smallData());
    TSharedPtr<IFile> info = memFile(smallInfo());
    CRawImagerFile raw;
    ASSERT_TRUE(raw.Open(data, info, 0));
    EXPECT_EQ(raw.xPixels(), 3u);
    EXPECT_EQ(raw.yPixels(), 2u);
    EXPECT_EQ(raw.nFrames(), 4u);
    EXPECT_EQ(raw.GetPresetCount(), 1u);
    EXPECT_FALSE(raw.SetCurrentPreset(1));

    // Frames read out of order, so a reader that relied on the stream position would fail.
    CReduceObjectArray objects;
    uint16_t pixels[6];
    for (uint32_t f : {2u, 0u, 3u, 1u}) {
        SCOPED_TRACE(f);
        ASSERT_TRUE(raw.GetFrame(f, pixels, sizeof pixels));
        for (uint16_t i = 0; i < 6; ++i) {
            EXPECT_EQ(pixels[i], f * 1000 + i) << "pixel " << i;
        }
        unsigned char preset = 9;
        ASSERT_TRUE(raw.GetReduceObjectsForFrame(f, preset, objects));
        EXPECT_EQ(preset, 0);
        TSharedPtr<CFrameInfoReduceObject> frameInfo = objects.GetFrameInfo(preset, false);
        ASSERT_TRUE(frameInfo);
        EXPECT_EQ(frameInfo->GetFrameNumber(), f);
        EXPECT_EQ(frameInfo->GetTimestamp().GetTimestamp(CDateTime::kTicks), kTimes[f]);
        EXPECT_FALSE(objects.GetFrameInfo(1, false));
    }
    EXPECT_FALSE(raw.GetFrame(4, pixels, sizeof pixels));
    EXPECT_FALSE(raw.GetFrame(0, pixels, sizeof pixels - 1));
    unsigned char preset = 0;
    EXPECT_FALSE(raw.GetReduceObjectsForFrame(4, preset, objects));

    // The reader holds both streams while open (the drive's files live as long as it does) and
    // lets them go when closed.
    EXPECT_EQ(data.counter()->count(), 2u);
    EXPECT_EQ(info.counter()->count(), 2u);
    raw.Close();
    EXPECT_EQ(data.counter()->count(), 1u);
    EXPECT_EQ(info.counter()->count(), 1u);
    EXPECT_EQ(raw.nFrames(), 0u);
    EXPECT_FALSE(raw.GetFrame(0, pixels, sizeof pixels));
}

TEST(RawImagerFile, RejectsStreamsThatDoNotAgree) {
    // An info stream claiming a terabyte must be refused before a byte is read or allocated.
    SizedFile* hugeInfo = new SizedFile(int64_t{1} << 40);
    Bytes damagedInfo = smallInfo();
    damagedInfo[0] = 'X';
    struct Case {
        const char* what;
        TSharedPtr<IFile> data;
        TSharedPtr<IFile> info;
    };
    const Case cases[] = {
        {"data one byte short", memFile(smallData(47)), memFile(smallInfo())},
        {"data one byte long", memFile(smallData(49)), memFile(smallInfo())},
        {"data one frame long", memFile(smallData(60)), memFile(smallInfo())},
        {"empty data", memFile({}), memFile(smallInfo())},
        {"empty info", memFile(smallData()), memFile({})},
        {"damaged info", memFile(smallData()), memFile(damagedInfo)},
        {"no data stream", TSharedPtr<IFile>(), memFile(smallInfo())},
        {"no info stream", memFile(smallData()), TSharedPtr<IFile>()},
        {"data of unknown size", TSharedPtr<IFile>(new SizedFile(-1)), memFile(smallInfo())},
        {"info of a terabyte", memFile(smallData()), TSharedPtr<IFile>(hugeInfo)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CRawImagerFile raw;
        EXPECT_FALSE(raw.Open(c.data, c.info, 0));
        EXPECT_EQ(raw.GetInfoBlock(), nullptr);
        EXPECT_EQ(raw.nFrames(), 0u);
        EXPECT_EQ(raw.GetPresetCount(), 0u);
    }
    EXPECT_EQ(hugeInfo->reads, 0);
}

TEST(RawImagerFile, OpensADatPathWithItsInfoBeside) {
    const std::string dir = zel::test::makeTempDir("zelfile_raw_");
    ASSERT_FALSE(dir.empty());
    const CStringW base = CStringW(dir.c_str()) + u"/7-run";
    const CStringW wide = CStringW(dir.c_str()) + u"/8-wide";
    ASSERT_TRUE(writeFile(base + u".dat", smallData()));
    ASSERT_TRUE(writeFile(base + u".info", smallInfo()));
    ASSERT_TRUE(writeFile(wide + u".dat", smallData()));
    ASSERT_TRUE(writeFile(wide + u".info", smallInfo(6, 1)));

    CRawImagerFile raw;
    ASSERT_TRUE(raw.Open(fileSystem(), base + u".dat", 3));
    EXPECT_EQ(raw.nFrames(), 4u);
    uint16_t pixels[6];
    ASSERT_TRUE(raw.GetFrame(3, pixels, sizeof pixels));
    EXPECT_EQ(pixels[5], 3005);
    // Opening another movie closes the first.
    ASSERT_TRUE(raw.Open(fileSystem(), wide + u".dat", 0));
    EXPECT_EQ(raw.xPixels(), 6u);
    EXPECT_EQ(raw.yPixels(), 1u);

    // The factory knows ".dat" paths as the raw format's.
    IImagerFile* file = imagerFileFactory()->OpenPath(fileSystem(), base + u".dat", 0);
    ASSERT_NE(file, nullptr);
    EXPECT_STREQ(file->GetFormatName(), "Raw Imager File");
    EXPECT_EQ(file->nFrames(), 4u);
    imagerFileFactory()->Destroy(file);

    // A ".dat" without its ".info" does not open. (Windows cannot delete a file still open.)
    raw.Close();
    ASSERT_TRUE(fileSystem()->RemoveFile(base + u".info"));
    EXPECT_FALSE(raw.Open(fileSystem(), base + u".dat", 0));
    EXPECT_EQ(raw.nFrames(), 0u);
    EXPECT_FALSE(raw.Open(nullptr, wide + u".dat", 0));
    raw.Close();
    zel::test::removeTree(dir);
}

namespace {

bool g_otherDestroyed = false;

// A format of this test: opens any path ending in ".tst".
class TestImagerFile : public CRawImagerFile {
  public:
    const char* GetFormatName() override { return "Test Format"; }
    bool Open(IFileSystem*, const CStringW&, unsigned) override { return true; }
    using CRawImagerFile::Open;
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
    auto add = [&](const char* name, ImagerFileCreateFn create) {
        return factory->RegisterFormat(CString(name), create, destroyTest, canOpenTst, nullptr,
                                       nullptr, nullptr, nullptr);
    };
    EXPECT_FALSE(add("No Create", nullptr));
    EXPECT_FALSE(add("", createTest));
    ASSERT_TRUE(add("Test Format", createTest));
    EXPECT_FALSE(add("Test Format", createTest));
    const std::vector<CString> names = factory->GetFormatNames();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], CString("Raw Imager File"));
    EXPECT_EQ(names[1], CString("Test Format"));

    IImagerFile* test = factory->OpenPath(fileSystem(), CStringW(u"/x/clip.tst"), 0);
    ASSERT_NE(test, nullptr);
    EXPECT_STREQ(test->GetFormatName(), "Test Format");
    factory->Destroy(test);
    EXPECT_EQ(factory->OpenPath(fileSystem(), CStringW(u"/x/clip.txt"), 0), nullptr);
    // A ".dat" path is the raw format's, but one that does not exist opens with nobody.
    EXPECT_EQ(factory->OpenPath(fileSystem(), CStringW(u"/no/such/folder/1-a.dat"), 0), nullptr);

    // Only registered formats are destroyed by the factory.
    OtherImagerFile* other = new OtherImagerFile();
    factory->Destroy(other);
    EXPECT_FALSE(g_otherDestroyed);
    delete other;
    EXPECT_TRUE(g_otherDestroyed);
}
