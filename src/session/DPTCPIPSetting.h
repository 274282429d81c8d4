#pragma once
#include "platform/AnsiString.h"

#include <cstdint>

namespace dplay {
struct TGuid;
}

// TCP/IP connection data of a session component.
class TDPTCPIPSetting {
  public:
    void Assign(const TDPTCPIPSetting& source);

    bool Enabled = false;
    AnsiString HostName; // host name or dotted address to connect to; empty: none
    uint16_t Port = 0;   // 0: the provider's default (47624)
};

// The GUID the TCP/IP provider is listed under in a component's ProviderList.
const dplay::TGuid& TCPIPProviderGuid();
