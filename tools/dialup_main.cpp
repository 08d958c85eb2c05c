// vantelo-dialup: prints what Vantelo sees of this machine's connections, the
// dial-up entries and then the active connections with their status. Run in
// Vantelo's working folder, it follows its [dial] lanentries setting.
#include <QCoreApplication>
#include <cstdio>

#include "dialup/dial_up.h"
#include "routing/settings.h"

int main(int argc, char** argv) {
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
