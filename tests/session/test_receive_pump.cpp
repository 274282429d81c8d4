// The session component against a scripted service, for what a real one does
// not produce: malformed queues, notices about strangers, errors in handlers,
// and the stop rules of the receive thread.
#include "ScriptedDirectPlay.h"
#include "SessionTestSupport.h"
#include "dplay/api/DirectPlay.h"
#include "platform/ErrorHandler.h"
#include "platform/Synchronizer.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstring>
#include <deque>
#include <gtest/gtest.h>

using namespace dplay;
using namespace sessiontest;

namespace {

std::vector<uint8_t> Bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

std::vector<uint8_t> CreateNotice(DPID id, const std::string& name) {
    DPMSG_CREATEPLAYERORGROUP m{DPSYS_CREATEPLAYERORGROUP, DPPLAYERTYPE_PLAYER, id, 2,
                                static_cast<uint32_t>(name.size())};
    std::vector<uint8_t> b(sizeof m + name.size());
    std::memcpy(b.data(), &m, sizeof m);
    if (!name.empty()) std::memcpy(b.data() + sizeof m, name.data(), name.size());
    return b;
}

template <class T> std::vector<uint8_t> Notice(const T& m) {
    std::vector<uint8_t> b(sizeof m);
    std::memcpy(b.data(), &m, sizeof m);
    return b;
}

class ReceivePump : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::SetMessageBoxHook([this](const QString& text, const QString&, unsigned) {
            boxes.push_back(text.toStdString());
            return platform::IDOK;
        });
        s.SetGUID(kApplication);
        s.OnOpen = [this](TCustomDPSession*) { events.push_back("open"); };
        s.OnAddPlayer = [this](TCustomDPSession*, TDPPlayer* p) {
            events.push_back("add " + std::to_string(p->Id) + " " + p->Name);
        };
        s.OnDeletePlayer = [this](TCustomDPSession* self, TDPPlayer* p) {
            events.push_back("del " + std::to_string(p->Id) +
                             (self->PlayerList().IndexOf(p->Id) >= 0 ? " listed" : ""));
        };
        s.OnMessage = [this](TCustomDPSession*, TDPPlayer* from, const void* d, int n) {
            events.push_back("msg " + std::to_string(from->Id) + " " +
                             std::string(static_cast<const char*>(d), static_cast<size_t>(n)));
        };
        s.OnSessionLost = [this](TCustomDPSession*) { events.push_back("lost"); };
        s.OnClose = [this](TCustomDPSession*) { events.push_back("close"); };
        s.OnSendComplete = [this](TCustomDPSession*, uint32_t id, TDPSendCompleteResult r, int t) {
            events.push_back("sent " + std::to_string(id) + " " +
                             std::to_string(static_cast<int>(r)) + " " + std::to_string(t));
        };
    }
    void TearDown() override { platform::SetMessageBoxHook(nullptr); }

    void Open() {
        s.SetProvider(s.ProviderList().Names(0));
        s.OpenSession(true, "room", "me");
        events.clear();
    }
    void Queue(DPID from, std::vector<uint8_t> bytes) {
        s.Script->Queue.emplace_back(from, std::move(bytes));
    }

    std::vector<std::string> events;
    std::vector<std::string> boxes;
    TScriptedSession s; // last: its destructor still fires events
};

} // namespace

TEST_F(ReceivePump, DeliversInQueueOrderGrowingTheBufferOnlyWhenNeeded) {
    Open();
    std::string big(10000, 'x');
    Queue(7, Bytes("first"));
    Queue(7, Bytes(big));
    Queue(7, Bytes("third"));
    Queue(7, Bytes("four"));
    s.ReceivePump();
    EXPECT_EQ(events, (std::vector<std::string>{"msg 7 first", "msg 7 " + big, "msg 7 third",
                                                "msg 7 four"}));
    // Once for the first block into the empty buffer, once for the big one.
    EXPECT_EQ(s.Script->TooSmall, 2);
}

TEST_F(ReceivePump, ShortBlocksAreDropped) {
    Open();
    Queue(7, {});
    Queue(7, Bytes("a"));
    Queue(7, Bytes("abc"));
    Queue(DPID_SYSMSG, Bytes("ab"));
    Queue(7, Bytes("abcd"));
    s.ReceivePump();
    EXPECT_EQ(events, std::vector<std::string>{"msg 7 abcd"});
}

TEST_F(ReceivePump, UnknownSenderIsReportedAndLaterBlocksStillArrive) {
    Open();
    Queue(99, Bytes("from nobody"));
    Queue(7, Bytes("queued behind"));
    s.ReceivePump();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "指定された ID のプレイヤーが見つかりません");
    EXPECT_TRUE(events.empty());
    Queue(7, Bytes("later"));
    s.ReceivePump();
    EXPECT_EQ(events, (std::vector<std::string>{"msg 7 queued behind", "msg 7 later"}));
}

TEST_F(ReceivePump, PlayerNotices) {
    Open();
    ASSERT_EQ(s.PlayerList().Count(), 2);
    Queue(DPID_SYSMSG, CreateNotice(TScriptedDirectPlay::kOwnId, "me again")); // own: ignored
    Queue(DPID_SYSMSG, CreateNotice(7, "seven twice"));                        // listed: ignored
    Queue(DPID_SYSMSG, CreateNotice(8, Sjis("192.168.0.5:表")));
    Queue(DPID_SYSMSG, Notice(DPMSG_DESTROYPLAYERORGROUP{DPSYS_DESTROYPLAYERORGROUP, 0, 55}));
    Queue(DPID_SYSMSG, Notice(DPMSG_DESTROYPLAYERORGROUP{DPSYS_DESTROYPLAYERORGROUP, 0,
                                                         TScriptedDirectPlay::kOwnId}));
    Queue(DPID_SYSMSG, Notice(DPMSG_DESTROYPLAYERORGROUP{DPSYS_DESTROYPLAYERORGROUP, 0, 7}));
    Queue(DPID_SYSMSG, Notice(DPMSG_GENERIC{0x0777})); // unknown type
    s.ReceivePump();
    EXPECT_EQ(events,
              (std::vector<std::string>{"add 8 " + Sjis("192.168.0.5:表"), "del 7 listed"}));
    ASSERT_EQ(s.PlayerList().Count(), 2);
    EXPECT_EQ(s.PlayerList()[1]->Id, 8u);
    EXPECT_TRUE(s.PlayerList()[1]->Remote);
    EXPECT_EQ(s.OwnPlayer()->Id, TScriptedDirectPlay::kOwnId);

    // A create notice cut short still adds the player, with no name.
    auto cut = CreateNotice(9, "name");
    cut.resize(cut.size() - 2);
    Queue(DPID_SYSMSG, cut);
    s.ReceivePump();
    EXPECT_EQ(events.back(), "add 9 ");
}

TEST_F(ReceivePump, HostAndSendCompleteNotices) {
    s.Script->Others.clear();
    s.SetProvider(s.ProviderList().Names(0));
    s.OpenSession(false, "scripted", "me");
    EXPECT_TRUE(s.IsSessionHost()); // alone in the room
    s.CloseSession();
    s.Script->Others = {{7, "seven"}};
    Open();
    EXPECT_FALSE(s.IsSessionHost());
    Queue(DPID_SYSMSG, Notice(DPMSG_GENERIC{DPSYS_HOST}));
    auto done = [](DPID from, HRESULT hr) {
        return Notice(DPMSG_SENDCOMPLETE{DPSYS_SENDCOMPLETE, from, 7, 0, 0, 0, 42, hr, 15});
    };
    Queue(DPID_SYSMSG, done(TScriptedDirectPlay::kOwnId, DP_OK));
    Queue(DPID_SYSMSG, done(TScriptedDirectPlay::kOwnId, DPERR_ABORTED));
    Queue(DPID_SYSMSG, done(TScriptedDirectPlay::kOwnId, DPERR_GENERIC));
    Queue(DPID_SYSMSG, done(7, DP_OK)); // not ours
    s.ReceivePump();
    EXPECT_TRUE(s.IsSessionHost());
    EXPECT_EQ(events, (std::vector<std::string>{"sent 42 0 15", "sent 42 1 15", "sent 42 2 15"}));
}

TEST_F(ReceivePump, SessionLostClosesAndDropsWhatFollows) {
    Open();
    Queue(7, Bytes("before"));
    Queue(DPID_SYSMSG, Notice(DPMSG_GENERIC{DPSYS_SESSIONLOST}));
    Queue(7, Bytes("after"));
    s.ReceivePump();
    EXPECT_EQ(events, (std::vector<std::string>{"msg 7 before", "lost", "close"}));
    EXPECT_FALSE(s.Opened());
    EXPECT_EQ(s.OwnPlayer(), nullptr);
    EXPECT_EQ(s.PlayerList().Count(), 0);
    EXPECT_TRUE(s.Script->Released);
    // A pump after the close does nothing at all.
    int receives = s.Script->Receives;
    s.ReceivePump();
    EXPECT_EQ(s.Script->Receives, receives);
    EXPECT_EQ(events.size(), 3u);
}

TEST_F(ReceivePump, HandlerErrorEndsTheRunAndTheNextSignalGoesOn) {
    Open();
    s.OnMessage = [this](TCustomDPSession*, TDPPlayer*, const void* d, int n) {
        std::string text(static_cast<const char*>(d), static_cast<size_t>(n));
        events.push_back(text);
        if (text == "boom") throw EDPSessionError("handler failed");
    };
    Queue(7, Bytes("boom"));
    Queue(7, Bytes("next"));
    s.ReceivePump();
    EXPECT_EQ(events, std::vector<std::string>{"boom"});
    EXPECT_EQ(boxes, std::vector<std::string>{"handler failed"});
    s.ReceivePump();
    EXPECT_EQ(events, (std::vector<std::string>{"boom", "next"}));
}

TEST_F(ReceivePump, ReceiveThreadRunsThePumpOnTheGuiThread) {
    Open();
    bool onGui = false;
    s.OnMessage = [&](TCustomDPSession*, TDPPlayer*, const void*, int) {
        onGui = platform::IsGuiThread();
        events.push_back("msg");
    };
    Queue(7, Bytes("ping"));
    s.Script->Event->Set();
    ASSERT_TRUE(WaitUntil([&] { return !events.empty(); }));
    EXPECT_TRUE(onGui);
}

TEST_F(ReceivePump, StoppingWhileTheThreadWaitsInTheHandOverDoesNotDeadlock) {
    for (int round = 0; round < 20; ++round) {
        Open();
        Queue(7, Bytes("late"));
        // The worker wakes and blocks handing the pump over; the GUI thread,
        // not serving events, closes meanwhile.
        s.Script->Event->Set();
        s.CloseSession();
        EXPECT_EQ(events, std::vector<std::string>{"close"}) << "round " << round;
        events.clear();
    }
}

TEST_F(ReceivePump, CloseFromInsideAHandlerLetsTheThreadEndByItself) {
    Open();
    s.OnMessage = [&](TCustomDPSession* self, TDPPlayer*, const void*, int) {
        events.push_back("msg");
        self->CloseSession();
    };
    Queue(7, Bytes("bye!"));
    Queue(7, Bytes("never"));
    s.Script->Event->Set();
    ASSERT_TRUE(WaitUntil([&] { return !s.Opened(); }));
    EXPECT_EQ(events, (std::vector<std::string>{"msg", "close"}));
    // Opening again starts a fresh thread that works.
    s.OnMessage = [&](TCustomDPSession*, TDPPlayer*, const void*, int) {
        events.push_back("again");
    };
    Open();
    Queue(7, Bytes("again"));
    s.Script->Event->Set();
    ASSERT_TRUE(WaitUntil([&] { return !events.empty(); }));
}

namespace {

// A flood larger than any one pump run takes.
constexpr int kFlood = 3000;

std::string FloodText(int i) {
    return "block " + std::to_string(i);
}

std::vector<std::string> FloodEvents(int count) {
    std::vector<std::string> expected;
    for (int i = 0; i < count; ++i)
        expected.push_back("msg 7 " + FloodText(i));
    return expected;
}

// Lets the event loop run its passes until a timer started now has fired,
// so whatever a pump left posted has had its chance to run.
void LetPendingRunsGo() {
    bool fired = false;
    QTimer::singleShot(30, [&] { fired = true; });
    ASSERT_TRUE(WaitUntil([&] { return fired; }));
}

} // namespace

TEST_F(ReceivePump, AFloodDrainsInOrderWhileTheEventLoopRunsBetweenSlices) {
    Open();
    auto record = s.OnMessage;
    // The first block posts an event and starts a timer; both must get their
    // turn while the flood is still draining, not after it.
    s.OnMessage = [&](TCustomDPSession* self, TDPPlayer* from, const void* d, int n) {
        if (events.empty()) {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [&] { events.push_back("posted"); },
                Qt::QueuedConnection);
            QTimer::singleShot(0, [&] { events.push_back("timer"); });
        }
        record(self, from, d, n);
    };
    for (int i = 0; i < kFlood; ++i)
        Queue(7, Bytes(FloodText(i)));
    s.Script->Event->Set(); // one signal for the whole flood, as a busy GUI thread finds it
    ASSERT_TRUE(WaitUntil([&] { return events.size() == kFlood + 2; })) << events.size();

    auto at = [&](const std::string& e) { return std::find(events.begin(), events.end(), e); };
    EXPECT_LT(at("posted"), at("msg 7 " + FloodText(kFlood - 1)));
    EXPECT_LT(at("timer"), at("msg 7 " + FloodText(kFlood - 1)));
    // Every block once, in queue order, across all the runs.
    std::erase(events, "posted");
    std::erase(events, "timer");
    EXPECT_EQ(events, FloodEvents(kFlood));
    EXPECT_TRUE(s.Script->Queue.empty());
}

TEST_F(ReceivePump, ClosingMidFloodEndsTheDrain) {
    Open();
    auto record = s.OnMessage;
    s.OnMessage = [&](TCustomDPSession* self, TDPPlayer* from, const void* d, int n) {
        record(self, from, d, n);
        if (events.size() == 1000) self->CloseSession(); // in a later run than the first
    };
    for (int i = 0; i < kFlood; ++i)
        Queue(7, Bytes(FloodText(i)));
    s.Script->Event->Set();
    ASSERT_TRUE(WaitUntil([&] { return !s.Opened(); }));
    LetPendingRunsGo();
    auto expected = FloodEvents(1000);
    expected.push_back("close");
    EXPECT_EQ(events, expected);
    int receives = s.Script->Receives;
    s.ReceivePump();
    EXPECT_EQ(s.Script->Receives, receives);
}

TEST_F(ReceivePump, AComponentDestroyedMidFloodLeavesNothingBehind) {
    std::vector<std::string> got;
    auto session = std::make_unique<TScriptedSession>();
    session->SetGUID(kApplication);
    session->OnMessage = [&](TCustomDPSession*, TDPPlayer*, const void* d, int n) {
        got.emplace_back(static_cast<const char*>(d), static_cast<size_t>(n));
    };
    session->SetProvider(session->ProviderList().Names(0));
    session->OpenSession(true, "room", "me");
    auto script = session->Script;
    for (int i = 0; i < kFlood; ++i)
        script->Queue.emplace_back(7, Bytes(FloodText(i)));
    // Called on the GUI thread, one run takes a share and leaves the rest
    // to a later one, as a chat window closing mid-flood finds it.
    session->ReceivePump();
    ASSERT_FALSE(got.empty());
    ASSERT_LT(got.size(), static_cast<size_t>(kFlood));
    const size_t taken = got.size();
    session.reset();
    LetPendingRunsGo();
    EXPECT_EQ(got.size(), taken);
    EXPECT_TRUE(script->Released);
}

TEST_F(ReceivePump, ARunStartedInsideAHandlerLeavesTheQueueToTheRunningOne) {
    Open();
    auto record = s.OnMessage;
    // As a handler waiting in a nested event loop (a message box) meets a
    // pump run for the blocks behind its own.
    s.OnMessage = [&](TCustomDPSession* self, TDPPlayer* from, const void* d, int n) {
        record(self, from, d, n);
        if (events.size() == 1) {
            self->ReceivePump();
            events.push_back("handled");
        }
    };
    Queue(7, Bytes("first"));
    Queue(7, Bytes("second"));
    Queue(7, Bytes("third"));
    s.ReceivePump();
    EXPECT_EQ(events,
              (std::vector<std::string>{"msg 7 first", "handled", "msg 7 second", "msg 7 third"}));
}
