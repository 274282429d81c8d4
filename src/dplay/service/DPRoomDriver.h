#pragma once
// Runs one TRoomCore on the service's I/O thread: its dials, sends and
// closes go to real links, its timers to steady timers, its deliveries to
// the receive queue, its listing to the directory. Every room of the process
// runs on one.
#include "dplay/api/DPEvent.h"
#include "dplay/core/DPRoomCore.h"
#include "dplay/directory/DPListedRoom.h"
#include "dplay/links/DPLink.h"
#include "dplay/service/DPReceiveQueue.h"

#include <asio.hpp>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

namespace dplay {

class TDPService;

class TDPRoomDriver : public TDPListedRoom, public std::enable_shared_from_this<TDPRoomDriver> {
  public:
    using TDone = std::function<void(HRESULT, uint32_t)>;

    // I/O thread for everything but Send, Receive and Players' queue part.
    TDPRoomDriver(TDPService& service, uint16_t directoryPort);
    ~TDPRoomDriver() override;

    const proto::TRoomInfo& Info() const override { return info_; }
    proto::TRoomInfo CurrentInfo() const override { return listed_; }

    // Each calls done once, on the I/O thread.
    void Create(const proto::TRoomInfo& info, TDone done);
    // hostKey: the key the host must show on the join link (the one that
    // listed the room); another ends the join with DPERR_HOSTSWITCHED.
    void Join(const asio::ip::address& host, uint16_t port, const TGuid& application,
              const TGuid& instance, std::optional<proto2::TKeyId> hostKey, TDone done);
    void CreatePlayer(const std::string& name, std::shared_ptr<TDPEvent> event, TDone done);
    // sent (when given) is called once on the I/O thread: true when every
    // link the room let go has delivered all it was sent, false as soon as
    // one could not (its peer stopped taking it, or the link broke).
    void Leave(std::function<void(bool)> sent = nullptr);

    struct TPlayer {
        uint32_t Id;
        std::string Name;
    };
    std::vector<TPlayer> Players() const;
    // The host's key as the agreed view holds it (ours when we host); zero
    // before the room is entered and on links in the clear. Any thread.
    proto2::TKeyId HostKey();
    // Any thread.
    HRESULT Send(uint32_t from, uint32_t to, const void* data, uint32_t size);
    HRESULT Receive(DPID* from, DPID* to, void* data, uint32_t* size);

    // The service hands over a link accepted with its request (JOIN_REQUEST
    // or PEER_HELLO, already read).
    void Accept(const std::shared_ptr<TDPLink>& link, uint8_t type, const uint8_t* body,
                size_t size);
    // Routing of accepted requests (I/O thread).
    const TGuid& Instance() const { return instance_; }
    uint32_t OwnId() const { return ownId_; }
    bool IsHost() const { return isHost_; }
    // A joiner this room accepted has not sent CREATE_PLAYER yet.
    bool JoinWaiting(const TDPLink* link) const { return joinsWaiting_.count(link) != 0; }

  private:
    struct TSlot {
        std::shared_ptr<TDPLink> Link;      // null while a dial connects
        std::vector<proto::TFrame> Pending; // written once it has connected
    };
    static int64_t Now();
    // Takes the core's actions and carries them out; core lock held.
    void Apply();
    void Run(const TCoreAction& a);
    void DialFor(const TCoreAction& a);
    void Adopt(TLinkId id, const std::shared_ptr<TDPLink>& link);
    void Ended(TLinkId id, TCoreLinkEnd why);
    void StartTick();
    void Deliver(DPID from, std::vector<uint8_t> bytes, uint32_t announces);
    void Refresh();
    // Stops or restarts reading every link as paused_ says now (I/O thread).
    void FollowPause();

    TDPService& service_;
    uint16_t directoryPort_;
    // The core and everything the actions touch; senders on other threads take it too.
    mutable std::recursive_mutex coreMutex_;
    TRoomCore core_;
    std::map<TLinkId, TSlot> slots_;
    TLinkId nextAccepted_ = 0;
    std::map<TTimerId, std::unique_ptr<asio::steady_timer>> timers_;
    asio::steady_timer tick_;
    std::set<const TDPLink*> joinsWaiting_;
    TDone openDone_, createDone_;
    // The join: its link, and the key it must show (the listing's).
    TLinkId hostLink_ = 0;
    std::optional<proto2::TKeyId> expectedHostKey_;
    bool hostSwitched_ = false;
    // Mirrors of the core for the service's routing and the directory.
    TGuid instance_;
    std::atomic<uint32_t> ownId_{0}; // read by the program's threads without the core's lock
    bool isHost_ = false;
    bool inDirectory_ = false;
    bool left_ = false;
    // While leaving: the links let go, whose delivery the leaver waits for.
    std::vector<std::shared_ptr<TDPLink>>* letGo_ = nullptr;
    proto::TRoomInfo info_, listed_;

    TDPReceiveQueue queue_;
    // The owner is not taking what was delivered: links stop reading (then
    // the peers' TCP stalls) instead of the queue growing without bound.
    std::mutex pauseMutex_;
    bool paused_ = false;
    bool linksPaused_ = false; // what the links were last told (I/O thread)
    mutable std::mutex eventMutex_;
    std::shared_ptr<TDPEvent> event_;
};

} // namespace dplay
