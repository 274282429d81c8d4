#pragma once
// The session service: our own stand-in for the DirectPlay calls the session
// component makes. The names follow those calls so that the component reads
// the same; the wire protocol behind them is ours (docs/protocol.md).
//
// Every object here is safe to use from one thread at a time; the service's
// network work runs on its own I/O thread, shared by every object of the
// process.
#include "dplay/api/DPEvent.h"
#include "dplay/protocol/DPGuid.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace dplay {

using HRESULT = int32_t;
using DPID = uint32_t;

constexpr DPID DPID_SYSMSG = 0;
constexpr DPID DPID_ALLPLAYERS = 0;

// Result codes. Failures are negative, as the component tests them.
constexpr HRESULT DP_OK = 0;
constexpr HRESULT MakeDpResult(int code) {
    return static_cast<HRESULT>(0x88770000u | code);
}
constexpr HRESULT DPERR_ALREADYINITIALIZED = MakeDpResult(5);
constexpr HRESULT DPERR_BUFFERTOOSMALL = MakeDpResult(30);
// A member does not take what it was sent yet: nothing was sent, try again later.
constexpr HRESULT DPERR_BUSY = MakeDpResult(40);
constexpr HRESULT DPERR_CANTCREATEPLAYER = MakeDpResult(70);
constexpr HRESULT DPERR_CONNECTIONLOST = MakeDpResult(100);
constexpr HRESULT DPERR_GENERIC = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT DPERR_INVALIDPARAMS = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT DPERR_INVALIDPLAYER = MakeDpResult(150);
constexpr HRESULT DPERR_NOCONNECTION = MakeDpResult(170);
constexpr HRESULT DPERR_NOMESSAGES = MakeDpResult(190);
constexpr HRESULT DPERR_NOSESSIONS = MakeDpResult(200);
constexpr HRESULT DPERR_SENDTOOBIG = MakeDpResult(184);  // a block above the bound of one frame
constexpr HRESULT DPERR_SESSIONFULL = MakeDpResult(210); // the room has MaxPlayers members
constexpr HRESULT DPERR_TIMEOUT = MakeDpResult(230);
constexpr HRESULT DPERR_UNINITIALIZED = MakeDpResult(240);
constexpr HRESULT DPERR_USERCANCEL = MakeDpResult(270);
constexpr HRESULT DPERR_ABORTED = MakeDpResult(430);
constexpr HRESULT DPERR_PROTOCOLVIOLATION = MakeDpResult(500);
// The room's host shows another key than the one remembered for the address
// it was entered at before: nothing was joined. HostKeyChange() says what
// changed; the user may accept it (AcceptHostKey) and open again.
constexpr HRESULT DPERR_HOSTKEYCHANGED = MakeDpResult(600);
// The host that answered the join shows another key than the one that listed
// the room: someone took the address in between. Nothing was joined.
constexpr HRESULT DPERR_HOSTSWITCHED = MakeDpResult(610);
// The remembered host keys cannot be read, so the host's key cannot be
// checked: nothing was joined (LastErrorDetail says which file and why).
constexpr HRESULT DPERR_KNOWNHOSTS = MakeDpResult(620);

inline bool Failed(HRESULT hr) {
    return hr < 0;
}

// Providers.
extern const TGuid DPSPGUID_TCPIP; // {36E95EE0-8577-11CF-960C-0080C7534E82}
extern const TGuid DPSPGUID_MODEM; // {44EAA760-CB68-11CF-9C4E-00A0C905425E}
constexpr uint16_t DPDEFAULT_PORT = 47624;

// One call per provider; the name is the provider's own text.
using EnumServiceProvidersCallback =
    std::function<bool(const TGuid& provider, const std::string& name)>;
HRESULT DirectPlayEnumerate(const EnumServiceProvidersCallback& callback);

// Address elements: a compound address is a list of (kind, bytes).
extern const TGuid DPAID_ServiceProvider; // data: the provider GUID (16 bytes)
extern const TGuid DPAID_INet;            // data: host name with its terminating 0
extern const TGuid DPAID_INetPort;        // data: port, 2 bytes, host order
extern const TGuid DPAID_Modem;           // data: modem name with terminator
extern const TGuid DPAID_Phone;           // data: phone number with terminator

struct DPCOMPOUNDADDRESSELEMENT {
    TGuid guidDataType;
    uint32_t dwDataSize = 0;
    const void* lpData = nullptr;
};

// Packs the elements into `address`. With a null buffer or one smaller than
// needed, stores the size needed in *size and returns DPERR_BUFFERTOOSMALL.
HRESULT CreateCompoundAddress(const DPCOMPOUNDADDRESSELEMENT* elements, uint32_t count,
                              void* address, uint32_t* size);

// Session description.
constexpr uint32_t DPSESSION_MIGRATEHOST = 0x04;
constexpr uint32_t DPSESSION_KEEPALIVE = 0x40;

struct DPSESSIONDESC2 {
    uint32_t dwSize = 80;
    uint32_t dwFlags = 0;
    TGuid guidInstance;
    TGuid guidApplication;
    uint32_t dwMaxPlayers = 0; // 0: no limit
    uint32_t dwCurrentPlayers = 0;
    std::string sessionName; // CP932 bytes
};

constexpr uint32_t DPOPEN_JOIN = 0x01;
constexpr uint32_t DPOPEN_CREATE = 0x02;
constexpr uint32_t DPENUMSESSIONS_AVAILABLE = 0x01;
constexpr uint32_t DPESC_TIMEDOUT = 0x01;
constexpr uint32_t DPENUMPLAYERS_REMOTE = 0x02;
constexpr uint32_t DPSEND_GUARANTEED = 0x01;
constexpr uint32_t DPRECEIVE_ALL = 0x01;

// Called once per session found; the last call has desc null and
// DPESC_TIMEDOUT in flags. Returning false stops the enumeration.
using EnumSessionsCallback =
    std::function<bool(const DPSESSIONDESC2* desc, uint32_t* timeoutMs, uint32_t flags)>;
// Called once per player (id, short name; the name may be empty).
using EnumPlayersCallback =
    std::function<bool(DPID id, uint32_t playerType, const std::string& shortName, uint32_t flags)>;

struct DPNAME {
    std::string shortName; // CP932 bytes
    std::string longName;
};

// System messages (sender DPID_SYSMSG). Every one starts with its type; the
// create notice carries the player's short name right behind the fixed part.
constexpr uint32_t DPSYS_CREATEPLAYERORGROUP = 0x0003;
constexpr uint32_t DPSYS_DESTROYPLAYERORGROUP = 0x0005;
constexpr uint32_t DPSYS_SESSIONLOST = 0x0031;
constexpr uint32_t DPSYS_HOST = 0x0101;
constexpr uint32_t DPSYS_SENDCOMPLETE = 0x010D;
constexpr uint32_t DPPLAYERTYPE_PLAYER = 0;

struct DPMSG_GENERIC {
    uint32_t dwType;
};
struct DPMSG_CREATEPLAYERORGROUP {
    uint32_t dwType;
    uint32_t dwPlayerType;
    DPID dpId;
    uint32_t dwCurrentPlayers;
    uint32_t dwShortNameSize; // bytes of short name following this struct, no terminator
};
struct DPMSG_DESTROYPLAYERORGROUP {
    uint32_t dwType;
    uint32_t dwPlayerType;
    DPID dpId;
};
struct DPMSG_SENDCOMPLETE {
    uint32_t dwType;
    DPID idFrom;
    DPID idTo;
    uint32_t dwFlags;
    uint32_t dwPriority;
    uint32_t dwTimeout;
    uint32_t dwMsgID;
    HRESULT hr;
    uint32_t dwSendTime;
};

// Reads the short name of a create notice of `size` bytes; false when the
// notice is cut short.
bool CreateNoticeShortName(const void* notice, uint32_t size, std::string* shortName);

// A key as people compare it: SHA-256 of the public key (identity::TFingerprint).
using DPKEYID = std::array<uint8_t, 32>;

// A host key that is not the one remembered for the address.
struct DPHOSTKEYCHANGE {
    std::string Address; // as the known hosts keep it: host, then ":port"
    DPKEYID Old, Now;
};

// What protects the open room, for the user to see.
struct DPROOMSECURITY {
    bool Encrypted = false;
    // The host's key: ours while we host; none while it is not known (not
    // in a room, or a new host whose key has not been given yet).
    std::optional<DPKEYID> HostKey;
};

// The DirectPlay object. One per session component; it joins at most one
// session and holds at most one local player.
class IDirectPlay4 {
  public:
    virtual ~IDirectPlay4() = default;

    virtual HRESULT InitializeConnection(const void* address, uint32_t size, uint32_t flags) = 0;
    // Lists the sessions of desc.guidApplication at the connection's host
    // (this machine when no host was given). DPERR_NOCONNECTION when the
    // host cannot be reached.
    virtual HRESULT EnumSessions(const DPSESSIONDESC2& desc, uint32_t timeoutMs,
                                 const EnumSessionsCallback& callback, uint32_t flags) = 0;
    // DPOPEN_CREATE: hosts a new session on this machine. DPOPEN_JOIN: joins
    // desc.guidInstance as found by the last EnumSessions; DPERR_SESSIONFULL
    // when the room is full.
    virtual HRESULT Open(const DPSESSIONDESC2& desc, uint32_t flags) = 0;
    // Enters the session as a player; `event` is signalled whenever a
    // message is queued for it.
    virtual HRESULT CreatePlayer(DPID* id, const DPNAME* name, std::shared_ptr<TDPEvent> event,
                                 const void* data, uint32_t dataSize, uint32_t flags) = 0;
    virtual HRESULT EnumPlayers(const TGuid* instance, const EnumPlayersCallback& callback,
                                uint32_t flags) = 0;
    // to == DPID_ALLPLAYERS reaches every other player, never the sender.
    virtual HRESULT Send(DPID from, DPID to, uint32_t flags, const void* data, uint32_t size) = 0;
    // Takes the oldest queued message. If *size is too small for it, stores
    // the size needed and returns DPERR_BUFFERTOOSMALL, leaving it queued.
    // DPERR_NOMESSAGES when the queue is empty.
    virtual HRESULT Receive(DPID* from, DPID* to, uint32_t flags, void* data, uint32_t* size) = 0;
    virtual HRESULT DestroyPlayer(DPID id) = 0;
    virtual HRESULT Close() = 0;
    // After Close: waits until what was sent before it has reached the
    // others. DP_OK when it has, DPERR_CONNECTIONLOST when some of it could
    // not (a member stopped taking it, or its link broke), DPERR_TIMEOUT
    // when it is still going after timeoutMs.
    virtual HRESULT WaitSent(uint32_t timeoutMs) {
        (void)timeoutMs;
        return DP_OK;
    }
    // What the user should know about the last failure of Open or
    // EnumSessions beyond its code (which port, and why), in plain ASCII;
    // empty when nothing.
    virtual std::string LastErrorDetail() const { return {}; }

    // After Open returned DPERR_HOSTKEYCHANGED: the address and both keys.
    virtual std::optional<DPHOSTKEYCHANGE> HostKeyChange() const { return std::nullopt; }
    // The user accepted that change: the new key is remembered for the
    // address, and Open may be called again. DPERR_KNOWNHOSTS when it cannot
    // be written, DPERR_INVALIDPARAMS when there is no change to accept.
    virtual HRESULT AcceptHostKey() { return DPERR_INVALIDPARAMS; }
    virtual DPROOMSECURITY RoomSecurity() const { return {}; }
};

// Creates a DirectPlay object bound to this process's service.
std::unique_ptr<IDirectPlay4> DirectPlayCreate();

} // namespace dplay
