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
          message_(s.OnMessage), lost_(s.OnSessionLost), close_(s.OnClose) {
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
    }
    ~THandOverEvents() {
        s_.OnOpen = open_;
        s_.OnAddPlayer = add_;
        s_.OnDeletePlayer = del_;
        s_.OnMessage = message_;
        s_.OnSessionLost = lost_;
        s_.OnClose = close_;
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
};

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
    return ownAddress + ":" + handle;
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
