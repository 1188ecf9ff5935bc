#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <utility>

#include "session/History.h"
#include "session/LoaderSetup.h"
#include "session/TSimpleIniFile.h"
#include "support/TestSupport.h"

namespace {

// The program's own files are replaced only by a complete new copy: whatever fails on the way, the
// old file stays as it was.
class FileSafetyTest : public TProgramTest {
protected:
    void SetUp() override {
        TProgramTest::SetUp();
        char tmpl[] = "/tmp/quarnel-files-XXXXXX";
        dir = std::string(::mkdtemp(tmpl)) + "/";
        ExeDir = dir;
    }
    std::string Read(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    bool NoTemporaryFiles() {
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.path().filename().string().find(".tmp-") != std::string::npos) return false;
        return true;
    }
    std::string dir;
};

TEST_F(FileSafetyTest, WriteThatFailsHalfWayKeepsTheOldFile) {
    const std::string path = dir + "History_P18.txt";
    std::vector<std::string> old = {"/old/one.hex", "/old/two.hex"};
    ASSERT_TRUE(SaveHistory(path, old));
    const std::string before = Read(path);
    // A file size limit makes the write stop part way, as a full disk would.
    struct rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::vector<std::string> big(10, std::string(200, 'n'));
    std::string error;
    const bool ok = SaveHistory(path, big, &error);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "Unable to write to " + path);
    EXPECT_EQ(Read(path), before);
    EXPECT_TRUE(NoTemporaryFiles());
}

TEST_F(FileSafetyTest, ReadOnlySetupFileIsStillReplacedWhenTheFolderAllowsIt) {
    // The record is replaced by a rename, which needs a writable folder, not a writable file.
    ASSERT_TRUE(StoreLoaderSetup());
    ::chmod((dir + "Quarnel.dat").c_str(), 0444);
    LoaderSetup.vid = 0x0102;
    EXPECT_TRUE(StoreLoaderSetup());
    ASSERT_TRUE(LoadLoaderSetup(0, 0));
    EXPECT_EQ(LoaderSetup.vid, 0x0102);
}

TEST_F(FileSafetyTest, FolderThatIsAFileCannotBeWrittenAndNothingIsLost) {
    const std::string blocker = dir + "notafolder";
    std::ofstream(blocker) << "keep";
    ExeDir = blocker + "/";
    std::string error;
    EXPECT_FALSE(StoreLoaderSetup(&error));
    EXPECT_EQ(error, "Unable to write to " + blocker + "/Quarnel.dat");
    EXPECT_EQ(Read(blocker), "keep");
    // Loading from there falls back to the defaults without complaint.
    EXPECT_FALSE(LoadLoaderSetup(3, 4));
    EXPECT_EQ(LoaderSetup.vid, 0x3930);
}

}  // namespace

// Every kept file goes through one writer, which keeps the permission bits the user gave the file.
TEST_F(FileSafetyTest, EveryKeptFileKeepsItsMode) {
    const std::string ini = dir + "quarnel-flash.ini";
    const std::vector<std::pair<std::string, std::function<bool()>>> writers = {
        {LoaderSetupFileName(), [] { return StoreLoaderSetup(); }},
        {dir + "History_P18.txt", [&] { return SaveHistory(dir + "History_P18.txt", {"/a.hex"}); }},
        {ini, [&] {
             TSimpleIniFile f(ini);
             f.WriteInteger("Position", "Left", 7);
             std::string error;
             return f.UpdateFile(error);
         }},
    };
    for (const auto& [path, write] : writers) {
        for (const mode_t mode : {mode_t(0600), mode_t(0640), mode_t(0664)}) {
            std::ofstream(path) << "old\n";
            ASSERT_EQ(::chmod(path.c_str(), mode), 0);
            ASSERT_TRUE(write()) << path;
            struct stat st {};
            ASSERT_EQ(::stat(path.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, mode) << path;
            EXPECT_NE(Read(path), "old\n") << path;
        }
    }
    EXPECT_TRUE(NoTemporaryFiles());
}
