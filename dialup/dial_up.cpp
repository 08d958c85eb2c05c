#include "dialup/dial_up.h"

#include <set>

#include "logging/log_categories.h"
#include "dialup/network_manager_source.h"
#include "dialup/pppd_source.h"

namespace vantelo::dialup {

std::string CutAtCharacter(const std::string& text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  std::size_t end = maxBytes;
  // Step back over continuation bytes (10xxxxxx) to the start of a character.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

TDialUp::TDialUp() {
  sources_.push_back(std::make_unique<TNetworkManagerSource>());
  sources_.push_back(std::make_unique<TPppdSource>());
  WatchSources();
}

TDialUp::TDialUp(std::vector<std::unique_ptr<TConnectionSource>> sources)
    : sources_(std::move(sources)) {
  WatchSources();
}

void TDialUp::WatchSources() {
  for (auto& source : sources_) {
    source->WatchChanges([this] {
      if (OnConnectionsChanged) OnConnectionsChanged(this);
    });
  }
}

TDialUp::~TDialUp() = default;

std::string TDialUp::StatusText(std::uint32_t state, int error) const {
  return dialup::StatusText(Language, state, error);
}

bool TDialUp::WantsLanEntries() {
  if (!lanEntries_) lanEntries_ = LanEntriesSetting && LanEntriesSetting();
  return *lanEntries_;
}

int TDialUp::GetEntries() {
  entries_.clear();
  lanEntries_.reset();
  std::vector<std::string> found;
  for (auto& source : sources_) {
    for (std::string& name : source->Entries()) found.push_back(std::move(name));
  }
  if (WantsLanEntries()) {
    for (auto& source : sources_) {
      for (std::string& name : source->LanEntries()) found.push_back(std::move(name));
    }
  }
  if (found.size() > kMaxEnumerated) {
    qCWarning(lcDialup, "%zu entries, more than %zu: none is listed", found.size(), kMaxEnumerated);
    return kErrorBufferTooSmall;
  }
  for (const std::string& name : found) {
    entries_.push_back(name);
    if (OnEntryGet) OnEntryGet(this, entries_.back());
  }
  return 0;
}

int TDialUp::GetActiveConnections() {
  std::vector<TRasConnection> found;
  // A link that an earlier source reported (by its device or its IP
  // interface) is not reported again by a later one.
  std::set<std::string> reported;
  const bool withLan = WantsLanEntries();
  for (auto& source : sources_) {
    std::set<std::string> claimed;
    for (TRasConnection& c : source->ActiveConnections(withLan)) {
      if (!c.Status.DeviceName.empty() && reported.count(c.Status.DeviceName)) continue;
      for (const std::string* name : {&c.Status.DeviceName, &c.IpInterface}) {
        if (!name->empty()) claimed.insert(*name);
      }
      found.push_back(std::move(c));
    }
    reported.merge(claimed);
  }
  const bool tooMany = found.size() > kMaxEnumerated;
  if (tooMany != tooManyConnections_) {
    if (tooMany) {
      qCWarning(lcDialup, "%zu active connections, more than %zu: none is reported", found.size(),
                kMaxEnumerated);
    } else {
      qCInfo(lcDialup, "%zu active connections: reported again", found.size());
    }
    tooManyConnections_ = tooMany;
  }
  if (tooMany) return kErrorBufferTooSmall;
  for (TRasConnection& c : found) {
    c.Status.DeviceType = CutAtCharacter(c.Status.DeviceType, kMaxDeviceType);
    c.Status.DeviceName = CutAtCharacter(c.Status.DeviceName, kMaxDeviceName);
    const std::string text = StatusText(c.Status.State, c.Status.ErrorCode);
    if (OnActiveConnection) {
      OnActiveConnection(this, c.Handle, c.Status, text, c.EntryName, c.Status.DeviceType,
                         c.Status.DeviceName);
    }
  }
  return 0;
}

}  // namespace vantelo::dialup
