#pragma once
#include "dplay/links/DPLink.h"
#include "dplay/directory/DPListedRoom.h"
#include "dplay/protocol/DPProtocol.h"

#include <asio.hpp>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace dplay {

class TDPService;

// What one machine answers on one well-known port: every room hosted there.
// The first process to bind the port owns it and lists its own rooms and
// those the other processes register with it; a process that cannot bind
// registers its rooms with the owner and tries to take the port over when
// the owner goes away. I/O thread only.
class TDPDirectory {
  public:
    TDPDirectory(TDPService& service, uint16_t port);
    ~TDPDirectory();

    // Binds or registers, and reports once either worked (true) or after
    // the attempt failed (false); later retries go on while rooms exist.
    void Ensure(std::function<void(bool)> done);
    bool Ready() const { return state_ != State::Unbound; }
    // Why the last attempt failed, for the user: the port and the cause.
    const std::string& FailureText() const { return failure_; }

    // A room of this process, hosted here, to be listed (again: updated).
    void AddLocal(const std::shared_ptr<TDPListedRoom>& room);
    void RemoveLocal(const TDPListedRoom* room);
    void LocalChanged(const TDPListedRoom* room);

    // A registration link from another process on this machine.
    void AcceptRegistrant(const std::shared_ptr<TDPLink>& link);
    // The rooms of one application, in the order they were registered.
    std::vector<proto::TRoomInfo> List(const TGuid& application) const;
    void Shutdown();

  private:
    enum class State { Unbound, Owner, Registrant };
    struct Entry {
        std::weak_ptr<TDPListedRoom> Local; // set for this process's rooms
        TDPLink* Registrant = nullptr;
        proto::TRoomInfo Info;
    };

    bool TryBind();
    void Accept();
    void Register();
    void RetryLater();
    void SendLocal(const TDPListedRoom& room);

    TDPService& service_;
    uint16_t port_;
    State state_ = State::Unbound;
    bool connecting_ = false;
    bool shutdown_ = false;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer backoff_;
    std::string bindError_, failure_;
    std::shared_ptr<TDPLink> ownerLink_;
    std::vector<std::shared_ptr<TDPLink>> registrants_;
    std::list<Entry> entries_;
    asio::steady_timer retry_;
    std::vector<std::function<void(bool)>> waiting_;
};

} // namespace dplay
