// The question before entering a room whose host key changed, as the chat
// window asks it: hosts are parlora-cli processes with settings (and keys)
// of their own at one address, and a session component of this process
// enters through a worker as the start dialog does; the box is answered here.
#include "chat/TAboutBox.h"
#include "chat/TchatHostKey.h"
#include "cli/TCliProcess.h"
#include "entry/RoomEntry.h"
#include "identity/Identity.h"
#include "platform/Cp932.h"
#include "session/DPSession.h"
#include "session/DPSessionError.h"
#include "support/TempDir.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Answers the host key box when it shows: records what it said and which
// answer was the default, then clicks `answer` (or the default when empty).
class TKeyBoxAnswer : public QObject {
  public:
    explicit TKeyBoxAnswer(QString answer) : answer_(std::move(answer)) {
        qApp->installEventFilter(this);
    }
    ~TKeyBoxAnswer() override { qApp->removeEventFilter(this); }

    int Shown = 0;
    bool OnGuiThread = false;
    std::string Text;
    QString DefaultName;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* box = qobject_cast<QMessageBox*>(watched);
        if (event->type() != QEvent::Show || !box || box->objectName() != "HostKeyWarning")
            return false;
        ++Shown;
        OnGuiThread = QThread::currentThread() == qApp->thread();
        Text = box->text().toStdString();
        DefaultName = box->defaultButton() ? box->defaultButton()->objectName() : QString();
        QTimer::singleShot(0, box, [box, answer = answer_] {
            QPushButton* button =
                answer.isEmpty() ? box->defaultButton() : box->findChild<QPushButton*>(answer);
            if (button) button->click();
        });
        return false;
    }

  private:
    QString answer_;
};

class HostKeyDialog : public ::testing::Test {
  protected:
    std::unique_ptr<TCliProcess> StartHost(const testsupport::TempDir& settings) {
        TCliLaunch launch;
        launch.Environment.push_back({"PARLORA_REGISTRY_DIR", settings.Path().string()});
        auto host = std::make_unique<TCliProcess>(
            "127.0.0.1",
            QStringList{"--create", "r", "--handle", "h", "--port", QString::number(port)},
            TCliOutput::Read, launch);
        EXPECT_TRUE(host->WaitForLine("127.0.0.1:h さんが入室しました。")) << host->Stderr();
        return host;
    }
    // Enters the room at 127.0.0.1 as the start dialog does: a worker for
    // the blocking steps, the window's question on this thread.
    void Enter(TDPSession& session) {
        entry::Prepare(session);
        session.TCPIPSetting().Port = port;
        session.OnHostKeyChanged = [](TCustomDPSession*, const dplay::DPHOSTKEYCHANGE& change) {
            return AskEnterWithChangedHostKey(nullptr, change);
        };
        entry::UseTcpIp(session, "127.0.0.1");
        entry::ListRooms(session, entry::RunOnWorker);
        entry::OpenRoom(session, false, "r", "127.0.0.3:g", entry::RunOnWorker);
    }
    static std::string ShortKeyOf(const testsupport::TempDir& settings) {
        auto id = identity::LoadOrCreateIdentity(settings / "identity.pem");
        return identity::FingerprintOf(id.Key.get())->Short();
    }
    static std::string State(const TDPSession& session) {
        return RoomSecurityText(session.RoomSecurity(), session.Opened()).toStdString();
    }

    const uint16_t port = FreshPort();
    const std::string arrival = "127.0.0.3:g さんが入室しました。";
    testsupport::TempDir firstHost, secondHost;
};

TEST_F(HostKeyDialog, AChangedKeyIsAskedOnTheWindowThreadAndStayingOutIsTheDefault) {
    {
        auto first = StartHost(firstHost);
        TDPSession session;
        TKeyBoxAnswer none({});
        ASSERT_NO_THROW(Enter(session));
        EXPECT_EQ(none.Shown, 0); // the first entry asks nothing
        ASSERT_TRUE(first->WaitForLine(arrival));
        EXPECT_TRUE(Contains(State(session), "暗号化通信")) << State(session);
        EXPECT_TRUE(Contains(State(session), ShortKeyOf(firstHost))) << State(session);
        session.CloseSession();
        EXPECT_EQ(State(session), "入室していません");
    }
    auto second = StartHost(secondHost);
    {
        TDPSession session;
        TKeyBoxAnswer byDefault({}); // Enter on the box: its default answer
        try {
            Enter(session);
            ADD_FAILURE() << "entered without a yes";
        } catch (const EDPSessionError& e) {
            EXPECT_TRUE(Contains(platform::Cp932ToUtf8(e.Message), "ホストの鍵が前と違う"))
                << platform::Cp932ToUtf8(e.Message);
        }
        EXPECT_EQ(byDefault.Shown, 1);
        EXPECT_TRUE(byDefault.OnGuiThread);
        EXPECT_EQ(byDefault.DefaultName, "StayOutButton");
        EXPECT_TRUE(Contains(byDefault.Text, "警告")) << byDefault.Text;
        EXPECT_TRUE(Contains(byDefault.Text, ShortKeyOf(firstHost))) << byDefault.Text;
        EXPECT_TRUE(Contains(byDefault.Text, ShortKeyOf(secondHost))) << byDefault.Text;
        EXPECT_FALSE(session.Opened());
    }
    EXPECT_EQ(second->Count(arrival), 0u);
    TDPSession session;
    TKeyBoxAnswer yes("EnterButton");
    ASSERT_NO_THROW(Enter(session));
    EXPECT_EQ(yes.Shown, 1);
    ASSERT_TRUE(second->WaitForLine(arrival));
    EXPECT_TRUE(Contains(State(session), ShortKeyOf(secondHost))) << State(session);
    session.CloseSession();
}

TEST(RoomState, TheVersionDialogShowsTheRoomItIsOpenedFrom) {
    QWidget mainForm;
    QLabel version(QStringLiteral("Version 3.2b   "), &mainForm);
    TAboutBox about(&mainForm, &version);
    EXPECT_TRUE(about.RoomState->isHidden());
    dplay::DPROOMSECURITY security;
    security.Encrypted = true;
    security.HostKey = dplay::DPKEYID{0xAB, 0xCD, 0x01, 0x23, 0x45, 0x67, 0x89, 0xEF, 0xFF};
    about.SetRoomState(RoomSecurityText(security, true));
    EXPECT_FALSE(about.RoomState->isHidden());
    EXPECT_EQ(about.RoomState->text(),
              QStringLiteral("暗号化通信 (TLS 1.3)\nホストの鍵: ABCD 0123 4567 89EF"));
    security.HostKey.reset(); // a new host whose key is not known yet
    EXPECT_TRUE(RoomSecurityText(security, true).contains(QStringLiteral("未確認")));
    security.Encrypted = false;
    EXPECT_EQ(RoomSecurityText(security, true), QStringLiteral("暗号化なし"));
    about.SetRoomState({});
    EXPECT_TRUE(about.RoomState->isHidden());
}

} // namespace
