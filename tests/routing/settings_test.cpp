// The settings file and the settings as the controls hold them, on real files.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "routing/autostart.h"
#include "routing/settings.h"
#include "routing/routing_log.h"
#include "tests/testkit/temp_folder_fixture.h"

using namespace vantelo::routing;
namespace fs = std::filesystem;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class Settings : public vantelo::testkit::TempFolderFixture {
 protected:
  void SetUp() override {
    TempFolderFixture::SetUp();
    fs::create_directory("config");
    fs::create_directory("xdg");
    setenv("XDG_CONFIG_HOME", (Folder() + "/xdg").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("XDG_CONFIG_HOME");
    TempFolderFixture::TearDown();
  }
  TIniFile ini = SettingsFile();
};

TEST_F(Settings, MissingKeyGivesTheDefaultButAnEmptyValueStaysEmpty) {
  EXPECT_EQ(ini.ReadString("dial", "smtpport", "25"), "25");  // no file at all
  WriteFile("config/config.ini", "[dial]\nsmtpport=\n[default]\nsmtpserver = mail.isp \n");
  EXPECT_EQ(ini.ReadString("dial", "smtpport", "25"), "");
  EXPECT_EQ(ini.ReadString("DEFAULT", "SmtpServer", ""), "mail.isp");
  EXPECT_EQ(ini.ReadString("default", "smtpport", "x"), "x");
  EXPECT_EQ(ini.ReadString("general", "smtpserver", "none"), "none");
}

TEST_F(Settings, ValuesAreCutAt2047Characters) {
  ini.WriteString("default", "smtpserver", std::string(3000, 'a'));
  EXPECT_EQ(ini.ReadString("default", "smtpserver", "").size(), 2047u);
}

TEST_F(Settings, AWriteChangesOnlyItsKeyAndKeepsEveryOtherLine) {
  const std::string before =
      "; written by hand\n[Dial]\nSmtpPort=25\n# note\nextra=keep me\n\n[other]\nx=1\n";
  WriteFile("config/config.ini", before);
  ini.WriteString("dial", "smtpport", "2525");
  ini.WriteString("dial", "newkey", "v");
  ini.WriteString("general", "tipoftheday", "1");
  EXPECT_EQ(ReadFile("config/config.ini"),
            "; written by hand\n[Dial]\nSmtpPort=2525\n# note\nextra=keep me\nnewkey=v\n\n"
            "[other]\nx=1\n[general]\ntipoftheday=1\n");
}

TEST_F(Settings, WindowsLineEndingsAreKept) {
  WriteFile("config/config.ini", "[dial]\r\nsmtpport=25\r\n");
  ini.WriteString("dial", "smtpport", "26");
  ini.WriteString("default", "smtpserver", "s");
  EXPECT_EQ(ReadFile("config/config.ini"),
            "[dial]\r\nsmtpport=26\r\n[default]\r\nsmtpserver=s\r\n");
  EXPECT_EQ(ini.ReadString("dial", "smtpport", ""), "26");
}

TEST_F(Settings, FailedWritesRaiseTheMessageAndChangeNothing) {
  WriteFile("config/config.ini", "[dial]\nsmtpport=25\n");
  chmod("config/config.ini", 0444);
  try {
    ini.WriteString("dial", "smtpport", "26");
    FAIL();
  } catch (const ESettingsWriteError& e) {
    EXPECT_STREQ(e.what(), "Unable to write to config\\config.ini");
  }
  EXPECT_EQ(ReadFile("config/config.ini"), "[dial]\nsmtpport=25\n");

  fs::remove_all("config");  // the folder is never created
  EXPECT_THROW(ini.WriteString("dial", "smtpport", "26"), ESettingsWriteError);
  EXPECT_FALSE(fs::exists("config"));
}

TEST_F(Settings, AWriteLeavesNoTemporaryFileBehind) {
  ini.WriteString("dial", "smtpport", "25");
  EXPECT_EQ(std::distance(fs::directory_iterator("config"), fs::directory_iterator()), 1);
  EXPECT_EQ(fs::status("config/config.ini").permissions() & fs::perms::owner_write,
            fs::perms::owner_write);
}

TEST_F(Settings, SavecfgTrimsWritesInOrderAndLoadcfgReadsBack) {
  TSettingsValues v;
  v.incomingPort = " 2525\t";
  v.defaultServer = "\x01 mail.lan ";
  v.defaultPort = "";
  v.startMinimized = true;
  v.tipOfTheDay = false;
  v.startWithWindows = true;
  savecfg(v);
  EXPECT_EQ(ReadFile("config/config.ini"),
            "[dial]\nsmtpport=2525\n[default]\nsmtpserver=mail.lan\nsmtpport=\n"
            "[general]\nstartminimized=1\ntipoftheday=0\n");
  TSettingsValues back;
  loadcfg(back);
  EXPECT_EQ(back.incomingPort, "2525");
  EXPECT_EQ(back.defaultServer, "mail.lan");
  EXPECT_EQ(back.defaultPort, "");
  EXPECT_TRUE(back.startMinimized);
  EXPECT_FALSE(back.tipOfTheDay);
  EXPECT_TRUE(back.startWithWindows);
}

TEST_F(Settings, LoadcfgDefaultsAndExactFlags) {
  TSettingsValues v;
  v.startWithWindows = true;  // no entry on disk: unchecked
  loadcfg(v);
  EXPECT_EQ(v.incomingPort, "25");
  EXPECT_EQ(v.defaultServer, "");
  EXPECT_FALSE(v.startMinimized);
  EXPECT_FALSE(v.tipOfTheDay);
  EXPECT_FALSE(v.startWithWindows);
  WriteFile("config/config.ini", "[general]\nstartminimized=yes\ntipoftheday=1\n");
  loadcfg(v);
  EXPECT_FALSE(v.startMinimized);  // only "1" checks it
  EXPECT_TRUE(v.tipOfTheDay);
}

TEST_F(Settings, AutostartEntryIsWrittenReadAndRemoved) {
  TSettingsValues v;
  v.startWithWindows = true;
  savecfg(v);
  const std::string entry = ReadFile("xdg/autostart/qovin.desktop");
  EXPECT_NE(entry.find("Type=Application\n"), std::string::npos);
  EXPECT_NE(entry.find("Name=Vantelo\n"), std::string::npos);
  EXPECT_NE(entry.find("Exec=" + Folder() + "/config/link\n"), std::string::npos);
  EXPECT_NE(entry.find("Path=" + Folder() + "\n"), std::string::npos);
  EXPECT_EQ(TAutostart::Read(), std::optional<bool>(true));

  v.startWithWindows = false;
  savecfg(v);
  EXPECT_FALSE(fs::exists("xdg/autostart/qovin.desktop"));
  savecfg(v);  // removing an absent entry is no error
  EXPECT_EQ(TAutostart::Read(), std::optional<bool>(false));

  WriteFile("xdg/autostart/qovin.desktop",
            "[Desktop Entry]\nType=Application\nExec=/x/config/link\nHidden=true\n");
  EXPECT_EQ(TAutostart::Read(), std::optional<bool>(false));
}

TEST_F(Settings, AutostartQuotesPathsWithBlanks) {
  EXPECT_EQ(TAutostart::ExecValue("/home/a b/v"), "\"/home/a b/v/config/link\"");
  EXPECT_EQ(TAutostart::ExecValue("/srv/50%$"), "\"/srv/50%%\\\\$/config/link\"");
  EXPECT_EQ(TAutostart::ExecValue("/plain"), "/plain/config/link");
}

// A new account has no ~/.config yet, or XDG_CONFIG_HOME names a folder not
// made yet: "Start with windows" used to fail there, as one mkdir made only
// autostart/ itself.
TEST_F(Settings, AutostartOnAFreshAccountMakesTheMissingFoldersPrivate) {
  std::vector<std::string> lines;
  SetRoutingLogSink([&](TRoutingLogSource source, TRoutingLogLevel, const std::string& line) {
    EXPECT_EQ(source, TRoutingLogSource::Settings) << line;
    lines.push_back(line);
  });
  TSettingsValues v;
  setenv("XDG_CONFIG_HOME", (Folder() + "/missing").c_str(), 1);
  v.startWithWindows = true;
  loadcfg(v);
  EXPECT_TRUE(v.startWithWindows);  // nothing to read yet: keeps its state
  setenv("XDG_CONFIG_HOME", (Folder() + "/new/deeper/xdg").c_str(), 1);
  EXPECT_NO_THROW(savecfg(v));
  EXPECT_EQ(TAutostart::Read(), std::optional<bool>(true));
  for (const char* made : {"new", "new/deeper", "new/deeper/xdg", "new/deeper/xdg/autostart"}) {
    EXPECT_EQ(fs::status(made).permissions(), fs::perms::owner_all) << made;
  }
  // $HOME/.config when XDG_CONFIG_HOME is unset, or relative (not valid).
  const std::string home = getenv("HOME") ? getenv("HOME") : "";
  fs::create_directory("home");
  setenv("HOME", (Folder() + "/home").c_str(), 1);
  for (bool unset : {true, false}) {
    fs::remove_all("home/.config");
    if (unset)
      unsetenv("XDG_CONFIG_HOME");
    else
      setenv("XDG_CONFIG_HOME", "xdg", 1);
    EXPECT_NO_THROW(savecfg(v));
    EXPECT_TRUE(fs::is_regular_file("home/.config/autostart/qovin.desktop")) << unset;
    EXPECT_EQ(fs::status("home/.config").permissions(), fs::perms::owner_all);
  }
  EXPECT_FALSE(fs::exists("xdg/autostart"));
  EXPECT_TRUE(lines.empty());
  // A folder that cannot be made: the message, and why in the log.
  WriteFile("blocker", "");
  setenv("XDG_CONFIG_HOME", (Folder() + "/blocker/xdg").c_str(), 1);
  try {
    savecfg(v);
    FAIL();
  } catch (const EAutostartError& e) {
    EXPECT_STREQ(e.what(), "Failed to set data for 'qovin'");
  }
  EXPECT_EQ(lines, (std::vector<std::string>{"cannot write " + Folder() +
                                             "/blocker/xdg/autostart/qovin.desktop: cannot "
                                             "create " +
                                             Folder() + "/blocker: Not a directory"}));
  setenv("HOME", home.c_str(), 1);
  SetRoutingLogSink(nullptr);
}

TEST_F(Settings, InvalidAutostartEntriesRaise) {
  TSettingsValues v;
  fs::create_directories("xdg/autostart");
  WriteFile("xdg/autostart/qovin.desktop", "not a desktop entry\n");
  WriteFile("config/config.ini", "[general]\nstartminimized=1\n");
  v.startMinimized = false;
  try {
    loadcfg(v);
    FAIL();
  } catch (const EAutostartError& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'qovin'");
  }
  EXPECT_FALSE(v.startMinimized);  // the steps after it did not run

  fs::remove("xdg/autostart/qovin.desktop");
  fs::create_directory("xdg/autostart/qovin.desktop");  // cannot be replaced by a file
  v.startWithWindows = true;
  try {
    savecfg(v);
    FAIL();
  } catch (const EAutostartError& e) {
    EXPECT_STREQ(e.what(), "Failed to set data for 'qovin'");
  }
}

// ---- Files that are not what they seem ----------------------------------

// Runs `read` in a child process that may use at most 1 GiB and 5 s, and
// expects it to give the default at once: a read that blocks or never ends
// kills only the child.
[[noreturn]] void ReadBounded(const std::function<std::string()>& read, const std::string& wanted) {
  rlimit memory;
  memory.rlim_cur = memory.rlim_max = 1u << 30;
  setrlimit(RLIMIT_AS, &memory);
  alarm(5);
  std::exit(read() == wanted ? 0 : 3);
}

void ExpectDefaultsAtOnce(const std::function<std::string()>& read, const std::string& wanted) {
  EXPECT_EXIT(ReadBounded(read, wanted), ::testing::ExitedWithCode(0), "");
}

TEST_F(Settings, ByteOrderMarkIsSkippedWhenReadingAndKeptWhenWriting) {
  WriteFile("config/config.ini", "\xEF\xBB\xBF[dial]\r\nsmtpport=2525\r\n");
  EXPECT_EQ(ReadSetting(kDialSmtpPort), "2525");
  WriteSetting(kDialSmtpPort, "2526");
  WriteSetting(kDefaultSmtpServer, "mail.lan");
  EXPECT_EQ(ReadFile("config/config.ini"),
            "\xEF\xBB\xBF[dial]\r\nsmtpport=2526\r\n[default]\r\nsmtpserver=mail.lan\r\n");
}

TEST_F(Settings, SpecialOrHugeFilesReadAsDefaultsAtOnce) {
  ASSERT_EQ(mkfifo("config/config.ini", 0644), 0);  // used to block for ever
  ExpectDefaultsAtOnce([] { return ReadSetting(kDialSmtpPort); }, "25");
  fs::remove("config/config.ini");
  fs::create_symlink("/dev/zero", "config/config.ini");  // used to fill the memory
  ExpectDefaultsAtOnce([] { return ReadSetting(kDialSmtpPort); }, "25");
  EXPECT_THROW(WriteSetting(kDialSmtpPort, "26"), ESettingsWriteError);
  fs::remove("config/config.ini");
  WriteFile("config/config.ini", "[dial]\nsmtpport=2525\n");
  fs::resize_file("config/config.ini", (16u << 20) + 1);  // sparse: costs no disk
  ExpectDefaultsAtOnce([] { return ReadSetting(kDialSmtpPort); }, "25");
  fs::resize_file("config/config.ini", 20);
  EXPECT_EQ(ReadSetting(kDialSmtpPort), "2525");
}

TEST_F(Settings, AnUnreadableFileIsLoggedWhenItTurnsSoAndWhenItClears) {
  std::vector<std::string> lines;
  SetRoutingLogSink([&](TRoutingLogSource source, TRoutingLogLevel, const std::string& line) {
    EXPECT_EQ(source, TRoutingLogSource::Settings) << line;
    lines.push_back(line);
  });
  fs::create_directory("config/config.ini");
  EXPECT_EQ(ReadSetting(kDialSmtpPort), "25");
  EXPECT_EQ(ReadSetting(kDefaultSmtpServer), "");
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "cannot read config/config.ini: not a regular file; using the defaults"}));
  fs::remove("config/config.ini");
  WriteFile("config/config.ini", "[dial]\nsmtpport=2525\n");
  EXPECT_EQ(ReadSetting(kDialSmtpPort), "2525");
  EXPECT_EQ(ReadSetting(kDialSmtpPort), "2525");
  EXPECT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines.back(), "config/config.ini can be read again");
  SetRoutingLogSink(nullptr);
}

TEST_F(Settings, WritesGoThroughASymlinkToItsTarget) {
  fs::create_directory("shared");
  WriteFile("shared/vantelo.ini", "[dial]\nsmtpport=25\n[default]\nsmtpserver=kept\n");
  fs::create_symlink("../shared/vantelo.ini", "config/config.ini");
  WriteSetting(kDialSmtpPort, "2525");
  EXPECT_TRUE(fs::is_symlink("config/config.ini"));
  EXPECT_EQ(ReadFile("shared/vantelo.ini"), "[dial]\nsmtpport=2525\n[default]\nsmtpserver=kept\n");
  EXPECT_EQ(ReadSetting(kDialSmtpPort), "2525");
  // A link to a file still to be written creates the target.
  fs::remove("config/config.ini");
  fs::create_symlink("../shared/new.ini", "config/config.ini");
  WriteSetting(kDialSmtpPort, "26");
  EXPECT_EQ(ReadFile("shared/new.ini"), "[dial]\nsmtpport=26\n");
}

TEST_F(Settings, AFileThatCannotBeReadIsNeverRewritten) {
  const std::string before = "[dial]\nsmtpport=2525\n[default]\nsmtpserver=mail.lan\n";
  WriteFile("config/config.ini", before);
  chmod("config/config.ini", 0200);
  try {
    WriteSetting(kGeneralTipOfTheDay, "1");
    FAIL();
  } catch (const ESettingsWriteError& e) {
    EXPECT_STREQ(e.what(), "Unable to write to config\\config.ini");
  }
  chmod("config/config.ini", 0600);
  EXPECT_EQ(ReadFile("config/config.ini"), before);
}

TEST_F(Settings, AWritableFileInAReadOnlyFolderIsWrittenInPlace) {
  WriteFile("config/config.ini", "[dial]\nsmtpport=25\n; a long comment that gets shorter\n");
  chmod("config", 0555);
  WriteSetting(kDialSmtpPort, "2525");
  EXPECT_EQ(ReadFile("config/config.ini"),
            "[dial]\nsmtpport=2525\n; a long comment that gets shorter\n");
  EXPECT_EQ(std::distance(fs::directory_iterator("config"), fs::directory_iterator()), 1);
  // A file that is not there cannot be made in such a folder.
  chmod("config", 0755);
  fs::remove("config/config.ini");
  chmod("config", 0555);
  EXPECT_THROW(WriteSetting(kDialSmtpPort, "2525"), ESettingsWriteError);
  chmod("config", 0755);
}

TEST_F(Settings, AnEmptyAutostartEntryIsOffAndLoadcfgReadsOn) {
  fs::create_directories("xdg/autostart");
  WriteFile("xdg/autostart/qovin.desktop", "");
  WriteFile("config/config.ini", "[general]\nstartminimized=1\ntipoftheday=1\n");
  TSettingsValues v;
  v.startWithWindows = true;
  EXPECT_NO_THROW(loadcfg(v));
  EXPECT_FALSE(v.startWithWindows);
  EXPECT_TRUE(v.startMinimized);
  EXPECT_TRUE(v.tipOfTheDay);
}

TEST_F(Settings, TheAutostartEntryIsWrittenThroughASymlink) {
  fs::create_directories("xdg/autostart");
  fs::create_directory("dotfiles");
  WriteFile("dotfiles/qovin.desktop", "");
  fs::create_symlink(Folder() + "/dotfiles/qovin.desktop", "xdg/autostart/qovin.desktop");
  TSettingsValues v;
  v.startWithWindows = true;
  savecfg(v);
  EXPECT_TRUE(fs::is_symlink("xdg/autostart/qovin.desktop"));
  EXPECT_NE(ReadFile("dotfiles/qovin.desktop").find("Exec="), std::string::npos);
}

// Random bytes, random sections and keys: reading and writing never crash,
// and a written value always reads back.
TEST(IniFileText, SurvivesRandomInputAndWritesReadBack) {
  std::mt19937 gen(20261207);
  const char alphabet[] = "[]=;# \t\r\nabcAB\x01\xff\"'";
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    int length = static_cast<int>(gen() % 300);
    for (int i = 0; i < length; ++i) {
      text += round % 2 ? static_cast<char>(gen() & 0xFF) : alphabet[gen() % (sizeof alphabet - 1)];
    }
    const std::string section = round % 3 ? "dial" : "a";
    const std::string key = round % 5 ? "smtpport" : "b";
    TIniFile::ReadFromText(text, section, key, "d");
    std::string value = "v" + std::to_string(round);
    std::string written = TIniFile::WriteToText(text, section, key, value);
    EXPECT_EQ(TIniFile::ReadFromText(written, section, key, "d"), value) << round;
  }
}

}  // namespace
