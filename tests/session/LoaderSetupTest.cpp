#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "session/AtomicFile.h"
#include "session/History.h"
#include "session/LoaderSetup.h"
#include "support/TestSupport.h"

namespace {

class LoaderSetupTest : public TProgramTest {
protected:
    void SetUp() override {
        TProgramTest::SetUp();
        char tmpl[] = "/tmp/quarnel-setup-XXXXXX";
        dir = std::string(::mkdtemp(tmpl)) + "/";
        ExeDir = dir;
    }
    void WriteBytes(const std::string& name, const std::string& bytes) {
        std::ofstream(dir + name, std::ios::binary) << bytes;
    }
    std::string ReadBytes(const std::string& name) {
        std::ifstream f(dir + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    std::string dir;
};

TEST_F(LoaderSetupTest, DefaultsWithoutAFile) {
    EXPECT_FALSE(LoadLoaderSetup(100, 200));
    EXPECT_EQ(LoaderSetup.vid, 0x3930);
    EXPECT_EQ(LoaderSetup.pid, 0x2021);
    EXPECT_EQ(LoaderSetup.disableFlag, 0);
    EXPECT_EQ(LoaderSetup.left, 100);
    EXPECT_EQ(LoaderSetup.top, 200);
    for (uint8_t f : {1, 2, 3, 4, 10, 20}) EXPECT_EQ(*PathForFamily(f), dir);
    EXPECT_EQ(PathForFamily(7), nullptr);
}

TEST_F(LoaderSetupTest, RecordLayoutByteForByte) {
    LoaderSetup.left = -5;
    LoaderSetup.top = 0x01020304;
    LoaderSetup.pic18Path = "/a/p18.hex";
    LoaderSetup.pic24Path = "/b/p24.hex";
    LoaderSetup.pic32Path = std::string(300, 'x');  // cut to 255
    LoaderSetup.pic16Path = "/d/p16.hex";
    LoaderSetup.vid = 0x1A2B;
    LoaderSetup.pid = 0x3C4D;
    LoaderSetup.disableFlag = 2;
    ASSERT_TRUE(StoreLoaderSetup());
    const std::string b = ReadBytes("Quarnel.dat");
    ASSERT_EQ(b.size(), 1037u);
    EXPECT_EQ(uint8_t(b[0]), 0xFB);
    EXPECT_EQ(uint8_t(b[3]), 0xFF);
    EXPECT_EQ(uint8_t(b[4]), 0x04);
    EXPECT_EQ(uint8_t(b[8]), 10);
    EXPECT_EQ(b.substr(9, 10), "/a/p18.hex");
    EXPECT_EQ(b.substr(265, 10), "/b/p24.hex");
    EXPECT_EQ(uint8_t(b[520]), 255);
    EXPECT_EQ(b.substr(777, 10), "/d/p16.hex");
    EXPECT_EQ(uint8_t(b[1032]), 0x2B);
    EXPECT_EQ(uint8_t(b[1033]), 0x1A);
    EXPECT_EQ(uint8_t(b[1035]), 0x3C);
    EXPECT_EQ(uint8_t(b[1036]), 1);  // any set flag is written as 1
    LoaderSetup = TLoaderSetup{};
    ASSERT_TRUE(LoadLoaderSetup(0, 0));
    EXPECT_EQ(LoaderSetup.left, -5);
    EXPECT_EQ(LoaderSetup.pic32Path, std::string(255, 'x'));
    EXPECT_EQ(*PathForFamily(3), "/a/p18.hex");
    EXPECT_EQ(*PathForFamily(10), "/b/p24.hex");
}

TEST_F(LoaderSetupTest, ShortFileIsIgnoredWholeLongFileReadFromItsStart) {
    TLoaderSetup s;
    s.vid = 0x1111;
    s.disableFlag = 2;
    auto rec = EncodeLoaderSetup(s);
    rec[1036] = 2;
    const std::string full(reinterpret_cast<const char*>(rec.data()), rec.size());
    WriteBytes("Quarnel.dat", full.substr(0, 1036));
    EXPECT_FALSE(LoadLoaderSetup(1, 2));
    EXPECT_EQ(LoaderSetup.vid, 0x3930);
    WriteBytes("Quarnel.dat", full + std::string(2000 - 1037, '\x55'));
    EXPECT_TRUE(LoadLoaderSetup(1, 2));
    EXPECT_EQ(LoaderSetup.vid, 0x1111);
    EXPECT_EQ(LoaderSetup.disableFlag, 2);  // counts as set
}

TEST_F(LoaderSetupTest, FailedWriteKeepsTheOldFile) {
    ASSERT_TRUE(StoreLoaderSetup());
    const std::string old = ReadBytes("Quarnel.dat");
    ExeDir = dir + "missing/";
    std::string error;
    LoaderSetup.vid = 0x4444;
    EXPECT_FALSE(StoreLoaderSetup(&error));
    EXPECT_EQ(error, "Unable to write to " + dir + "missing/Quarnel.dat");
    EXPECT_EQ(ReadBytes("Quarnel.dat"), old);
    // A folder cannot be replaced by a file: the rename fails and no temporary file is left behind.
    ::mkdir((dir + "sub").c_str(), 0755);
    EXPECT_FALSE(WriteFileAtomically(dir + "sub", "x"));
    for (const auto& e : std::filesystem::directory_iterator(dir))
        EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();
}

TEST_F(LoaderSetupTest, DataFolderFallsBackToTheUserConfigFolder) {
    EXPECT_EQ(ComputeExeDir(dir + "quarnel-flash"), dir);
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old ? old : "";
    ::setenv("XDG_CONFIG_HOME", (dir + "cfg").c_str(), 1);
    EXPECT_EQ(ComputeExeDir("/nonexistent-folder/bin/quarnel-flash"), dir + "cfg/quarnel-flash/");
    EXPECT_EQ(::access((dir + "cfg/quarnel-flash").c_str(), W_OK), 0);
    // Installed under /usr: never the system folder, even where it could be written (root).
    EXPECT_EQ(ComputeExeDir("/usr/bin/quarnel-flash"), dir + "cfg/quarnel-flash/");
    if (old) {
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
}

// The demo keeps its setup, settings and history apart from the real program's, installed or not.
TEST_F(LoaderSetupTest, DemoHasADataFolderOfItsOwn) {
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old ? old : "";
    ::setenv("XDG_CONFIG_HOME", (dir + "cfg").c_str(), 1);
    const struct {
        std::string program;
        std::string realDir;
        std::string demoDir;
    } cases[] = {
        {"/usr/bin/", dir + "cfg/quarnel-flash/", dir + "cfg/quarnel-flash-demo/"},
        {"/nonexistent-folder/bin/", dir + "cfg/quarnel-flash/", dir + "cfg/quarnel-flash-demo/"},
        {dir, dir, dir + "quarnel-flash-demo.data/"},
    };
    for (const auto& c : cases) {
        const std::string real = ComputeExeDir(c.program + "quarnel-flash", ProgramDataFolder);
        const std::string demo = ComputeExeDir(c.program + "quarnel-flash-demo", DemoDataFolder);
        EXPECT_EQ(real, c.realDir) << c.program;
        EXPECT_EQ(demo, c.demoDir) << c.program;
        EXPECT_NE(real, demo) << c.program;
        EXPECT_EQ(::access(demo.c_str(), W_OK), 0) << demo;
    }
    // What the demo stores lands in its own folder; the real program's setup stays as it was.
    ExeDir = ComputeExeDir(dir + "quarnel-flash", ProgramDataFolder);
    SetLoaderSetupDefaults(0, 0);
    ASSERT_TRUE(StoreLoaderSetup());
    const std::string realSetup = ReadBytes("Quarnel.dat");
    ExeDir = ComputeExeDir(dir + "quarnel-flash-demo", DemoDataFolder);
    LoaderSetup.disableFlag = 1;
    ASSERT_TRUE(StoreLoaderSetup());
    EXPECT_EQ(LoaderSetupFileName(), dir + "quarnel-flash-demo.data/Quarnel.dat");
    EXPECT_EQ(ReadBytes("Quarnel.dat"), realSetup);
    if (old) {
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    } else {
        ::unsetenv("XDG_CONFIG_HOME");
    }
}

TEST_F(LoaderSetupTest, HistoryFilesAndTrimming) {
    EXPECT_EQ(HistoryFileName(1), "History_P16.txt");
    EXPECT_EQ(HistoryFileName(3), "History_P18.txt");
    EXPECT_EQ(HistoryFileName(10), "History_P24.txt");
    EXPECT_EQ(HistoryFileName(20), "History_P32.txt");
    EXPECT_EQ(HistoryFilePath(7), "");
    std::vector<std::string> h = {"a", "b", "C"};
    AddPathToHistory(h, "c");  // found without regard to case: swapped with the first, old spelling
    EXPECT_EQ(h, (std::vector<std::string>{"C", "b", "a"}));
    std::vector<std::string> ten;
    for (int i = 1; i <= 10; ++i) ten.push_back("f" + std::to_string(i));
    AddPathToHistory(ten, "new");
    ASSERT_EQ(ten.size(), 10u);
    EXPECT_EQ(ten[0], "new");
    EXPECT_EQ(ten[8], "f8");
    EXPECT_EQ(ten[9], "f10");  // the oldest stays at the bottom; the ninth old entry went
    const std::string path = dir + HistoryFileName(2);
    ASSERT_TRUE(SaveHistory(path, {"x", "", " "}));
    EXPECT_EQ(ReadBytes(HistoryFileName(2)), "x\r\n\r\n \r\n");
    bool exists = false;
    EXPECT_EQ(LoadHistory(path, &exists), (std::vector<std::string>{"x", "", " "}));
    EXPECT_TRUE(exists);
    EXPECT_TRUE(LoadHistory(dir + "none.txt", &exists).empty());
    EXPECT_FALSE(exists);
    EXPECT_TRUE(IsBlankPath(" "));
    EXPECT_TRUE(IsBlankPath(""));
    EXPECT_FALSE(IsBlankPath(" a"));
}

}  // namespace
