// The dial-up monitor: the phonebook entries and the active connections of
// the machine, each connection with its status text, reported through two
// events fired synchronously, one per entry or connection, before the call
// returns. On Linux the entries and connections come from NetworkManager
// first, then from pppd. When the user wants Wi-Fi and wired profiles as
// entries (LanEntriesSetting), they follow all other entries, and their
// active connections come before all others, so a VPN over the Wi-Fi is
// reported last and decides. A connection that a later source finds on a link an
// earlier source already reported (same device or IP interface) is reported
// once, by the earlier source.
//
// OnConnectionsChanged fires, from Qt's event loop, each time a source learns
// that the active connections may have changed (NetworkManager says so); one
// change may fire it several times. pppd says nothing: its connections are
// seen at the next GetActiveConnections only.
//
// GUI thread only. Nothing is reported when there is nothing, so a caller
// sets its results to their empty values before a call and reads them after.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dialup/connection_source.h"
#include "dialup/status_text.h"

namespace vantelo::dialup {

enum TDialMode { dmAsync, dmSync };

// Longest device texts handed to the handlers, in bytes: longer ones are cut
// at a character boundary. Entry names are never cut: the route lookup needs
// them whole, or a long name would miss its row and two names sharing their
// start would share one.
inline constexpr std::size_t kMaxDeviceType = 16;
inline constexpr std::size_t kMaxDeviceName = 128;
// Room for this many entries or connections in one call.
inline constexpr std::size_t kMaxEnumerated = 100;

class TDialUp {
 public:
  using TOnEntryGet = std::function<void(TDialUp* Sender, const std::string& EntryName)>;
  using TOnActiveConn = std::function<void(
      TDialUp* Sender, int Handle, const TRasConnStatus& Status, const std::string& StatusString,
      const std::string& EntryName, const std::string& DeviceType, const std::string& DeviceName)>;
  using TStandartEv = std::function<void(TDialUp* Sender)>;
  using TOnNotConn =
      std::function<void(TDialUp* Sender, int ErrorCode, const std::string& ErrorMessage)>;
  using TOnAsyncEvent =
      std::function<void(TDialUp* Sender, int State, int Error, const std::string& MessageText)>;
  using TOnError = TOnNotConn;

  // The machine's sources: NetworkManager, then pppd at their usual places.
  TDialUp();
  // Given sources, asked in order (tests).
  explicit TDialUp(std::vector<std::unique_ptr<TConnectionSource>> sources);
  ~TDialUp();

  TDialMode DialMode = dmAsync;  // kept; this program never dials
  std::string Entry;             // kept; this program never dials
  TLanguage Language = English;
  TOnEntryGet OnEntryGet;
  TOnActiveConn OnActiveConnection;
  // Time to call GetActiveConnections again, now rather than at the next tick.
  TStandartEv OnConnectionsChanged;
  // Whether Wi-Fi and wired profiles count as entries; asked at each
  // GetEntries (and at the first GetActiveConnections before any), so that
  // the entries and the connections reported agree. None: they do not.
  std::function<bool()> LanEntriesSetting;
  // Dialling events: this program never dials, so they never fire.
  TStandartEv OnDialing;
  TStandartEv OnConnect;
  TOnNotConn OnNotConnected;
  TOnAsyncEvent OnAsyncEvent;
  TOnError OnError;

  // The names found by the last GetEntries.
  const std::vector<std::string>& Entries() const { return entries_; }

  // Clears Entries, then reports every entry: 0, or kErrorBufferTooSmall
  // (nothing reported) when there are more than kMaxEnumerated.
  int GetEntries();
  // Reports every active connection with its status text: 0, or
  // kErrorBufferTooSmall (nothing reported) when there are more than
  // kMaxEnumerated.
  int GetActiveConnections();

  std::string StatusText(std::uint32_t state, int error) const;

 private:
  bool WantsLanEntries();
  void WatchSources();
  std::vector<std::unique_ptr<TConnectionSource>> sources_;
  std::vector<std::string> entries_;
  bool tooManyConnections_ = false;  // logged when it starts and when it ends
  std::optional<bool> lanEntries_;   // as read at the last GetEntries
};

// `text` cut to at most `maxBytes` bytes without splitting a UTF-8 character.
std::string CutAtCharacter(const std::string& text, std::size_t maxBytes);

}  // namespace vantelo::dialup
