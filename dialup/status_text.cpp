#include "dialup/status_text.h"

namespace vantelo::dialup {
namespace {

struct TStateTexts {
  std::uint32_t state;
  const char* english;
  const char* czech;
};

constexpr TStateTexts kStates[] = {
    {0, "Opening port", "Otevírání portu"},
    {1, "Port opened", "Port otevřen"},
    {2, "Connecting device", "Připojování zařízení"},
    {3, "Device connected", "Zařízení připojeno"},
    {4, "All devices connected", "Všechna zařízení připojena"},
    {5, "Start authenticating", "Zahájení ověřování"},
    {6, "Authentication: notify", "Ověřování: oznámení"},
    {7, "Authentication: retry", "Ověřování: opakování"},
    {8, "Authentication: callback", "Ověřování: zpětné volání"},
    {9, "Authentication: change password", "Ověřování: změna hesla"},
    {10, "Authentication: projecting", "Ověřování: nastavování protokolů"},
    {11, "Authentication: link speed", "Ověřování: rychlost linky"},
    {12, "Authentication: acknowledge", "Ověřování: potvrzení"},
    {13, "Authentication: reauthenticate", "Ověřování: nové ověření"},
    {14, "Authenticated", "Ověřeno"},
    {15, "Preparing for callback", "Příprava na zpětné volání"},
    {16, "Waiting for modem reset", "Čekání na reset modemu"},
    {17, "Waiting for callback", "Čekání na zpětné volání"},
    {18, "Projected", "Protokoly nastaveny"},
    {19, "Start authentication", "Začátek ověřování"},
    {20, "Callback complete", "Zpětné volání dokončeno"},
    {21, "Logging on network", "Přihlašování do sítě"},
    {0x1000, "Interactive", "Interaktivní"},
    {0x1001, "Retry Authentication", "Opakovat ověřování"},
    {0x1002, "Callback set by caller", "Zpětné volání nastaveno volajícím"},
    {0x1003, "Password expired", "Platnost hesla vypršela"},
    {0x2000, "Connected", "Připojeno"},
    {0x2001, "Disconnected", "Odpojeno"},
};

// Why NetworkManager says a device failed (its state reasons).
const char* ReasonText(int reason) {
  switch (reason) {
    case 1:
      return "Unknown error";
    case 4:
      return "Device configuration failed";
    case 5:
      return "IP configuration could not be reserved";
    case 6:
      return "IP configuration is no longer valid";
    case 7:
      return "Secrets were required, but not provided";
    case 13:
      return "The PPP service failed to start";
    case 14:
      return "The PPP service disconnected";
    case 15:
      return "The PPP service quit or failed";
    case 16:
      return "DHCP failed to start";
    case 17:
      return "DHCP error";
    case 18:
      return "DHCP failed";
    case 24:
      return "The line is busy";
    case 25:
      return "No dial tone";
    case 26:
      return "No carrier could be established";
    case 27:
      return "The dialing request timed out";
    case 28:
      return "The dialing attempt failed";
    case 29:
      return "Modem initialization failed";
    case 30:
      return "Failed to select the specified APN";
    case 32:
      return "Network registration denied";
    case 33:
      return "Network registration timed out";
    case 34:
      return "Failed to register with the requested network";
    case 35:
      return "PIN check failed";
    case 36:
      return "Necessary firmware for the device may be missing";
    case 37:
      return "The device was removed";
    case 44:
      return "The modem could not be found";
    case 45:
      return "The Bluetooth connection failed or timed out";
    case 46:
      return "SIM card not inserted";
    case 47:
      return "SIM PIN required";
    case 48:
      return "SIM PUK required";
    case 49:
      return "Wrong SIM card";
    case 53:
      return "The dependency connection failed";
    case 56:
      return "ModemManager is unavailable";
    case 57:
      return "The Wi-Fi network could not be found";
    case 58:
      return "A secondary connection of the base connection failed";
    default:
      return nullptr;
  }
}

}  // namespace

std::string StateText(TLanguage language, std::uint32_t state) {
  for (const TStateTexts& t : kStates) {
    if (t.state == state) return language == Czech ? t.czech : t.english;
  }
  return {};
}

std::string ErrorText(int error) {
  if (const char* text = ReasonText(error)) return text;
  return "Connection failed (error " + std::to_string(error) + ")";
}

std::string StatusText(TLanguage language, std::uint32_t state, int error) {
  return error != 0 ? ErrorText(error) : StateText(language, state);
}

}  // namespace vantelo::dialup
