#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

namespace {

// The three kept files, each with its writer.
std::vector<std::pair<std::string, std::function<bool(std::string*)>>> KeptFileWriters(const std::string& dir) {
    const std::string history = dir + "History_P18.txt";
    const std::string ini = dir + "quarnel-flash.ini";
    return {
        {LoaderSetupFileName(), [](std::string* error) { return StoreLoaderSetup(error); }},
        {history, [history](std::string* error) { return SaveHistory(history, {"/a.hex"}, error); }},
        {ini, [ini](std::string* error) {
             TSimpleIniFile f(ini);
             f.WriteInteger("Position", "Left", 7);
             std::string text;
             const bool ok = f.UpdateFile(text);
             if (error) *error = text;
             return ok;
         }},
    };
}

// Runs work in a child process; true when it ended by itself within seconds.
bool EndsWithin(const std::function<void()>& work, int seconds) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        work();
        ::_exit(0);
    }
    for (int waited = 0; waited < seconds * 100; ++waited) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return false;
}

} // namespace

// Every kept file goes through one writer, which keeps the permission bits the user gave the file.
TEST_F(FileSafetyTest, EveryKeptFileKeepsItsMode) {
    const auto writers = KeptFileWriters(dir);
    for (const auto& [path, write] : writers) {
        for (const mode_t mode : {mode_t(0600), mode_t(0640), mode_t(0664)}) {
            std::ofstream(path) << "old\n";
            ASSERT_EQ(::chmod(path.c_str(), mode), 0);
            ASSERT_TRUE(write(nullptr)) << path;
            struct stat st {};
            ASSERT_EQ(::stat(path.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, mode) << path;
            EXPECT_NE(Read(path), "old\n") << path;
        }
    }
    EXPECT_TRUE(NoTemporaryFiles());
}

// A file the user made read-only, or a FIFO in its place, is left alone, although the folder would
// allow a rename; a FIFO reads as a missing file, at once.
TEST_F(FileSafetyTest, ReadOnlyFileOrFifoInPlaceOfAKeptFileIsLeftAlone) {
    const std::string history = dir + "History_P18.txt";
    const std::string ini = dir + "quarnel-flash.ini";
    // Per kept file: reading it as a FIFO gives what a missing file gives.
    const std::vector<std::function<bool()>> readsAsMissing = {
        [] { return !LoadLoaderSetup(1, 2) && LoaderSetup.vid == DefaultVid; },
        [history] {
            bool exists = true;
            return LoadHistory(history, &exists).empty() && !exists;
        },
        [ini] { return TSimpleIniFile(ini).ReadInteger("Sizes", "MainWidth", 5) == 5; },
    };
    const auto writers = KeptFileWriters(dir);
    for (const bool fifo : {false, true}) {
        for (size_t i = 0; i < writers.size(); ++i) {
            const std::string& path = writers[i].first;
            ::unlink(path.c_str());
            if (!fifo) std::ofstream(path) << "mine\n";
            ASSERT_EQ(fifo ? ::mkfifo(path.c_str(), 0644) : ::chmod(path.c_str(), 0444), 0) << path;
            // In a child process, so that a read that blocks fails the test instead of stopping it.
            EXPECT_TRUE(EndsWithin(
                [&] {
                    std::string error;
                    const bool refused = !writers[i].second(&error) && error == "Unable to write to " + path;
                    if (!refused || (fifo && !readsAsMissing[i]())) ::_exit(3);
                },
                5))
                << path << (fifo ? " (FIFO)" : "");
            struct stat st {};
            ASSERT_EQ(::lstat(path.c_str(), &st), 0);
            EXPECT_TRUE(fifo ? S_ISFIFO(st.st_mode) : S_ISREG(st.st_mode) && (st.st_mode & 07777) == 0444) << path;
            if (!fifo) {
                EXPECT_EQ(Read(path), "mine\n");
            }
        }
    }
    EXPECT_TRUE(NoTemporaryFiles());
}

// The settings file is read up to its limit in whole lines, and a file read in part is never rewritten.
TEST_F(FileSafetyTest, OversizedSettingsFileIsReadInPartAndKept) {
    const std::string ini = dir + "quarnel-flash.ini";
    std::string text = "[Sizes]\nMainWidth=600\n";
    // "MainHeight=12" lies within the limit, the rest of its line and everything after beyond it.
    text += ";" + std::string(TSimpleIniFile::ReadLimit - 13 - text.size() - 2, 'c') + "\n";
    text += "MainHeight=1234567\n" + std::string(3 << 20, 'y') + "\nMainLeft=9\n";
    std::ofstream(ini, std::ios::binary) << text;
    TSimpleIniFile f(ini);
    EXPECT_TRUE(f.Cut());
    EXPECT_EQ(f.ReadInteger("Sizes", "MainWidth", 0), 600);
    EXPECT_EQ(f.ReadInteger("Sizes", "MainLeft", -1), -1);
    EXPECT_EQ(f.ReadInteger("Sizes", "MainHeight", -1), -1); // a cut line is not read as 12
    f.WriteInteger("Sizes", "MainWidth", 700);
    std::string error;
    EXPECT_FALSE(f.UpdateFile(error));
    EXPECT_EQ(error, "Unable to write to " + ini);
    EXPECT_EQ(Read(ini), text);
    EXPECT_FALSE(TSimpleIniFile(dir + "small.ini").Cut());
    // Exactly the limit: read whole and written back.
    std::string exact = "[Sizes]\nMainWidth=600\n;";
    exact += std::string(TSimpleIniFile::ReadLimit - exact.size() - 1, 'c') + "\n";
    std::ofstream(dir + "exact.ini", std::ios::binary) << exact;
    TSimpleIniFile whole(dir + "exact.ini");
    EXPECT_FALSE(whole.Cut());
    whole.WriteInteger("Sizes", "MainWidth", 700);
    EXPECT_TRUE(whole.UpdateFile(error)) << error;
    EXPECT_EQ(TSimpleIniFile(dir + "exact.ini").ReadInteger("Sizes", "MainWidth", 0), 700);
}
