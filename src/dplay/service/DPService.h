#pragma once
#include "dplay/links/DPLink.h"
#include "dplay/links/DPLinkBound.h"
#include "dplay/links/DPTls.h"
#include "dplay/protocol/DPProtocol.h"

#include <asio.hpp>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <thread>

namespace dplay {

class TDPDirectory;
class TDPRoomDriver;

// The process's session service: one I/O thread, the member port on which
// other members reach this process's players, and the directories (one per
// well-known port) through which this machine answers enumerations.
// Everything but Acquire and RunSync runs on the I/O thread.
class TDPService {
  public:
    // The process's service, started on first use and stopped when the last
    // user lets go.
    static std::shared_ptr<TDPService> Acquire();
    ~TDPService();
    TDPService(const TDPService&) = delete;
    TDPService& operator=(const TDPService&) = delete;

    asio::io_context& Io() { return io_; }

    // Runs fn on the I/O thread and returns its result. Not from the I/O thread.
    template <class F> auto RunSync(F&& fn) -> decltype(fn()) {
        std::packaged_task<decltype(fn())()> task(std::forward<F>(fn));
        auto result = task.get_future();
        asio::post(io_, [&task] { task(); });
        return result.get();
    }

    // $PARLORA_LISTEN_ADDR (IPv4 or IPv6), or every interface of both families.
    const asio::ip::address& ListenAddress() const { return listenAddress_; }
    // The address a local client uses to reach this machine's own services.
    asio::ip::address LocalAddress() const;
    uint16_t MemberPort() const { return memberPort_; }
    // This user's key, shown on every link; null when links go in the clear
    // (benchmarks).
    const TDPTls* Tls() const { return tls_.get(); }

    // The directory of a well-known port, created on first use.
    TDPDirectory& Directory(uint16_t port);

    // A room of this process: joins and introductions for its instance go to it.
    void AddDriver(std::weak_ptr<TDPRoomDriver> driver);

    // Opens a link to endpoint: sends HELLO and `request`; checks the peer's
    // HELLO, then waits for the answer to the request: the first frame but
    // PING, or with pingAnswers the first frame of any kind. The answer must
    // come within kHandshakeTimeoutMs of connecting, or the link ends
    // (Timeout). Then onReady runs and the answer and every further frame go
    // to onFrame (an answering PING is not passed on). onEnd runs once if the
    // link cannot be made or ends.
    using DialFrameHandler =
        std::function<bool(const std::shared_ptr<TDPLink>& link, uint8_t, const uint8_t*, size_t)>;
    void Dial(const asio::ip::tcp::endpoint& endpoint, const TGuid& application,
              proto::TFrame request, DialFrameHandler onFrame, std::function<void(TLinkEnd)> onEnd,
              std::function<void(const std::shared_ptr<TDPLink>&)> onReady = nullptr,
              bool pingAnswers = false);

    // Dial to the first of endpoints that answers (a name's addresses of
    // both families): attempts start kNextAttemptMs apart, or at once when
    // the one before fails; the first whose request is answered wins and the
    // others are closed. onEnd runs once: when every attempt failed (with the
    // last one's end), or when the winner ends.
    void DialFirst(std::vector<asio::ip::tcp::endpoint> endpoints, const TGuid& application,
                   proto::TFrame request, DialFrameHandler onFrame,
                   std::function<void(TLinkEnd)> onEnd);

    // Takes connections on acceptor for Serve until it is closed; after a
    // failure (no descriptor left) it waits on backoff before the next try.
    void AcceptOn(asio::ip::tcp::acceptor& acceptor, asio::steady_timer& backoff,
                  uint16_t directoryPort);

    // Serves a connection taken by one of our acceptors; directoryPort is
    // the well-known port it came in on, 0 for the member port.
    void Serve(asio::ip::tcp::socket socket, uint16_t directoryPort);

    // A socket of protocol's family for outgoing connections, bound to the
    // listen address when it is of that family; not open when no descriptor
    // is left or the family is not supported.
    asio::ip::tcp::socket NewSocket(const asio::ip::tcp& protocol);

    // Opens acceptor on port (0: any) at the listen address, or on every
    // address of both families when none is set.
    asio::error_code Listen(asio::ip::tcp::acceptor& acceptor, uint16_t port, bool reuseAddress);

  private:
    TDPService();
    asio::ssl::context* LinkContext();
    bool ServeRequest(const std::shared_ptr<TDPLink>& link, uint16_t directoryPort,
                      const TGuid& application, uint8_t type, const uint8_t* body, size_t size);
    bool ServeRoomRequest(const std::shared_ptr<TDPLink>& link, const TGuid& application,
                          uint8_t type, const uint8_t* body, size_t size);
    void Track(const std::shared_ptr<TDPLink>& link);

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::unique_ptr<TDPTls> tls_;
    asio::ip::address listenAddress_;
    asio::ip::tcp::acceptor memberAcceptor_;
    asio::steady_timer memberBackoff_;
    uint16_t memberPort_ = 0;
    std::map<uint16_t, std::unique_ptr<TDPDirectory>> directories_;
    TDPLinkBound handshakes_;   // before their request
    TDPLinkBound enumerations_; // served, until the enumerator has closed
    TDPLinkBound joins_;        // given a place, until CREATE_PLAYER
    std::vector<std::weak_ptr<TDPRoomDriver>> drivers_;
    // Every link made here, so that the end can write out what they hold.
    std::vector<std::weak_ptr<TDPLink>> links_;
    std::thread thread_;
};

} // namespace dplay
