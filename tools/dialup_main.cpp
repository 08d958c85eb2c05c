// vantelo-dialup: prints what Vantelo sees of this machine's connections, the
// dial-up entries and then the active connections with their status. Run in
// Vantelo's working folder, it follows its [dial] lanentries setting.
#include <QCoreApplication>
#include <cstdio>
#include <cstring>

#include "dialup/dial_up.h"
#include "routing/settings.h"

namespace {

const char* const kUsage = "usage: vantelo-dialup [--help | --version]\n";
const char* const kHelp =
    "\n"
    "Prints what Vantelo sees of this machine's connections: the dial-up entries\n"
    "under \"entries:\", then the active connections under \"active:\", one a\n"
    "line as NAME<TAB>STATUS<TAB>DEVICE TYPE<TAB>DEVICE NAME. They come from\n"
    "NetworkManager, then from pppd. Run in Vantelo's working folder, it follows\n"
    "its [dial] lanentries setting (Wi-Fi and wired profiles as entries too).\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
      std::printf("%s%s", kUsage, kHelp);
      return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
      std::puts("vantelo-dialup " VANTELO_VERSION);
      return 0;
    }
    std::fputs(kUsage, stderr);
    return 2;
  }
  QCoreApplication app(argc, argv);
  using vantelo::dialup::TDialUp;
  TDialUp dialUp;
  dialUp.LanEntriesSetting = [] {
    return vantelo::routing::SettingIsOn(vantelo::routing::kDialLanEntries);
  };
  std::printf("entries:\n");
  dialUp.OnEntryGet = [](TDialUp*, const std::string& name) { std::printf("%s\n", name.c_str()); };
  dialUp.GetEntries();
  std::printf("active:\n");
  dialUp.OnActiveConnection = [](TDialUp*, int, const vantelo::dialup::TRasConnStatus&,
                                 const std::string& status, const std::string& name,
                                 const std::string& type, const std::string& device) {
    std::printf("%s\t%s\t%s\t%s\n", name.c_str(), status.c_str(), type.c_str(), device.c_str());
  };
  dialUp.GetActiveConnections();
  return 0;
}
