#pragma once
#include "dplay/api/DPEvent.h"
#include "dplay/links/DPLink.h"
#include "dplay/directory/DPListedRoom.h"
#include "dplay/protocol/DPProtocol.h"
#include "dplay/service/DPReceiveQueue.h"
#include "dplay/api/DirectPlay.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace dplay {

class TDPService;

// One DirectPlay object's place in a session: its own player, the other
// members and the link to each, host duties, and the receive queue.
// Everything but the queue runs on the service's I/O thread.
class TDPRoom : public TDPListedRoom, public std::enable_shared_from_this<TDPRoom> {
  public:
    TDPRoom(TDPService& service, proto::TRoomInfo info, uint16_t directoryPort, bool host);
    ~TDPRoom() override;

    const proto::TRoomInfo& Info() const override { return info_; }
    proto::TRoomInfo CurrentInfo() const override;
    bool IsHost() const { return isHost_; }
    uint32_t OwnId() const { return ownId_; }
    // Joined, but the host's welcome (our id) has not been read yet.
    bool AwaitingWelcome() const { return hostLink_ && !ownId_ && !left_; }

    // Host: a joiner asks for a place (JOIN_REQUEST already read).
    void AcceptJoin(const std::shared_ptr<TDPLink>& link);
    // Host: link holds a place and has not sent CREATE_PLAYER yet.
    bool JoinWaiting(const TDPLink* link) const { return pendingLinks_.count(link) != 0; }
    // Member: another member introduces itself on a new link.
    void AcceptPeer(const std::shared_ptr<TDPLink>& link, const proto::TPeerHello& hello);

    // Joiner: the host link after JOIN_ACCEPT.
    void SetHostLink(const std::shared_ptr<TDPLink>& link, const asio::ip::address& hostAddress);
    // Creates the own player; done(result, id) runs on the I/O thread.
    void CreatePlayer(const std::string& name, std::shared_ptr<TDPEvent> event,
                      std::function<void(HRESULT, uint32_t)> done);
    struct TPlayer {
        uint32_t Id;
        std::string Name;
    };
    // The members the owner has been told of (see unannounced_).
    std::vector<TPlayer> Players() const;
    // Any thread: frame is the DATA frame of the block.
    HRESULT Send(uint32_t from, uint32_t to, const proto::TFrame& frame);
    // Leaves: every link closes, which the others take as this player leaving.
    void Leave();

    // Receive queue (any thread).
    HRESULT Receive(DPID* from, DPID* to, void* data, uint32_t* size);

  private:
    struct Member {
        proto::TMemberInfo Info;
        std::shared_ptr<TDPLink> Link;
    };
    // announces: the member a create notice is about, 0 for anything else.
    void Push(DPID from, std::vector<uint8_t> bytes, uint32_t announces = 0);
    void PushSystem(const void* msg, size_t size, const std::string& tail = {},
                    uint32_t announces = 0);
    void AddMember(const proto::TMemberInfo& info, const std::shared_ptr<TDPLink>& link,
                   bool notify);
    void WatchMember(uint32_t id, const std::shared_ptr<TDPLink>& link);
    void MemberLost(uint32_t id, const TDPLink* link, TLinkEnd why);
    void SessionLost();
    void CheckHost();
    void BecomeListed();
    uint32_t NewId() const;
    void OnCreatePlayerRequest(const std::shared_ptr<TDPLink>& link, const proto::TCreatePlayer& m);
    void OnWelcome(const proto::TWelcome& m);
    void PeerDone();
    void PauseLinks(bool pause);
    void FinishCreate(HRESULT result);

    TDPService& service_;
    proto::TRoomInfo info_;
    uint16_t directoryPort_;
    bool isHost_;
    bool left_ = false;
    uint32_t ownId_ = 0;
    uint32_t ownSeq_ = 0;
    std::string ownName_;
    std::map<uint32_t, Member> members_;
    std::map<const TDPLink*, std::shared_ptr<TDPLink>> pendingLinks_;
    std::shared_ptr<TDPLink> hostLink_;
    asio::ip::address hostAddress_;
    std::function<void(HRESULT, uint32_t)> createDone_;
    int peersOutstanding_ = 0;

    // The member links as senders on any thread see them.
    std::mutex linksMutex_;
    std::map<uint32_t, std::shared_ptr<TDPLink>> sendLinks_;

    TDPReceiveQueue queue_;
    std::mutex queueMutex_; // guards paused_
    bool paused_ = false;   // links stopped reading
    std::shared_ptr<TDPEvent> event_;
};

} // namespace dplay
