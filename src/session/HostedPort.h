#pragma once
// Which port outsiders need to reach the rooms this process hosts.
#include <cstdint>

struct THostedPort {
    uint16_t Port = 0;      // 0: the service is not running
    bool Directory = false; // true: the well-known port, held by this process
};

// The directory port when this process holds it (its rooms are listed and
// entered there), else the member port with which its rooms are listed in
// another process's directory. directoryPort 0: the default port.
THostedPort HostedPort(uint16_t directoryPort);
