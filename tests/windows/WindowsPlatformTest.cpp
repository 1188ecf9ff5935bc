// The Windows pieces of platform/, boot/ and cli/ on their own: text conversion, the file identity
// behind the same-file check, UTF-8 paths through the POSIX calls, children of flash --all, the wake
// signal and the pause.
#include <gtest/gtest.h>

#include <windows.h>

#include <cctype>
#include <chrono>
#include <memory>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/windows/ClockWindows.h"
#include "cli/ChildProcess.h"
#include "cli/CliPlatform.h"
#include "cli/OutputGuard.h"
#include "cli/windows/ExplorerStart.h"
#include "platform/THidApiBackend.h"
#include "platform/windows/TBoardLock.h"
#include "platform/windows/WindowsText.h"

namespace {

class TScratch {
public:
    TScratch() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quarnel-win-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
    }
    ~TScratch() {
        std::error_code ec;
        std::filesystem::remove_all(std::filesystem::path(Utf8ToWide(m_path)), ec);
    }
    std::string File(const std::string& name) const { return m_path + "\\" + name; }

private:
    std::string m_path;
};

void WriteFile(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

std::string ReadFile(const std::string& path) {
    std::string out;
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) return out;
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    std::fclose(f);
    return out;
}

} // namespace

TEST(WindowsText, Utf8AndUtf16RoundTripAndSurrogatesBecomeCodePoints) {
    const std::string text = "Grüße Ω 𝄞";
    EXPECT_EQ(WideToUtf8(Utf8ToWide(text)), text);
    const wchar_t units[] = {L'A', 0xD834, 0xDD1E, 0xDC00, 0};
    EXPECT_EQ(WideToUtf32(units, 16), std::u32string({U'A', U'\U0001D11E', 0xFFFD}));
    EXPECT_EQ(WideToUtf32(units, 1), std::u32string({U'A'}));
}

TEST(WindowsFiles, NonAsciiNamesAreWrittenInBinaryAndFoundAgain) {
    TScratch dir;
    const std::string path = dir.File("Grüße-Ω.txt");
    WriteFile(path, "a\nb\n");
    EXPECT_EQ(ReadFile(path), "a\nb\n"); // LF only, as on Linux
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 4);
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(Utf8ToWide(path))));
    // Renaming over an existing file replaces it, as POSIX rename does.
    const std::string other = dir.File("other.txt");
    WriteFile(other, "old");
    ASSERT_EQ(std::rename(path.c_str(), other.c_str()), 0);
    EXPECT_EQ(ReadFile(other), "a\nb\n");
}

TEST(WindowsFiles, FileIdentityIsVolumeAndIndexNotTheName) {
    TScratch dir;
    const std::string hex = dir.File("board.hex");
    const std::string beside = dir.File("trace.txt");
    const std::string link = dir.File("link.hex");
    WriteFile(hex, ":00000001FF\n");
    WriteFile(beside, "");
    ASSERT_TRUE(::CreateHardLinkW(Utf8ToWide(link).c_str(), Utf8ToWide(hex).c_str(), nullptr));
    TFileId a, b, c;
    ASSERT_TRUE(FileIdOfPath(hex, a));
    ASSERT_TRUE(FileIdOfPath(beside, b));
    ASSERT_TRUE(FileIdOfPath(link, c));
    EXPECT_TRUE(a.regular);
    EXPECT_FALSE(a == b); // same drive, another file
    EXPECT_TRUE(a == c);  // a second name of the same file
    EXPECT_TRUE(SameFile(link, hex));
    EXPECT_FALSE(SameFile(beside, hex));
}

TEST(WindowsChildren, ArgumentsArriveWholeAndTheExitCodeIsKept) {
    // cmd.exe is the one program every Windows has; "exit /b 7" ends it with 7. The command is one
    // argument with spaces: it arrives whole only when it is quoted as the C runtime expects.
    TChildProcess child;
    std::string error;
    ASSERT_TRUE(child.Start("C:\\windows\\system32\\cmd.exe", {"/c", "echo two words& exit /b 7"}, error))
        << error;
    std::vector<TChildProcess*> children = {&child};
    std::string out;
    for (int i = 0; i < 100 && (child.OutOpen() || child.ErrOpen()); ++i)
        ReadChildren(children, 100, [&](size_t, bool isOut, const std::string& data) {
            if (isOut) out += data;
        });
    std::string why;
    EXPECT_EQ(child.Reap(5000000, why), 7);
    EXPECT_NE(out.find("two words"), std::string::npos) << out;
}

TEST(WindowsChildren, AChildThatIsKilledCountsAsFailed) {
    TChildProcess child;
    std::string error;
    ASSERT_TRUE(child.Start("C:\\windows\\system32\\cmd.exe", {"/c", "pause"}, error)) << error;
    std::string why;
    EXPECT_EQ(child.Reap(0, why), -1); // did not end within the grace: killed
    EXPECT_FALSE(why.empty());
}

TEST(WindowsWake, NotifyFromAnotherThreadEndsTheWait) {
    TWakeSignal wake;
    ASSERT_TRUE(wake.Ok());
    std::thread other([&wake] { wake.Notify(); });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(wake.Wait(10000));
    other.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(WindowsHid, ErrorsOfAGoneDeviceAndOfARefusedOpen) {
    EXPECT_TRUE(THidApiBackend::TransferErrorMeansGone(ERROR_DEVICE_NOT_CONNECTED, -1));
    EXPECT_FALSE(THidApiBackend::TransferErrorMeansGone(ERROR_IO_PENDING, -1));
    EXPECT_EQ(THidApiBackend::OpenErrorFromErrno(ERROR_ACCESS_DENIED), THidOpenError::Permission);
    EXPECT_EQ(THidApiBackend::OpenErrorFromErrno(ERROR_SHARING_VIOLATION), THidOpenError::Busy);
    EXPECT_EQ(THidApiBackend::OpenErrorFromErrno(ERROR_FILE_NOT_FOUND), THidOpenError::NotFound);
    THidApiBackend backend;
    THidOpenError error = THidOpenError::None;
    EXPECT_EQ(backend.Open("\\\\?\\hid#no-such-device", error), -1);
    EXPECT_EQ(error, THidOpenError::NotFound) << ::GetLastError();
}

// Prints what a 10 ms pause takes here; only that it is never shorter than asked is checked.
// One program per board: the second holder of a board's lock is refused until the first lets go;
// device paths differ only in case on Windows, so the lock does not; other boards are not touched.
TEST(WindowsHid, ABoardLockIsRefusedToASecondHolderUntilReleased) {
    const std::string board = "\\\\?\\hid#vid_04d8&pid_003c#7&1a2b3c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    std::string upper = board;
    for (char& c : upper)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    auto first = std::make_unique<TBoardLock>();
    ASSERT_TRUE(first->Acquire(board));
    TBoardLock second;
    EXPECT_FALSE(second.Acquire(board));
    EXPECT_FALSE(second.Acquire(upper));
    TBoardLock other;
    EXPECT_TRUE(other.Acquire(board + "1"));
    first.reset();
    EXPECT_TRUE(second.Acquire(upper));
    EXPECT_EQ(TBoardLock::Name(board), TBoardLock::Name(upper));
    EXPECT_NE(TBoardLock::Name(board), TBoardLock::Name(board + "1"));
}

// Started from Explorer: no arguments in a console of its own describes the program (typed in a
// console, it is the usual usage error); one existing file is a dropped HEX file and is flashed;
// anything else is a command line.
TEST(WindowsExplorer, DoubleClickAndDroppedFileAreToldFromACommandLine) {
    using S = std::vector<std::string>;
    EXPECT_EQ(ExplorerStartOf(S{}, true, false), TExplorerStart::Describe);
    EXPECT_EQ(ExplorerStartOf(S{}, false, false), TExplorerStart::None);
    EXPECT_EQ(ExplorerStartOf(S{"C:\\Users\\Zoë\\blink 18.hex"}, true, true), TExplorerStart::Flash);
    EXPECT_EQ(ExplorerStartOf(S{"blink18.hex"}, false, true), TExplorerStart::Flash);
    EXPECT_EQ(ExplorerStartOf(S{"blink18.hex"}, true, false), TExplorerStart::None);
    EXPECT_EQ(ExplorerStartOf(S{"list"}, true, false), TExplorerStart::None);
    EXPECT_EQ(ExplorerStartOf(S{"--help"}, true, true), TExplorerStart::None);
    EXPECT_EQ(ExplorerStartOf(S{"a.hex", "b.hex"}, true, true), TExplorerStart::None);
    EXPECT_NE(ExplorerDescription().find("\"Quarnel Flash.html\""), std::string::npos);
    EXPECT_NE(ExplorerDescription().find(".\\quarnel --help"), std::string::npos);
}

TEST(WindowsPause, TenMillisecondPausesAreNeverShortAndArePrinted) {
    using namespace std::chrono;
    constexpr int n = 50;
    const auto start = steady_clock::now();
    for (int i = 0; i < n; ++i)
        PauseOnWaitableTimer(10);
    const double ms = duration<double, std::milli>(steady_clock::now() - start).count() / n;
    std::printf("10 ms pause: %.3f ms on average over %d (high-resolution timer: %s)\n", ms, n,
                HighResolutionTimer() ? "yes" : "no, 1 ms tick");
    EXPECT_GE(ms, 10.0);
}
