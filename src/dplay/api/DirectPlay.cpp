#include "dplay/api/DirectPlay.h"

#include "dplay/api/DPDirectPlay.h"

#include <cstring>

namespace dplay {
namespace {

TGuid G(const char* text) {
    return *TGuid::Parse(text);
}

} // namespace

const TGuid DPSPGUID_TCPIP = G("{36E95EE0-8577-11CF-960C-0080C7534E82}");
const TGuid DPSPGUID_MODEM = G("{44EAA760-CB68-11CF-9C4E-00A0C905425E}");

// Our own tags for the address elements.
const TGuid DPAID_ServiceProvider = G("{6D0A1B10-3C4F-4E57-9A0E-50A7C1D00001}");
const TGuid DPAID_INet = G("{6D0A1B10-3C4F-4E57-9A0E-50A7C1D00002}");
const TGuid DPAID_INetPort = G("{6D0A1B10-3C4F-4E57-9A0E-50A7C1D00003}");
const TGuid DPAID_Modem = G("{6D0A1B10-3C4F-4E57-9A0E-50A7C1D00004}");
const TGuid DPAID_Phone = G("{6D0A1B10-3C4F-4E57-9A0E-50A7C1D00005}");

HRESULT DirectPlayEnumerate(const EnumServiceProvidersCallback& callback) {
    callback(DPSPGUID_TCPIP, "Internet TCP/IP Connection For DirectPlay");
    return DP_OK;
}

HRESULT CreateCompoundAddress(const DPCOMPOUNDADDRESSELEMENT* elements, uint32_t count,
                              void* address, uint32_t* size) {
    if (!size || (count && !elements)) return DPERR_INVALIDPARAMS;
    // Each element: kind (16 bytes), data size (4, little-endian), data.
    uint64_t needed = 0;
    for (uint32_t i = 0; i < count; ++i)
        needed += 20 + uint64_t(elements[i].dwDataSize);
    if (needed > 0xFFFFFFFFu) return DPERR_INVALIDPARAMS;
    if (!address || *size < needed) {
        *size = static_cast<uint32_t>(needed);
        return DPERR_BUFFERTOOSMALL;
    }
    auto* p = static_cast<uint8_t*>(address);
    for (uint32_t i = 0; i < count; ++i) {
        const auto& e = elements[i];
        std::memcpy(p, e.guidDataType.Bytes.data(), 16);
        for (int b = 0; b < 4; ++b)
            p[16 + b] = static_cast<uint8_t>(e.dwDataSize >> (8 * b));
        if (e.dwDataSize) std::memcpy(p + 20, e.lpData, e.dwDataSize);
        p += 20 + e.dwDataSize;
    }
    *size = static_cast<uint32_t>(needed);
    return DP_OK;
}

bool CreateNoticeShortName(const void* notice, uint32_t size, std::string* shortName) {
    if (size < sizeof(DPMSG_CREATEPLAYERORGROUP)) return false;
    DPMSG_CREATEPLAYERORGROUP head;
    std::memcpy(&head, notice, sizeof head);
    if (head.dwShortNameSize > size - sizeof head) return false;
    shortName->assign(static_cast<const char*>(notice) + sizeof head, head.dwShortNameSize);
    return true;
}

std::unique_ptr<IDirectPlay4> DirectPlayCreate() {
    return std::make_unique<TDPDirectPlay>();
}

} // namespace dplay
