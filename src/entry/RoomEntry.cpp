#include "RoomEntry.h"

#include "chat_core/ChatPayload.h"
#include "platform/Cp932.h"
#include "platform/Exception.h"
#include "platform/MessagePump.h"
#include "platform/Synchronizer.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <atomic>
#include <exception>
#include <netdb.h>
#include <sys/socket.h>

namespace entry {

namespace {

AnsiString WithName(const char* utf8, const AnsiString& name) {
    AnsiString line = platform::Utf8ToCp932(utf8);
    line.replace(line.find("%s"), 2, name);
    return line;
}

// Wraps the component's events so that, raised on a worker, they run on the
// GUI thread; the handlers are put back when it goes.
class THandOverEvents {
  public:
    explicit THandOverEvents(TDPSession& s)
        : s_(s), open_(s.OnOpen), add_(s.OnAddPlayer), del_(s.OnDeletePlayer),
          message_(s.OnMessage), lost_(s.OnSessionLost), close_(s.OnClose),
          hostKey_(s.OnHostKeyChanged) {
        s.OnOpen = Wrap(open_);
        s.OnSessionLost = Wrap(lost_);
        s.OnClose = Wrap(close_);
        s.OnAddPlayer = Wrap(add_);
        s.OnDeletePlayer = Wrap(del_);
        if (message_)
            s.OnMessage = [h = message_](TCustomDPSession* sender, TDPPlayer* from,
                                         const void* data, int size) {
                platform::Synchronize([&] { h(sender, from, data, size); });
            };
        // The question about a changed host key is asked on the calling thread too.
        if (hostKey_)
            s.OnHostKeyChanged = [h = hostKey_](TCustomDPSession* sender,
                                                const dplay::DPHOSTKEYCHANGE& change) {
                bool enter = false;
                platform::Synchronize([&] { enter = h(sender, change); });
                return enter;
            };
    }
    ~THandOverEvents() {
        s_.OnOpen = open_;
        s_.OnAddPlayer = add_;
        s_.OnDeletePlayer = del_;
        s_.OnMessage = message_;
        s_.OnSessionLost = lost_;
        s_.OnClose = close_;
        s_.OnHostKeyChanged = hostKey_;
    }
    THandOverEvents(const THandOverEvents&) = delete;
    THandOverEvents& operator=(const THandOverEvents&) = delete;

  private:
    static TDPNotifyEvent Wrap(const TDPNotifyEvent& h) {
        if (!h) return {};
        return [h](TCustomDPSession* sender) { platform::Synchronize([&] { h(sender); }); };
    }
    static TDPPlayerEvent Wrap(const TDPPlayerEvent& h) {
        if (!h) return {};
        return [h](TCustomDPSession* sender, TDPPlayer* player) {
            platform::Synchronize([&] { h(sender, player); });
        };
    }
    TDPSession& s_;
    TDPNotifyEvent open_;
    TDPPlayerEvent add_;
    TDPPlayerEvent del_;
    TDPMessageEvent message_;
    TDPNotifyEvent lost_;
    TDPNotifyEvent close_;
    TDPHostKeyEvent hostKey_;
};

[[noreturn]] void Unreachable(const std::string& utf8, const std::string& english) {
    throw platform::Exception(platform::Utf8ToCp932(utf8), english);
}

void Run(const TStepRunner& run, const std::function<void()>& step) {
    if (run)
        run(step);
    else
        step();
}

} // namespace

void Prepare(TDPSession& session) {
    session.SetGUID(kApplicationGuid);
    session.SetMaxPlayers(kMaxPlayers);
}

AnsiString PlayerName(const AnsiString& ownAddress, const AnsiString& handle) {
    const TAddressParse own = ParseTypedAddress(ownAddress);
    if (!own.Address) {
        // Not an address the program makes; still, a ":" of its own must
        // not end up taken for the one before the handle.
        const bool colon = ownAddress.find(':') != AnsiString::npos;
        return (colon ? "[" + ownAddress + "]" : ownAddress) + ":" + handle;
    }
    const std::string& host = own.Address->Host;
    return (own.Address->Kind == TTypedAddress::IPv6 ? "[" + host + "]" : host) + ":" + handle;
}

AnsiString ArrivalLine(const AnsiString& playerName) {
    return WithName("  %s さんが入室しました。", playerName);
}

AnsiString DepartureLine(const AnsiString& playerName) {
    return WithName("  %s さんが退室しました。", chat::HandleOf(playerName));
}

AnsiString TcpIpProviderName(TDPSession& session) {
    const TDPNameGuidList& providers = session.ProviderList();
    AnsiString name;
    for (int i = 0; i < providers.Count(); ++i)
        if (providers.Guids(i) == TCPIPProviderGuid()) name = providers.Names(i);
    return name;
}

void UseTcpIp(TDPSession& session, const AnsiString& host) {
    const AnsiString provider = TcpIpProviderName(session);
    if (provider.empty())
        throw platform::Exception(platform::Utf8ToCp932("TCP/IPがサポートされていません"));
    session.TCPIPSetting().Enabled = true;
    session.TCPIPSetting().HostName = host;
    session.SetProvider(provider);
}

AnsiString DialableHost(const TTypedAddress& address, const TStepRunner& run) {
    if (address.Kind != TTypedAddress::Name) return address.Host;
    // Looked up here only to say plainly when the name does not exist; the
    // service looks it up again and tries its addresses of both families.
    int status = 0;
    Run(run, [&] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        status = getaddrinfo(address.Host.c_str(), nullptr, &hints, &found);
        if (status == 0) freeaddrinfo(found);
    });
    const std::string& name = address.Host;
    if (status == 0) return name;
    if (status == EAI_AGAIN)
        Unreachable("ホスト名 " + name + " を調べられません(DNSサーバーが応答しません)",
                    "the name server did not answer for " + name);
    if (status == EAI_NONAME || status == EAI_NODATA || status == EAI_FAIL)
        Unreachable("ホスト名 " + name + " が見つかりません", "no such host name: " + name);
    Unreachable("ホスト名 " + name + " を調べられません(" + gai_strerror(status) + ")",
                "cannot look up " + name + ": " + gai_strerror(status));
}

void RunOnWorker(const std::function<void()>& step) {
    std::atomic<bool> finished{false};
    std::exception_ptr error;
    platform::TWorkerThread worker([&] {
        try {
            step();
        } catch (...) {
            error = std::current_exception();
        }
        finished = true;
        // Wakes the wait below.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
    });
    platform::PumpUntil([&] { return finished.load(); });
    worker.Join();
    if (error) std::rethrow_exception(error);
}

TDPNameGuidList& ListRooms(TDPSession& session, const TStepRunner& run) {
    Run(run, [&] { session.RefreshSessions(); });
    return session.SessionList();
}

TRoomChoice ChooseRoom(const TDPNameGuidList& rooms, const AnsiString& wanted) {
    TRoomChoice choice;
    if (rooms.Count() == 0) return choice;
    int index = -1;
    if (!wanted.empty())
        index = rooms.IndexOfName(wanted);
    else if (rooms.Count() == 1)
        index = 0;
    if (index >= 0) {
        choice.Kind = TRoomChoice::Chosen;
        choice.Name = rooms.Names(index);
    } else {
        choice.Kind = wanted.empty() ? TRoomChoice::Several : TRoomChoice::NotFound;
    }
    return choice;
}

void OpenRoom(TDPSession& session, bool create, const AnsiString& room,
              const AnsiString& playerName, const TStepRunner& run) {
    if (!run) {
        session.OpenSession(create, room, playerName);
        return;
    }
    // Copies: the calling thread serves events meanwhile and may change the
    // originals.
    const AnsiString roomName = room;
    const AnsiString player = playerName;
    THandOverEvents handOver(session);
    run([&session, create, roomName, player] { session.OpenSession(create, roomName, player); });
}

} // namespace entry
