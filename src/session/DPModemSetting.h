#pragma once
#include "platform/AnsiString.h"

// Modem connection data of a session component (kept for the settings; the
// service has no modem provider).
class TDPModemSetting {
  public:
    void Assign(const TDPModemSetting& source);

    bool Enabled = false;
    AnsiString PhoneNumber;
    AnsiString ModemDevice; // name of the modem to use
};
