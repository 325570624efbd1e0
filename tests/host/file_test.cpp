// Files through NDIS: in-memory files and a firmware directory, mapping, and
// the misuse checks.
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "host/files.h"
#include "tests/support/host_test.h"

using namespace host;
using testing_support::AnyContains;
using testing_support::CaptureViolations;

namespace {

// An NDIS_STRING over a UTF-16 copy of an ASCII name.
struct Name {
    std::u16string text;
    NDIS_STRING string;
    explicit Name(const std::string& ascii) : text(ascii.begin(), ascii.end()) {
        string.Length = static_cast<USHORT>(text.size() * 2);
        string.MaximumLength = static_cast<USHORT>(text.size() * 2 + 2);
        string.Buffer = text.data();
    }
};

class FileTest : public HostTest {
protected:
    NDIS_HANDLE file = nullptr;
    UINT length = 0;

    NDIS_STATUS Open(const std::string& name) {
        Name n(name);
        NDIS_STATUS status;
        NDIS_PHYSICAL_ADDRESS highest;
        highest.QuadPart = -1;
        NdisOpenFile(&status, &file, &length, &n.string, highest);
        return status;
    }
    const uint8_t* Map() {
        NDIS_STATUS status;
        PVOID p = nullptr;
        NdisMapFile(&status, &p, file);
        EXPECT_EQ(status, NDIS_STATUS_SUCCESS);
        return static_cast<const uint8_t*>(p);
    }
};

const std::vector<uint8_t> kImage = {0x5A, 0x52, 0x34, 0x38, 0x00, 0xFF};

}  // namespace

TEST_F(FileTest, InMemoryFileOpensWhateverTheCaseAndMapsItsContent) {
    AddFile("zr48.bin", kImage);
    ASSERT_EQ(Open("ZR48.BIN"), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(length, kImage.size());
    const uint8_t* p = Map();
    EXPECT_EQ(std::vector<uint8_t>(p, p + length), kImage);
    EXPECT_TRUE(LedgerHolds(Resource::File, file));
    EXPECT_TRUE(LedgerHolds(Resource::FileMapping, file));
    NdisUnmapFile(file);
    NdisCloseFile(file);
}

TEST_F(FileTest, FirmwareDirectoryIsSearchedAfterMemoryWithoutRegardToCase) {
    char dir[] = "/tmp/zr48-files-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/Zr48.Bin";
    std::ofstream(path, std::ios::binary).write("\x01\x02\x03", 3);
    SetFileDirectory(dir);
    ASSERT_EQ(Open("zr48.bin"), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(length, 3u);
    const uint8_t* p = Map();
    EXPECT_EQ(p[2], 3);
    NdisUnmapFile(file);
    NdisCloseFile(file);
    // The driver cannot reach outside the directory.
    EXPECT_EQ(Open("../" + path.substr(5)), NDIS_STATUS_FILE_NOT_FOUND);
    unlink(path.c_str());
    rmdir(dir);
}

TEST_F(FileTest, MissingFilesAndInjectedFailuresOpenNothing) {
    AddFile("zr48.bin", kImage);
    EXPECT_EQ(Open("other.bin"), NDIS_STATUS_FILE_NOT_FOUND);
    FailNth(Resource::File, 1);
    EXPECT_EQ(Open("zr48.bin"), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(LedgerSize(), 0u);

    ASSERT_EQ(Open("zr48.bin"), NDIS_STATUS_SUCCESS);
    FailNth(Resource::FileMapping, 1);
    NDIS_STATUS status;
    PVOID p;
    NdisMapFile(&status, &p, file);
    EXPECT_EQ(status, NDIS_STATUS_RESOURCES);
    EXPECT_FALSE(LedgerHolds(Resource::FileMapping, file));
    NdisCloseFile(file);
}

TEST_F(FileTest, MappingTwiceUnmappingUnmappedAndClosingMappedAreReported) {
    AddFile("zr48.bin", kImage);
    ASSERT_EQ(Open("zr48.bin"), NDIS_STATUS_SUCCESS);
    Map();
    NDIS_STATUS status;
    PVOID p;
    auto v = CaptureViolations([&] {
        NdisMapFile(&status, &p, file);
        NdisCloseFile(file);
        NdisUnmapFile(file);
        NdisCloseFile(file);
    });
    EXPECT_EQ(status, NDIS_STATUS_ALREADY_MAPPED);
    ASSERT_EQ(v.size(), 4u);
    EXPECT_TRUE(AnyContains({v[0]}, "mapped already"));
    EXPECT_TRUE(AnyContains({v[1]}, "still mapped; unmap it first"));
    EXPECT_TRUE(AnyContains({v[2]}, "not an open file handle"));
    EXPECT_TRUE(AnyContains({v[3]}, "closed already?"));
    EXPECT_EQ(LedgerSize(), 0u);

    ASSERT_EQ(Open("zr48.bin"), NDIS_STATUS_SUCCESS);
    v = CaptureViolations([&] { NdisUnmapFile(file); });
    EXPECT_TRUE(AnyContains(v, "the file is not mapped"));
    NdisCloseFile(file);
}

TEST_F(FileTest, WritingIntoTheMappedImageFaults) {
    AddFile("zr48.bin", kImage);
    ASSERT_EQ(Open("zr48.bin"), NDIS_STATUS_SUCCESS);
    auto* p = const_cast<volatile uint8_t*>(Map());
    EXPECT_DEATH({ p[0] = 0; }, "");
    NdisUnmapFile(file);
    NdisCloseFile(file);
}
