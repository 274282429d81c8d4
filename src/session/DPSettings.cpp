#include "DPModemSetting.h"
#include "DPTCPIPSetting.h"

#include "dplay/api/DirectPlay.h"

void TDPTCPIPSetting::Assign(const TDPTCPIPSetting& source) {
    Enabled = source.Enabled;
    HostName = source.HostName;
    Port = source.Port; // a copy that dropped the port would connect elsewhere
}

void TDPModemSetting::Assign(const TDPModemSetting& source) {
    Enabled = source.Enabled;
    PhoneNumber = source.PhoneNumber;
    ModemDevice = source.ModemDevice;
}

const dplay::TGuid& TCPIPProviderGuid() {
    return dplay::DPSPGUID_TCPIP;
}
