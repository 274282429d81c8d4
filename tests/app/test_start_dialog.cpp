// The start dialog and the room selection dialog, driven as a user would,
// against real session services on loopback.
#include "AppTestSupport.h"

#include "app/TDchatstart.h"
#include "app/TSessionSelect.h"
#include "entry/RoomEntry.h"
#include "platform/ErrorHandler.h"
#include "platform/QtText.h"
#include "platform/TRegistry.h"
#include "session/DPSession.h"
#include "settings/SettingsHistory.h"
#include "settings/TOptfm.h"
#include "support/SilentListener.h"

#include <QComboBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace apptest;

namespace {

const char* const kApplication = entry::kApplicationGuid;

std::vector<std::string> History(const char* list) {
    std::vector<std::string> out;
    for (const AnsiString& entry : settings::LoadHistory(list))
        out.push_back(Utf8(entry));
    return out;
}

void ClearHistories() {
    for (const char* list : {"handles", "IPaddress", "RoomNames"})
        settings::SaveHistory(list, std::vector<AnsiString>{});
}

// A member that hosts rooms or joins them without any window.
struct THost {
    explicit THost(uint16_t port, const char* application = kApplication) {
        entry::Prepare(Session);
        Session.SetGUID(application);
        Session.TCPIPSetting().Port = port;
        entry::UseTcpIp(Session, "");
    }
    void Create(const char* room, const char* player) {
        entry::OpenRoom(Session, true, Sjis(room), Sjis(player));
    }
    TDPSession Session;
};

class StartDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UseLoopback();
        ClearHistories();
        port = FreshPort();
        optfm =
            std::make_unique<TOptfm>(nullptr, [] { return std::vector<AnsiString>{"127.0.0.1"}; });
        session.SetGUID(kApplication);
        session.SetMaxPlayers(10);
        session.TCPIPSetting().Port = port;
        // Owned by a window in a corner, as a chat window owns it.
        owner.setGeometry(0, 0, 120, 90);
        owner.show();
        dialog = std::make_unique<TDchatstart>(&owner, optfm.get());
        dialog->Session = &session;
    }
    // Shows the dialog as the chat window would and waits until it ends
    // (or until `until` holds).
    void Show() {
        dialog->show();
        QCoreApplication::processEvents();
    }
    bool WaitClosed() {
        return WaitUntil([&] { return !dialog->isVisible(); });
    }
    void Type(QComboBox* box, const char* utf8) { box->setEditText(QString::fromUtf8(utf8)); }
    // Shows the dialog, connects to loopback as `handle` and waits for the end.
    bool ConnectAs(const char* handle) {
        Show();
        Type(dialog->Ed_handle, handle);
        Type(dialog->HostIPaddress, "127.0.0.1");
        dialog->btn_ClientConnect->click();
        return WaitClosed();
    }

    uint16_t port = 0;
    std::unique_ptr<TOptfm> optfm;
    TDPSession session;
    QWidget owner;
    std::unique_ptr<TDchatstart> dialog;
    TBoxCatcher boxes;
};

TEST_F(StartDialogTest, ValidationBoxesKeepTheDialogOpen) {
    Show();
    dialog->btn_makeroom->click();
    Type(dialog->Ed_handle, "Taro");
    dialog->btn_makeroom->click();
    Type(dialog->Ed_handle, "");
    dialog->btn_ClientConnect->click();
    Type(dialog->Ed_handle, "Taro");
    dialog->btn_ClientConnect->click();
    EXPECT_EQ(boxes.Texts(), (std::vector<std::string>{"ハンドル名を入力して下さい",
                                                       "新しいチャットルーム名を入力して下さい",
                                                       "ハンドル名を入力して下さい",
                                                       "接続先のIPアドレスを入力して下さい"}));
    for (const TBox& box : boxes.Boxes) {
        EXPECT_EQ(box.Caption, "Parlora");
        EXPECT_EQ(box.Flags & (platform::MB_ICONERROR | platform::MB_SYSTEMMODAL),
                  platform::MB_ICONERROR | platform::MB_SYSTEMMODAL);
    }
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(session.Opened());
    // Nothing reached a list while a field was missing.
    EXPECT_EQ(dialog->Ed_handle->count(), 0);
}

TEST_F(StartDialogTest, CreateOpensTheRoomAndRemembersTheNames) {
    Show();
    Type(dialog->Ed_handle, "Taro");
    Type(dialog->Ed_newRoom, "表ソ能ーの部屋");
    dialog->btn_makeroom->click();
    ASSERT_TRUE(WaitClosed());
    EXPECT_TRUE(boxes.Boxes.empty()) << boxes.Boxes[0].Text;
    EXPECT_EQ(dialog->result(), platform::IDOK);
    EXPECT_EQ(Utf8(dialog->RoomName), "表ソ能ーの部屋");
    ASSERT_TRUE(session.Opened());
    EXPECT_TRUE(session.IsSessionHost());
    EXPECT_EQ(session.OwnPlayer()->Name, "127.0.0.1:Taro");
    EXPECT_EQ(History("handles"), (std::vector<std::string>{"Taro"}));
    EXPECT_EQ(History("RoomNames"), (std::vector<std::string>{"表ソ能ーの部屋"}));
}

TEST_F(StartDialogTest, AutoCreateWithAHandleCreatesHandleRoom) {
    dialog->AutoCreate = true;
    dialog->PresetHandle = "Taro";
    Show();
    ASSERT_TRUE(WaitClosed());
    EXPECT_EQ(dialog->result(), platform::IDOK);
    EXPECT_EQ(dialog->RoomName, "Taro'ROOM");
    EXPECT_EQ(session.CurrentSessionName(), "Taro'ROOM");
    EXPECT_TRUE(boxes.Boxes.empty());
}

TEST_F(StartDialogTest, AutoCreateAndConnectWithoutAHandleStopAtTheHandle) {
    dialog->AutoCreate = true;
    dialog->AutoConnect = true;
    Show();
    ASSERT_TRUE(WaitUntil([&] { return boxes.Boxes.size() >= 2; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(boxes.Texts(), (std::vector<std::string>{"ハンドル名を入力して下さい",
                                                       "ハンドル名を入力して下さい"}));
    EXPECT_EQ(dialog->Ed_newRoom->currentText(), "'ROOM");
    EXPECT_TRUE(dialog->isVisible());
}

TEST_F(StartDialogTest, QueuedConnectClickIsDroppedOnceTheCreateClosedTheDialog) {
    dialog->AutoCreate = true;
    dialog->AutoConnect = true;
    dialog->PresetHandle = "Taro";
    Show();
    ASSERT_TRUE(WaitClosed());
    QCoreApplication::processEvents();
    EXPECT_EQ(dialog->result(), platform::IDOK);
    EXPECT_EQ(session.CurrentSessionName(), "Taro'ROOM"); // the connect never ran
    EXPECT_TRUE(boxes.Boxes.empty());
}

// Counts the Enter and Escape keys that reach a widget.
struct TKeySpy : QObject {
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::KeyPress) {
            int key = static_cast<QKeyEvent*>(e)->key();
            Keys += key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape;
        }
        return false;
    }
    int Keys = 0;
};

TEST_F(StartDialogTest, EnterAndEscapeAreSwallowed) {
    Show();
    Type(dialog->Ed_handle, "Taro");
    Type(dialog->Ed_newRoom, "Room");
    // A line edit passes these keys on to its combo box; none may get there.
    TKeySpy spy;
    dialog->Ed_handle->installEventFilter(&spy);
    dialog->Ed_newRoom->installEventFilter(&spy);
    dialog->Ed_handle->setFocus();
    for (int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
        QTest::keyClick(dialog->Ed_handle->lineEdit(), static_cast<Qt::Key>(key));
        QTest::keyClick(dialog->Ed_newRoom->lineEdit(), static_cast<Qt::Key>(key));
        QTest::keyClick(dialog.get(), static_cast<Qt::Key>(key));
    }
    QCoreApplication::processEvents();
    EXPECT_EQ(spy.Keys, 0);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(session.Opened());
    EXPECT_EQ(dialog->Ed_handle->currentText(), "Taro");
    EXPECT_EQ(dialog->Ed_handle->count(), 0);
    EXPECT_EQ(dialog->Ed_newRoom->currentText(), "Room");
    EXPECT_TRUE(boxes.Boxes.empty());
}

TEST_F(StartDialogTest, HistoriesAreSortedCaseInsensitiveAndSavedAfterAFailedAttempt) {
    settings::SaveHistory("handles", std::vector<AnsiString>{"taro", "Bob", Sjis("花子"), "alice"});
    Show();
    ASSERT_EQ(dialog->Ed_handle->count(), 4);
    EXPECT_EQ(dialog->Ed_handle->itemText(0), "alice");
    EXPECT_EQ(dialog->Ed_handle->itemText(1), "Bob");
    EXPECT_EQ(dialog->Ed_handle->itemText(2), "taro");
    EXPECT_EQ(dialog->Ed_handle->currentText(), ""); // loading fills the list only

    // A name differing only in letter case is not added again. The connect
    // gets past the checks to the lookup (the new address is added), then
    // fails: nobody listens on the port.
    Type(dialog->Ed_handle, "TARO");
    Type(dialog->HostIPaddress, "127.0.0.1");
    dialog->btn_ClientConnect->click();
    ASSERT_TRUE(WaitClosed());
    EXPECT_EQ(dialog->result(), platform::IDCANCEL);
    EXPECT_EQ(History("handles"), (std::vector<std::string>{"alice", "Bob", "taro", "花子"}));
    EXPECT_EQ(History("IPaddress"), (std::vector<std::string>{"127.0.0.1"}));

    // Exactly "0".."n-1" under the key, whatever was there before.
    platform::TRegistry reg(platform::RegRoot::LocalMachine);
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Parlora3\\handles", false));
    EXPECT_EQ(reg.GetValueNames(), (std::vector<AnsiString>{"0", "1", "2", "3"}));
}

TEST_F(StartDialogTest, LongAndHandEditedHistoriesLoadSortedAndSaveBackWhole) {
    std::vector<AnsiString> rooms;
    for (int i = 999; i >= 0; --i)
        rooms.push_back("room" + std::to_string(1000 + i));
    settings::SaveHistory("RoomNames", rooms);
    {
        platform::TRegistry reg(platform::RegRoot::LocalMachine);
        ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\Parlora3\\RoomNames", false));
        reg.WriteString("x", Sjis("表の部屋")); // names edited by hand
        reg.WriteString("-1", "aaa");
        reg.WriteInteger("y", 42); // not a string: skipped
    }
    Show();
    ASSERT_EQ(dialog->Ed_newRoom->count(), 1002);
    EXPECT_EQ(dialog->Ed_newRoom->itemText(0), "aaa");
    EXPECT_EQ(dialog->Ed_newRoom->itemText(1), "room1000");
    EXPECT_EQ(dialog->Ed_newRoom->itemText(1000), "room1999");
    EXPECT_EQ(dialog->Ed_newRoom->itemText(1001), QString::fromUtf8("表の部屋"));
    dialog->Button1->click();
    const auto saved = History("RoomNames");
    ASSERT_EQ(saved.size(), 1002u);
    EXPECT_EQ(saved.front(), "aaa");
    EXPECT_EQ(saved.back(), "表の部屋");
}

TEST_F(StartDialogTest, TextCp932CannotHoldBecomesAQuestionMark) {
    Show();
    dialog->Ed_handle->setEditText(QString::fromUtf8("Taro\xF0\x9F\x98\x80"));
    Type(dialog->Ed_newRoom, "Room①㈱～");
    dialog->btn_makeroom->click();
    ASSERT_TRUE(WaitClosed());
    ASSERT_TRUE(session.Opened());
    EXPECT_EQ(session.OwnPlayer()->Name, "127.0.0.1:Taro?");
    EXPECT_EQ(Utf8(session.CurrentSessionName()), "Room①㈱～");
    EXPECT_EQ(History("handles"), (std::vector<std::string>{"Taro?"}));
}

TEST_F(StartDialogTest, FailedConnectEndsSilentlyAndKeepsTheTypedNames) {
    Show(); // nobody listens on the port
    Type(dialog->Ed_handle, "Hanako");
    Type(dialog->HostIPaddress, "127.0.0.1");
    dialog->btn_ClientConnect->click();
    ASSERT_TRUE(WaitClosed());
    EXPECT_EQ(dialog->result(), platform::IDCANCEL);
    EXPECT_TRUE(boxes.Boxes.empty());
    EXPECT_FALSE(session.Opened());
    EXPECT_EQ(History("handles"), (std::vector<std::string>{"Hanako"}));
    EXPECT_EQ(History("IPaddress"), (std::vector<std::string>{"127.0.0.1"}));
}

TEST_F(StartDialogTest, OneRoomIsJoinedDirectly) {
    THost host(port);
    host.Create("Lobby", "127.0.0.1:Host");
    bool selectionShown = false;
    TOnShow watch([&](QWidget* w) {
        if (dynamic_cast<TSessionSelect*>(w)) selectionShown = true;
        return false;
    });
    dialog->PresetHandle = "Hanako";
    dialog->PresetHostAddress = "127.0.0.1";
    dialog->AutoConnect = true;
    Show();
    ASSERT_TRUE(WaitClosed());
    EXPECT_EQ(dialog->result(), platform::IDOK);
    EXPECT_FALSE(selectionShown);
    EXPECT_EQ(dialog->RoomName, "Lobby");
    ASSERT_TRUE(session.Opened());
    EXPECT_EQ(session.PlayerList().Count(), 2);
    EXPECT_TRUE(WaitUntil([&] { return host.Session.PlayerList().Count() == 2; }));
}

TEST_F(StartDialogTest, SeveralRoomsAreOfferedInEnumerationOrder) {
    THost first(port), second(port), third(port);
    first.Create("Zeta", "127.0.0.1:A");
    second.Create("alpha", "127.0.0.1:B");
    third.Create("Mid", "127.0.0.1:C");
    std::vector<QString> offered;
    int selectedAtShow = -2;
    QPoint selectCentre;
    TOnShow watch([&](QWidget* w) {
        auto* select = dynamic_cast<TSessionSelect*>(w);
        if (!select) return false;
        for (int i = 0; i < select->SessionListBox->count(); ++i)
            offered.push_back(select->SessionListBox->item(i)->text());
        selectedAtShow = select->SessionListBox->currentRow();
        selectCentre = select->frameGeometry().center();
        select->SessionListBox->setCurrentRow(1);
        select->btn_Join->click();
        return true;
    });
    ASSERT_TRUE(ConnectAs("Hanako"));
    // Offered in the order the host listed them (here: creation order).
    EXPECT_EQ(offered, (std::vector<QString>{"Zeta", "alpha", "Mid"}));
    EXPECT_EQ(selectedAtShow, 0);
    // Both dialogs sit in the middle of the screen, not over their owners.
    const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE((selectCentre - screenCentre).manhattanLength(), 2);
    EXPECT_LE((dialog->frameGeometry().center() - screenCentre).manhattanLength(), 2);
    EXPECT_EQ(dialog->result(), platform::IDOK);
    EXPECT_EQ(dialog->RoomName, "alpha");
    EXPECT_TRUE(WaitUntil([&] { return second.Session.PlayerList().Count() == 2; }));
    EXPECT_EQ(first.Session.PlayerList().Count(), 1);
}

TEST_F(StartDialogTest, CancelledSelectionEndsSilently) {
    THost first(port), second(port);
    first.Create("One", "127.0.0.1:A");
    second.Create("Two", "127.0.0.1:B");
    TOnShow watch([&](QWidget* w) {
        auto* select = dynamic_cast<TSessionSelect*>(w);
        if (!select) return false;
        select->Button1->click();
        return true;
    });
    ASSERT_TRUE(ConnectAs("Hanako"));
    EXPECT_EQ(dialog->result(), platform::IDCANCEL);
    EXPECT_TRUE(boxes.Boxes.empty());
    EXPECT_FALSE(session.Opened());
}

TEST_F(StartDialogTest, AHostWithoutRoomsSaysSo) {
    // The host answers, but its only room belongs to another program.
    THost host(port, "{11111111-2222-3333-4444-555555555555}");
    host.Create("Other", "127.0.0.1:A");
    ASSERT_TRUE(ConnectAs("Hanako"));
    EXPECT_EQ(dialog->result(), platform::IDCANCEL);
    EXPECT_EQ(boxes.Texts(), (std::vector<std::string>{"接続先がチャットルームを作っていません"}));
}

TEST_F(StartDialogTest, WaitingForASilentHostKeepsPaintingAndRefusesASecondAttempt) {
    // A host that takes the connection and never says a word.
    testsupport::TSilentListener silent(INADDR_LOOPBACK, port);
    ASSERT_TRUE(silent.Ok());
    Show();
    Type(dialog->Ed_handle, "Hanako");
    Type(dialog->HostIPaddress, "127.0.0.1");
    Type(dialog->Ed_newRoom, "Other");
    int ticksWhileBusy = 0;
    bool secondAttemptRefused = false;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (!dialog->Busy()) return;
        ++ticksWhileBusy;
        dialog->repaint();
        // Clicks through the event queue, as a user's would arrive.
        QTest::mouseClick(dialog->btn_ClientConnect, Qt::LeftButton);
        QTest::mouseClick(dialog->Button1, Qt::LeftButton);
        secondAttemptRefused = dialog->isVisible() && boxes.Boxes.empty();
    });
    ticker.start(100);
    dialog->btn_ClientConnect->click();
    // The enumeration gives up after its time limit (5 s).
    ASSERT_TRUE(WaitClosed());
    EXPECT_GT(ticksWhileBusy, 3);
    EXPECT_TRUE(secondAttemptRefused);
    EXPECT_EQ(dialog->result(), platform::IDCANCEL);
    EXPECT_TRUE(boxes.Boxes.empty());
    EXPECT_FALSE(session.Opened());
}

TEST_F(StartDialogTest, AMalformedAddressIsToldAtOnceAndTheDialogStays) {
    // IP= from the command line with CL: the connect click runs by itself.
    dialog->PresetHandle = "Hanako";
    dialog->PresetHostAddress = "1.2.3.4:99999";
    dialog->AutoConnect = true;
    Show();
    ASSERT_TRUE(WaitUntil([&] { return !boxes.Boxes.empty(); }));
    EXPECT_EQ(boxes.Texts(),
              std::vector<std::string>{"ポート番号は1から65535までの数で書いて下さい"});

    // Each typo is told before the click returns: nothing is looked up or
    // dialled, and nothing of it reaches the history.
    const std::pair<const char*, const char*> typos[] = {
        {"[::1", "接続先のアドレスの「[」を「]」で閉じて下さい(例: [2001:db8::5]:47624)"},
        {"fe80::1%eth0", "IPv6アドレスのゾーンID(「%」から後)は使えません"},
        {"１９２．１６８．０．５",
         "接続先のアドレスに全角文字などの使えない文字があります。半角の英数字で入力して下さい"},
        {"taro's-pc", "接続先のアドレスに使えない文字「'」があります"},
        {"taro pc", "接続先のアドレスに空白があります"},
    };
    for (auto [typed, told] : typos) {
        boxes.Boxes.clear();
        Type(dialog->HostIPaddress, typed);
        dialog->btn_ClientConnect->click();
        EXPECT_EQ(boxes.Texts(), std::vector<std::string>{told}) << typed;
    }
    // Well formed, but a name nobody has: told the same way, the dialog stays.
    boxes.Boxes.clear();
    Type(dialog->HostIPaddress, "no-such-host.invalid");
    dialog->btn_ClientConnect->click();
    ASSERT_EQ(boxes.Boxes.size(), 1u);
    EXPECT_NE(boxes.Boxes[0].Text.find("no-such-host.invalid"), std::string::npos);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(session.Opened());
    // The well-formed ones are remembered, the typos are not.
    EXPECT_EQ(dialog->HostIPaddress->count(), 1);
    for (auto [typed, told] : typos)
        EXPECT_EQ(dialog->HostIPaddress->findText(QString::fromUtf8(typed)), -1) << typed;

    // Put right, with the port typed after the address: the room is looked
    // for there, not at the port the component held.
    THost host(port);
    host.Create("Lobby", "127.0.0.1:Host");
    session.TCPIPSetting().Port = FreshPort();
    Type(dialog->HostIPaddress, ("127.0.0.1:" + std::to_string(port)).c_str());
    dialog->btn_ClientConnect->click();
    ASSERT_TRUE(WaitClosed());
    EXPECT_EQ(dialog->result(), platform::IDOK);
    EXPECT_TRUE(session.Opened());
    EXPECT_EQ(session.TCPIPSetting().Port, port);
    EXPECT_EQ(Utf8(session.CurrentSessionName()), "Lobby");
}

TEST(SessionSelect, JoinWithoutTouchingTheListTakesTheFirst) {
    TSessionSelect select;
    select.SessionListBox->addItems({"b", "a"});
    TOnShow watch([&](QWidget* w) {
        if (w == &select) select.btn_Join->click();
        return true;
    });
    EXPECT_EQ(select.exec(), 1);
    EXPECT_EQ(select.SelectedName(), "b");
    EXPECT_EQ(select.size(), QSize(298, 175));
}

} // namespace

TEST_F(StartDialogTest, ReturnOnAFocusedButtonPressesIt) {
    Show();
    dialog->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog.get()));
    dialog->btn_makeroom->setFocus();
    QTest::keyClick(dialog->btn_makeroom, Qt::Key_Return);
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"ハンドル名を入力して下さい"});
    dialog->Button1->setFocus();
    QTest::keyClick(dialog->Button1, Qt::Key_Enter);
    EXPECT_TRUE(WaitClosed());
    EXPECT_EQ(dialog->result(), platform::IDCANCEL);
}
