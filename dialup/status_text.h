// Status texts of dial-up connections: a text per connection state code, in
// English or Czech, or the error text when a connection carries an error.
// No Qt; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace vantelo::dialup {

enum TLanguage { English, Czech };

// Connection state codes that the rest of the program meets.
inline constexpr std::uint32_t kStateConnectDevice = 2;
inline constexpr std::uint32_t kStateConnected = 0x2000;
inline constexpr std::uint32_t kStateDisconnected = 0x2001;
// A state that no table knows, for a connection whose state is unknown.
inline constexpr std::uint32_t kStateUnknown = 0xFFFF;

// The result of an enumeration that found more than it has room for.
inline constexpr int kErrorBufferTooSmall = 603;

// The table text for `state`; empty for a code not in the table.
std::string StateText(TLanguage language, std::uint32_t state);

// The error text for a non-zero connection error code: a short English text
// for the reasons NetworkManager gives a failed device, else a generic one.
std::string ErrorText(int error);

// The status text rule: the error text when `error` is not 0, else the state's
// table text.
std::string StatusText(TLanguage language, std::uint32_t state, int error);

}  // namespace vantelo::dialup
