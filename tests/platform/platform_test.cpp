// The operating-system services as the framework relies on them: folders
// found but never made, files by name inside a folder with the classic error
// codes, creator and type kept where the file system can, temporary memory
// under a budget, and messages handed to the host.
#include <gtest/gtest.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "host.h"
#include "platform.h"

namespace {

namespace fs = std::filesystem;

std::basic_string<unsigned char> Counted(const std::string& name)
{
    std::basic_string<unsigned char> counted(1, static_cast<unsigned char>(name.size()));
    counted.append(name.begin(), name.end());
    return counted;
}

struct PlatformFiles : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("platform_test_" + std::to_string(::getpid()));
    std::optional<host::ScopedFolder> prefs;
    int16_t vRef = 0;
    int32_t dirID = 0;
    void SetUp() override
    {
        fs::remove_all(dir);
        fs::create_directories(dir);
        prefs.emplace(kPreferencesFolderType, dir);
        ASSERT_EQ(
            FindFolder(kOnSystemDisk, kPreferencesFolderType, kDontCreateFolder, &vRef, &dirID),
            noErr);
    }
    void TearDown() override
    {
        prefs.reset();
        fs::remove_all(dir);
    }
};

TEST_F(PlatformFiles, FoldersAreFoundNeverMade)
{
    int16_t v = 0;
    int32_t id = 0;
    {
        host::ScopedFolder unset(kDesktopFolderType, "");
        PlatformSetFolder(kDesktopFolderType, nullptr);
        EXPECT_EQ(FindFolder(kOnSystemDisk, kDesktopFolderType, kDontCreateFolder, &v, &id),
                  fnfErr);
    }
    host::ScopedFolder missing(kDesktopFolderType, dir / "not-there");
    EXPECT_EQ(FindFolder(kOnSystemDisk, kDesktopFolderType, 1, &v, &id), fnfErr);
    EXPECT_FALSE(fs::exists(dir / "not-there"));
    // One folder keeps one directory ID.
    int32_t again = 0;
    ASSERT_EQ(FindFolder(kOnSystemDisk, kPreferencesFolderType, 0, &v, &again), noErr);
    EXPECT_EQ(again, dirID);
}

TEST_F(PlatformFiles, CreateOpenReadWriteSeekAndErrorCodes)
{
    auto name = Counted("data.bin");
    EXPECT_EQ(HOpen(vRef, dirID, name.c_str(), fsRdWrPerm, nullptr), fnfErr);
    EXPECT_EQ(HCreate(vRef, dirID, name.c_str(), 0x43524541, 0x54595045), noErr);
    EXPECT_EQ(HCreate(vRef, dirID, name.c_str(), 0x43524541, 0x54595045), dupFNErr);
    char creator[4] = {};
    if (getxattr((dir / "data.bin").c_str(), "user.creator", creator, 4) == 4) {
        EXPECT_EQ(std::string(creator, 4), "CREA");
    }
    int16_t ref = 0;
    ASSERT_EQ(HOpen(vRef, dirID, name.c_str(), fsRdWrPerm, &ref), noErr);
    EXPECT_EQ(PlatformOpenFileCount(), 1);
    int32_t count = 6;
    EXPECT_EQ(FSWrite(ref, &count, "abcdef"), noErr);
    EXPECT_EQ(SetFPos(ref, fsFromStart, 2), noErr);
    char buffer[8] = {};
    count = 8;
    EXPECT_EQ(FSRead(ref, &count, buffer), eofErr);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(std::string(buffer, 4), "cdef");
    EXPECT_EQ(SetFPos(ref, fsFromStart, -1), posErr);
    EXPECT_EQ(SetEOF(ref, 3), noErr);
    int64_t size = 0;
    EXPECT_EQ(GetEOF(ref, &size), noErr);
    EXPECT_EQ(size, 3);
    EXPECT_EQ(FSClose(ref), noErr);
    EXPECT_EQ(FSClose(ref), rfNumErr);
    count = 1;
    EXPECT_EQ(FSRead(ref, &count, buffer), rfNumErr);
    EXPECT_EQ(PlatformOpenFileCount(), 0);
    EXPECT_EQ(HDelete(vRef, dirID, name.c_str()), noErr);
    EXPECT_EQ(HDelete(vRef, dirID, name.c_str()), fnfErr);
}

TEST_F(PlatformFiles, NamesNeverLeaveTheirFolder)
{
    for (const char* bad : {"../escape", "a/b", ".", "..", ""}) {
        auto name = Counted(bad);
        EXPECT_EQ(HCreate(vRef, dirID, name.c_str(), 0, 0), bdNamErr) << bad;
    }
    EXPECT_FALSE(fs::exists(dir.parent_path() / "escape"));
    auto name = Counted("x");
    EXPECT_EQ(HCreate(kPlatformVolume, 99999, name.c_str(), 0, 0), dirNFErr);
}

TEST(PlatformMemory, BudgetRefusesAndReleasesAreCounted)
{
    host::ScopedMemoryBudget budget(1000);
    int64_t before = PlatformTempMemoryInUse();
    OSErr err = noErr;
    Handle small = TempNewHandle(600, &err);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(err, noErr);
    HLock(small);
    std::memset(*small, 7, 600);
    EXPECT_EQ(TempNewHandle(600, &err), nullptr);
    EXPECT_EQ(err, memFullErr);
    DisposeHandle(small);
    EXPECT_EQ(PlatformTempMemoryInUse(), before);
    Handle again = TempNewHandle(1000, &err);
    EXPECT_NE(again, nullptr);
    DisposeHandle(again);
}

TEST(PlatformMemory, LargeBlocksAreUsable)
{
    OSErr err = noErr;
    Handle big = TempNewHandle(5 << 20, &err);
    ASSERT_NE(big, nullptr);
    (*big)[0] = 1;
    (*big)[(5 << 20) - 1] = 2;
    EXPECT_EQ((*big)[(5 << 20) - 1], 2);
    DisposeHandle(big);
}

TEST(PlatformMessages, TextGoesToTheInstalledHandler)
{
    host::MessageCapture capture;
    const unsigned char text[] = {5, 'a', '\r', 'b', 'c', 'd'};
    ModalMessageDialog(text);
    ASSERT_EQ(capture.Messages().size(), 1u);
    EXPECT_EQ(capture.Messages()[0], "a\rbcd");
}

}  // namespace

// A released large block comes back for the next request of its size, so
// working images made run after run reuse mapped pages; the budget still
// counts only blocks in use, and refuses as before.
TEST(PlatformMemory, ReleasedLargeBlocksAreReusedAndNeverCounted)
{
    const int64_t size = 9 << 20;
    const int64_t before = PlatformTempMemoryInUse();
    OSErr err = noErr;
    Handle first = TempNewHandle(size, &err);
    ASSERT_NE(first, nullptr);
    char* block = *first;
    DisposeHandle(first);
    EXPECT_EQ(PlatformTempMemoryInUse(), before);
    Handle again = TempNewHandle(size - 100, &err);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(*again, block);
    Handle other = TempNewHandle(size, &err);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(*other, block);
    EXPECT_EQ(PlatformTempMemoryInUse(), before + 2 * size - 100);
    DisposeHandle(again);
    DisposeHandle(other);
    {
        host::ScopedMemoryBudget none(0);
        EXPECT_EQ(TempNewHandle(size, &err), nullptr);
        EXPECT_EQ(err, memFullErr);
    }
}

// Each scope restores the budget it replaced, so nested scopes unwind to the
// value that was in force before the outer one.
TEST(PlatformMemory, NestedBudgetScopesRestoreTheirOwnPredecessor)
{
    const int64_t before = PlatformGetTempMemoryBudget();
    {
        host::ScopedMemoryBudget outer(5000);
        {
            host::ScopedMemoryBudget inner(1000);
            EXPECT_EQ(PlatformGetTempMemoryBudget(), 1000);
        }
        EXPECT_EQ(PlatformGetTempMemoryBudget(), 5000);
    }
    EXPECT_EQ(PlatformGetTempMemoryBudget(), before);
}
