#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "session/TSimpleIniFile.h"

namespace fs = std::filesystem;

namespace {

class TSimpleIniFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "quarnel-ini-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        file = dir + "/Quarnel.ini";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
        TSimpleIniFile::SetDefaultFileName("");
    }

    void Put(const std::string& text) const {
        std::ofstream out(file, std::ios::binary);
        out << text;
    }
    std::string Get() const { return Slurp(file); }
    static std::string Slurp(const std::string& name) {
        std::ifstream in(name, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    // Files in dir other than the settings file (left-over temporary files).
    int StrayFiles() const {
        int n = 0;
        for (const auto& entry : fs::directory_iterator(dir))
            n += entry.path().filename() != "Quarnel.ini" ? 1 : 0;
        return n;
    }

    std::string dir;
    std::string file;
};

TEST_F(TSimpleIniFileTest, ReadsDecimalAndBothHexForms) {
    Put("[Sizes]\nMainWidth=0x200\nMainHeight=$200\nLeft=-17\nTop=+5\nUpper=0X1F\nBig=2147483647\n"
        "Small=-2147483648\nAllBits=$FFFFFFFF\n");
    TSimpleIniFile ini(file);
    EXPECT_EQ(ini.ReadInteger("Sizes", "MainWidth", 7), 512);
    EXPECT_EQ(ini.ReadInteger("Sizes", "MainHeight", 7), 512);
    EXPECT_EQ(ini.ReadInteger("Sizes", "Left", 7), -17);
    EXPECT_EQ(ini.ReadInteger("Sizes", "Top", 7), 5);
    EXPECT_EQ(ini.ReadInteger("Sizes", "Upper", 7), 31);
    EXPECT_EQ(ini.ReadInteger("Sizes", "Big", 7), 2147483647);
    EXPECT_EQ(ini.ReadInteger("Sizes", "Small", 7), INT32_MIN);
    EXPECT_EQ(ini.ReadInteger("Sizes", "AllBits", 7), -1);
}

TEST_F(TSimpleIniFileTest, UnparsableValuesGiveTheDefault) {
    Put("[Sizes]\nA=abc\nB=12x\nC=0x\nD=$\nE=\nF=2147483648\nG=-2147483649\nH=$100000000\nI=0xG1\n"
        "J=-\nK=1 2\n");
    TSimpleIniFile ini(file);
    for (const char* key : {"A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K"})
        EXPECT_EQ(ini.ReadInteger("Sizes", key, 99), 99) << key;
}

TEST_F(TSimpleIniFileTest, BooleansAndMissingEntries) {
    Put("[Sizes]\nMainMaxiMised=2\nOff=0\nJunk=yes\n");
    TSimpleIniFile ini(file);
    EXPECT_TRUE(ini.ReadBool("Sizes", "MainMaxiMised", false));
    EXPECT_FALSE(ini.ReadBool("Sizes", "Off", true));
    EXPECT_TRUE(ini.ReadBool("Sizes", "Junk", true));
    EXPECT_FALSE(ini.ReadBool("Sizes", "Junk", false));
    EXPECT_EQ(ini.ReadInteger("Sizes", "Missing", 42), 42);
    EXPECT_EQ(ini.ReadInteger("NoSection", "MainMaxiMised", 43), 43);
    EXPECT_TRUE(ini.ReadBool("Sizes", "Missing", true));
}

TEST_F(TSimpleIniFileTest, NamesMatchWithoutRegardToCase) {
    Put("[SIZES]\nMAINWIDTH=300\n[font]\nSize = 9 \n");
    TSimpleIniFile ini(file);
    EXPECT_EQ(ini.ReadInteger("Sizes", "MainWidth", 0), 300);
    EXPECT_EQ(ini.ReadInteger("Font", "size", 0), 9);
    // Keys belong to their own section only.
    EXPECT_EQ(ini.ReadInteger("Font", "MainWidth", -1), -1);
}

TEST_F(TSimpleIniFileTest, ValueIsReadUpToTheLengthLimit) {
    // 2047 characters hold an ordinary hex value; what comes after is never seen.
    std::string value = "$" + std::string(TSimpleIniFile::MaxValueLength - 9, '0') + "000000FF";
    ASSERT_EQ(value.size(), TSimpleIniFile::MaxValueLength);
    Put("[S]\nCut=" + value + "Z\nWhole=" + value + "\n");
    TSimpleIniFile ini(file);
    EXPECT_EQ(ini.ReadInteger("S", "Cut", -1), 255);
    EXPECT_EQ(ini.ReadInteger("S", "Whole", -1), 255);
    EXPECT_EQ(ini.ReadString("S", "Cut", "").size(), TSimpleIniFile::MaxValueLength);
}

TEST_F(TSimpleIniFileTest, MissingFileReadsAsEmptyAndWritingCreatesIt) {
    ASSERT_FALSE(fs::exists(file));
    {
        TSimpleIniFile ini(file);
        EXPECT_EQ(ini.ReadInteger("Sizes", "MainWidth", 461), 461);
        EXPECT_FALSE(fs::exists(file)) << "reading must not create the file";
        ini.WriteInteger("Sizes", "MainWidth", 600);
        ini.WriteBool("Sizes", "MainMaxiMised", true);
        ini.WriteInteger("Font", "Size", -3);
        std::string error;
        EXPECT_TRUE(ini.UpdateFile(error));
        EXPECT_EQ(error, "");
    }
    EXPECT_EQ(Get(), "[Sizes]\nMainWidth=600\nMainMaxiMised=1\n\n[Font]\nSize=-3\n");
    TSimpleIniFile again(file);
    EXPECT_EQ(again.ReadInteger("sizes", "mainwidth", 0), 600);
    EXPECT_TRUE(again.ReadBool("Sizes", "MainMaxiMised", false));
    EXPECT_EQ(again.ReadInteger("Font", "Size", 0), -3);
    EXPECT_EQ(StrayFiles(), 0);
}

TEST_F(TSimpleIniFileTest, ReplacesInPlaceAndKeepsEverythingElse) {
    const std::string before = "; settings\r\n"
                               "# hash comment\r\n"
                               "stray text line\r\n"
                               "[SIZES]\r\n"
                               "MainWidth = 0x200\r\n"
                               "  ; indented comment\r\n"
                               "MainHeight=506\r\n"
                               "\r\n"
                               "[Font]\r\n"
                               "Size=8\r\n";
    Put(before);
    {
        TSimpleIniFile ini(file);
        ini.WriteInteger("Sizes", "mainwidth", 700);
        ini.WriteBool("Font", "Size", false);
        std::string error;
        ASSERT_TRUE(ini.UpdateFile(error)) << error;
    }
    EXPECT_EQ(Get(), "; settings\r\n"
                     "# hash comment\r\n"
                     "stray text line\r\n"
                     "[SIZES]\r\n"
                     "MainWidth = 700\r\n"
                     "  ; indented comment\r\n"
                     "MainHeight=506\r\n"
                     "\r\n"
                     "[Font]\r\n"
                     "Size=0\r\n");
}

TEST_F(TSimpleIniFileTest, NewKeyGoesAfterTheSectionsLastEntry) {
    Put("[Sizes]\nMainWidth=1\n; about the font\n\n\n[Font]\nSize=8");
    {
        TSimpleIniFile ini(file);
        ini.WriteInteger("Sizes", "MainTop", 20);
        ini.WriteInteger("Font", "Style", 1); // after a last line that has no line ending
        ini.WriteInteger("Empty", "A", 2);
        ini.WriteInteger("Empty", "B", 3);
    }
    EXPECT_EQ(Get(), "[Sizes]\nMainWidth=1\nMainTop=20\n; about the font\n\n\n[Font]\nSize=8\nStyle=1\n\n"
                     "[Empty]\nA=2\nB=3\n");
}

TEST_F(TSimpleIniFileTest, KeyInSectionWithoutEntriesGoesRightAfterTheHeader) {
    Put("[Sizes]\n\n[Font]\n");
    {
        TSimpleIniFile ini(file);
        ini.WriteInteger("Sizes", "MainWidth", 5);
    }
    EXPECT_EQ(Get(), "[Sizes]\nMainWidth=5\n\n[Font]\n");
}

TEST_F(TSimpleIniFileTest, UnchangedFileIsNotRewritten) {
    Put("[Sizes]\r\nMainWidth=5\r\n");
    const auto before = fs::last_write_time(file);
    TSimpleIniFile ini(file);
    ini.WriteInteger("Sizes", "MainWidth", 5);
    EXPECT_FALSE(ini.Modified());
    std::string error;
    EXPECT_TRUE(ini.UpdateFile(error));
    EXPECT_EQ(fs::last_write_time(file), before);
    EXPECT_EQ(Get(), "[Sizes]\r\nMainWidth=5\r\n");
}

TEST_F(TSimpleIniFileTest, RefusesNamesThatCouldNotBeReadBack) {
    TSimpleIniFile ini(file);
    EXPECT_FALSE(ini.WriteString("Sizes", "", "1"));
    EXPECT_FALSE(ini.WriteString("Sizes", "a=b", "1"));
    EXPECT_FALSE(ini.WriteString("Sizes", ";key", "1"));
    EXPECT_FALSE(ini.WriteString("Si]zes", "key", "1"));
    EXPECT_FALSE(ini.WriteString("Sizes", "key", "1\n[Other]"));
    EXPECT_FALSE(ini.Modified());
    EXPECT_TRUE(ini.WriteString("Sizes", "key", "1"));
    EXPECT_TRUE(ini.Modified());
}

TEST_F(TSimpleIniFileTest, UnwritableFolderReportsAndLeavesNothingBehind) {
    const std::string missing = dir + "/no-such-folder/Quarnel.ini";
    TSimpleIniFile ini(missing);
    ini.WriteInteger("Sizes", "MainWidth", 1);
    std::string error;
    EXPECT_FALSE(ini.UpdateFile(error));
    EXPECT_EQ(error, "Unable to write to " + missing);
    EXPECT_TRUE(ini.Modified());
    EXPECT_FALSE(fs::exists(dir + "/no-such-folder"));
}

TEST_F(TSimpleIniFileTest, FailedRenameKeepsTheOldContentsAndRemovesTheTemporaryFile) {
    // A directory in the file's place cannot be replaced by rename(), even by root.
    fs::create_directory(file);
    std::ofstream(file + "/keep.txt") << "old";
    TSimpleIniFile ini(file);
    EXPECT_EQ(ini.ReadInteger("Sizes", "MainWidth", 3), 3);
    ini.WriteInteger("Sizes", "MainWidth", 1);
    std::string error;
    EXPECT_FALSE(ini.UpdateFile(error));
    EXPECT_EQ(error, "Unable to write to " + file);
    EXPECT_TRUE(fs::is_directory(file));
    EXPECT_EQ(Slurp(file + "/keep.txt"), "old");
    EXPECT_EQ(StrayFiles(), 0) << "the temporary file must be removed";
}

TEST_F(TSimpleIniFileTest, ReplacementKeepsFileMode) {
    Put("[Sizes]\nMainWidth=1\n");
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    TSimpleIniFile ini(file);
    ini.WriteInteger("Sizes", "MainWidth", 2);
    std::string error;
    ASSERT_TRUE(ini.UpdateFile(error));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(StrayFiles(), 0);
}

TEST_F(TSimpleIniFileTest, DefaultFileName) {
    EXPECT_EQ(TSimpleIniFile::DefaultFileNameFor("/opt/q", "/opt/q/Loader.exe"), "/opt/q/Loader.ini");
    EXPECT_EQ(TSimpleIniFile::DefaultFileNameFor("/opt/q/", "/usr/bin/quarnel-flash"),
              "/opt/q/quarnel-flash.ini");
    EXPECT_EQ(TSimpleIniFile::DefaultFileNameFor("/d", "/x.y/a.b.c"), "/d/a.b.ini");
    EXPECT_EQ(TSimpleIniFile::DefaultFileNameFor("/d", "prog"), "/d/prog.ini");

    TSimpleIniFile::SetDefaultFileName(file);
    EXPECT_EQ(TSimpleIniFile::DefaultFileName(), file);
    {
        TSimpleIniFile ini;
        EXPECT_EQ(ini.FileName(), file);
        ini.WriteInteger("Sizes", "MainWidth", 9);
    }
    EXPECT_EQ(TSimpleIniFile(file).ReadInteger("Sizes", "MainWidth", 0), 9);
    EXPECT_EQ(TSimpleIniFile("/tmp/other.ini").FileName(), "/tmp/other.ini");
}

} // namespace

// Found by the settings-file fuzzer: a last line ending in a lone CR read differently once a line
// was written after it.
TEST_F(TSimpleIniFileTest, LastLineEndingInALoneCarriageReturn) {
    Put("[Other]\nk=1\n[Font]\nMain=9\r");
    {
        TSimpleIniFile ini(file);
        EXPECT_EQ(ini.ReadString("Font", "Main", "?"), "9");
        std::string error;
        ASSERT_TRUE(ini.UpdateFile(error));  // nothing changed: the file stays byte for byte
    }
    EXPECT_EQ(Get(), "[Other]\nk=1\n[Font]\nMain=9\r");
    {
        TSimpleIniFile ini(file);
        ini.WriteInteger("Font", "Size", 3);
        std::string error;
        ASSERT_TRUE(ini.UpdateFile(error));
    }
    TSimpleIniFile again(file);
    EXPECT_EQ(again.ReadString("Font", "Main", "?"), "9");
    EXPECT_EQ(again.ReadInteger("Font", "Size", 0), 3);
    EXPECT_EQ(again.ReadInteger("Other", "k", 0), 1);
}
