#pragma once
#include "dplay/api/DirectPlay.h"
#include "dplay/links/DPOnce.h"
#include "dplay/protocol/DPProtocol.h"
#include "identity/Keys.h"

#include <asio.hpp>
#include <memory>
#include <optional>
#include <vector>

namespace dplay {

class TDPService;
class TDPRoomDriver;

// The DirectPlay object of the session service.
class TDPDirectPlay : public IDirectPlay4 {
  public:
    TDPDirectPlay();
    ~TDPDirectPlay() override;

    HRESULT InitializeConnection(const void* address, uint32_t size, uint32_t flags) override;
    HRESULT EnumSessions(const DPSESSIONDESC2& desc, uint32_t timeoutMs,
                         const EnumSessionsCallback& callback, uint32_t flags) override;
    HRESULT Open(const DPSESSIONDESC2& desc, uint32_t flags) override;
    HRESULT CreatePlayer(DPID* id, const DPNAME* name, std::shared_ptr<TDPEvent> event,
                         const void* data, uint32_t dataSize, uint32_t flags) override;
    HRESULT EnumPlayers(const TGuid* instance, const EnumPlayersCallback& callback,
                        uint32_t flags) override;
    HRESULT Send(DPID from, DPID to, uint32_t flags, const void* data, uint32_t size) override;
    HRESULT Receive(DPID* from, DPID* to, uint32_t flags, void* data, uint32_t* size) override;
    HRESULT DestroyPlayer(DPID id) override;
    HRESULT Close() override;
    HRESULT WaitSent(uint32_t timeoutMs) override;
    std::string LastErrorDetail() const override { return lastError_; }
    std::optional<DPHOSTKEYCHANGE> HostKeyChange() const override { return keyChange_; }
    HRESULT AcceptHostKey() override;
    DPROOMSECURITY RoomSecurity() const override;

  private:
    struct Found {
        TGuid Instance;
        asio::ip::tcp::endpoint Endpoint;
    };
    // The addresses to try for the host: a literal, or a name's of both families.
    HRESULT HostAddresses(std::vector<asio::ip::address>* addresses) const;
    HRESULT Create(const DPSESSIONDESC2& desc);
    HRESULT Join(const DPSESSIONDESC2& desc);
    // The address the host's key is remembered under: the host as given,
    // and the port.
    std::string KnownAddress() const;
    // Checks the listed host's key against the one remembered for the
    // address: DP_OK to go on (*firstTime when none was), else why not.
    HRESULT CheckHostKey(const identity::TFingerprint& key, bool* firstTime);
    // Fails `driver`'s room unless `result` is DP_OK; keeps it otherwise.
    HRESULT Opened(const std::shared_ptr<TDPRoomDriver>& driver, std::optional<HRESULT> result);

    std::shared_ptr<TDPService> service_;
    bool initialized_ = false;
    std::string host_;
    uint16_t port_ = DPDEFAULT_PORT;
    std::vector<Found> found_;
    // The key of the host that listed found_ (none on links in the clear).
    std::optional<identity::TFingerprint> listedKey_;
    std::optional<DPHOSTKEYCHANGE> keyChange_;
    // The room, run on a core by its driver.
    std::shared_ptr<TDPRoomDriver> driver_;
    // Leaves driver_'s room, once: sent_ tells whether what it left to send was delivered.
    void LeaveRoom();
    bool left_ = false;
    std::shared_ptr<TDPOnce<bool>> sent_;
    std::string lastError_;
};

} // namespace dplay
