// vantelo-initdb [--data DIR] [FOLDER]: prepares a working folder for Vantelo.
// vantelo-initdb --setting SECTION KEY [FOLDER]: prints one setting as
// Vantelo reads it, for the launcher.
// Makes what is missing and never touches a file that is there (an empty
// route file, left by an older run cut short, counts as missing).
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>

#include "tools/initdb_files.h"
#include "routing/route_store.h"
#include "routing/settings.h"

namespace fs = std::filesystem;

namespace {

const char* const kUsage =
    "usage: vantelo-initdb [--data DIR] [FOLDER]\n"
    "       vantelo-initdb --setting SECTION KEY [FOLDER]\n"
    "       vantelo-initdb --help | --version\n";

const char* const kHelp =
    "Prepares FOLDER (the current folder when none is given) as Vantelo's\n"
    "working folder. It creates what is missing:\n"
    "  config/log.mdb    the route file, with its table\n"
    "  config/link       the launcher: changes to FOLDER and starts vantelo\n"
    "  config/tip.cfg    the shipped tips\n"
    "  qovin help/       the shipped help\n"
    "A file that is there is never changed or replaced, except an empty\n"
    "config/log.mdb (what a run on a full disk left before), which is made again.\n"
    "\n"
    "The shipped help and tips are taken from:\n"
    "  --data DIR        when given;\n"
    "  the source's data/ folder, when vantelo-initdb runs from the build\n"
    "                    folder it was built in;\n"
    "  otherwise the folder " VANTELO_DATA_FROM_BIN
    " beside the program's own\n"
    "                    folder (/usr/share/vantelo for /usr/bin/vantelo-initdb).\n"
    "\n"
    "With --setting, it changes nothing: it prints the value of KEY in\n"
    "[SECTION] of FOLDER's config/config.ini as Vantelo reads it (sections and\n"
    "keys in any letter case, a byte-order mark skipped), with exit status 0,\n"
    "or prints nothing and exits with 3 when the file or the key is missing.\n"
    "\n"
    "Exit status: 0 when everything is in place, 1 when something could not be\n"
    "made (each failure is named on standard error), 2 for wrong arguments.\n";

// Single-quoted for the shell.
std::string ShellQuoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string LauncherText() {
  const std::string beside = (vantelo::app::ProgramFolder() / "vantelo").string();
  return "#!/bin/sh\n"
         "# Starts Vantelo in the folder that holds config/, which is where it\n"
         "# looks for its routes and settings.\n"
         "cd \"$(dirname \"$0\")/..\" || exit 1\n"
         "if [ -x " +
         ShellQuoted(beside) +
         " ]; then\n"
         "  exec " +
         ShellQuoted(beside) +
         " \"$@\"\n"
         "fi\n"
         "exec vantelo \"$@\"\n";
}

struct TArguments {
  fs::path folder = ".";
  fs::path data;
  std::string section;  // with --setting: the key to print
  std::string key;
};

// Returns the exit status to end with, or -1 to go on.
int ParseArguments(int argc, char** argv, TArguments& args) {
  bool haveFolder = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::printf("%s\n%s", kUsage, kHelp);
      return 0;
    }
    if (arg == "--version") {
      std::puts("vantelo-initdb " VANTELO_VERSION);
      return 0;
    }
    if (arg == "--setting" && i + 2 < argc) {
      args.section = argv[++i];
      args.key = argv[++i];
    } else if (arg == "--data" && i + 1 < argc) {
      args.data = argv[++i];
    } else if (arg.rfind("--data=", 0) == 0) {
      args.data = arg.substr(7);
    } else if (!haveFolder && !arg.empty() && arg[0] != '-') {
      args.folder = arg;
      haveFolder = true;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (args.data.empty()) args.data = vantelo::app::ShippedDataFolder();
  return -1;
}

}  // namespace

// The launcher asks the program's own reader, so one set of rules holds.
int PrintSetting(const TArguments& args) {
  std::error_code error;
  fs::current_path(args.folder, error);
  if (error) {
    std::fprintf(stderr, "vantelo-initdb: cannot read %s: %s\n", args.folder.c_str(),
                 error.message().c_str());
    return 1;
  }
  const vantelo::routing::TSettingsKey key{args.section.c_str(), args.key.c_str(), ""};
  const std::optional<std::string> value = vantelo::routing::ReadSettingIfSet(key);
  if (!value) return 3;
  std::printf("%s\n", value->c_str());
  return 0;
}

int main(int argc, char** argv) {
  TArguments args;
  if (int status = ParseArguments(argc, argv, args); status >= 0) return status;
  if (!args.key.empty()) return PrintSetting(args);
  const fs::path config = args.folder / "config";
  bool failed = false;
  // Each step on its own: one that fails does not keep the others from
  // making what they can.
  auto step = [&failed](auto&& work) {
    try {
      work();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "vantelo-initdb: %s\n", e.what());
      failed = true;
    }
  };
  step([&] {
    std::error_code error;
    fs::create_directories(config, error);
    if (error)
      throw std::runtime_error("cannot create " + config.string() + ": " + error.message());
  });
  step([&] {
    if (vantelo::routing::CreateRouteDatabase(args.folder.string())) {
      std::printf("created %s\n", (config / "log.mdb").c_str());
    }
  });
  step([&] {
    if (vantelo::app::CreateNewFile(config / "link", LauncherText(), 0755)) {
      std::printf("created %s\n", (config / "link").c_str());
    }
  });
  step([&] {
    if (vantelo::app::CopyMissingFile(args.data / "tip.cfg", config / "tip.cfg")) {
      std::printf("created %s\n", (config / "tip.cfg").c_str());
    }
  });
  step([&] {
    const fs::path help = args.data / "qovin help";
    if (!fs::is_regular_file(help / "index.html")) {
      throw std::runtime_error("no shipped help at " + help.string());
    }
    const fs::path target = args.folder / "qovin help";
    if (int n = vantelo::app::CopyMissingFiles(help, target); n > 0) {
      std::printf("copied %d files of the help into %s\n", n, target.c_str());
    }
  });
  return failed ? 1 : 0;
}
