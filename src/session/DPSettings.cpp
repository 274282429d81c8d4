#include "DPModemSetting.h"
#include "DPTCPIPSetting.h"

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
