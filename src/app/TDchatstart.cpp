#include "TDchatstart.h"

#include "TSessionSelect.h"

#include "entry/RoomEntry.h"
#include "platform/ButtonKeys.h"
#include "platform/Cp932.h"
#include "platform/ErrorHandler.h"
#include "platform/Exception.h"
#include "platform/FontAliases.h"
#include "platform/QtText.h"
#include "platform/WinMessage.h"
#include "platform/WindowPlace.h"
#include "session/DPSession.h"
#include "settings/SettingsHistory.h"
#include "settings/SettingsKeys.h"
#include "settings/TOptfm.h"
#include "widgets/TchatShadowTitle.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <exception>
#include <vector>

namespace {

template <class W> W* Named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

AnsiString Sjis(const char* utf8) {
    return platform::Utf8ToCp932(utf8);
}

QComboBox* NewHistoryBox(QWidget* parent, const char* name) {
    auto* box = Named(new QComboBox(parent), name);
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setCompleter(nullptr);
    box->setMaxVisibleItems(12);
    return box;
}

QPushButton* NewButton(const QString& caption, QWidget* parent, const char* name, QRect place) {
    auto* button = Named(new QPushButton(caption, parent), name);
    button->setGeometry(place);
    button->setAutoDefault(false);
    return button;
}

// The message of whatever `error` holds, as CP932 text for a box.
AnsiString MessageOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const platform::Exception& e) {
        return e.Message;
    } catch (const std::exception& e) {
        return platform::Utf8ToCp932(e.what());
    } catch (...) {
        return Sjis("不明なエラー");
    }
}

// Adds an entry where a sorted list wants it (letter case ignored, after its
// equals); the box's edit text is left as the user typed it.
void InsertSorted(QComboBox* list, const QString& text) {
    const QString edit = list->currentText();
    int at = 0;
    while (at < list->count() &&
           QString::compare(list->itemText(at), text, Qt::CaseInsensitive) <= 0)
        ++at;
    list->insertItem(at, text);
    list->setCurrentIndex(-1);
    list->setEditText(edit);
}

} // namespace

TDchatstart::TDchatstart(QWidget* owner, TOptfm* optfm) : QDialog(owner), optfm_(optfm) {
    BuildControls();
    // Key preview: the dialog sees every key before its controls do.
    for (QWidget* child : findChildren<QWidget*>())
        child->installEventFilter(this);
    // Installed last, so it sees a button's Return before the key preview
    // swallows it.
    platform::PressFocusedButtonOnEnter(this);
    // Some window managers draw a minimise button whatever the dialog asks
    // for; the chat window behind would wait on a dialog out of sight.
    platform::StayUnminimised(this);
}

TDchatstart::~TDchatstart() = default;

void TDchatstart::BuildControls() {
    setObjectName("Dchatstart");
    setWindowTitle(QStringLiteral("Parlora for DirectPlay"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setModal(true);
    QFont font;
    font.setFamilies(platform::GothicFamilies());
    font.setPixelSize(12);
    setFont(font);
    setFixedSize(338, 325);

    Panel1 = Named(new QFrame(this), "Panel1");
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setGeometry(0, 0, 338, 62);
    Image1 = Named(new QLabel(Panel1), "Image1");
    Image1->setGeometry(8, 8, 41, 41);
    Image1->setPixmap(TchatShadowTitle::ProgramPicture(41));
    Title = Named(
        new TchatShadowTitle(QStringLiteral("Parlora for DirectPlay "), 21, QPoint(62, 10), Panel1),
        "Title");
    Title->setGeometry(0, 0, 338, 40);
    Version = Named(new QLabel(Panel1), "Version");
    Version->setFont(TchatShadowTitle::TitleFont(15));
    Version->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Version->setGeometry(120, 38, 210, 20);

    Label1 = Named(new QLabel(QStringLiteral("ハンドル名"), this), "Label1");
    Label1->setGeometry(12, 76, 72, 18);
    Ed_handle = NewHistoryBox(this, "Ed_handle");
    Ed_handle->setGeometry(88, 73, 238, 24);
    Label1->setBuddy(Ed_handle);

    PageControl1 = Named(new QTabWidget(this), "PageControl1");
    PageControl1->setGeometry(8, 108, 322, 166);
    TabSheet1 = Named(new QWidget, "TabSheet1");
    TabSheet2 = Named(new QWidget, "TabSheet2");
    PageControl1->addTab(TabSheet1, QStringLiteral("新しいチャットルームを作る"));
    PageControl1->addTab(TabSheet2, QStringLiteral("チャットルームに入る"));

    Label2 = Named(new QLabel(QStringLiteral("作成するチャットルームの名前"), TabSheet1), "Label2");
    Label2->setGeometry(12, 14, 290, 18);
    Ed_newRoom = NewHistoryBox(TabSheet1, "Ed_newRoom");
    Ed_newRoom->setGeometry(12, 36, 292, 24);
    btn_makeroom = NewButton(QStringLiteral("作成"), TabSheet1, "btn_makeroom", {229, 80, 75, 27});

    Label3 = Named(new QLabel(QStringLiteral("接続先のＩＰアドレス"), TabSheet2), "Label3");
    Label3->setGeometry(12, 14, 290, 18);
    HostIPaddress = NewHistoryBox(TabSheet2, "HostIPaddress");
    HostIPaddress->setGeometry(12, 36, 292, 24);
    btn_ClientConnect =
        NewButton(QStringLiteral("接続"), TabSheet2, "btn_ClientConnect", {229, 80, 75, 27});

    Button1 = NewButton(QStringLiteral("中止"), this, "Button1", {88, 288, 75, 27});
    Button2 = NewButton(QStringLiteral("設定"), this, "Button2", {170, 288, 75, 27});
    Button3 = NewButton(QStringLiteral("ヘルプ"), this, "Button3", {252, 288, 75, 27});
    PageControl1->setCurrentIndex(0);

    auto guarded = [this](void (TDchatstart::*handler)()) {
        return [this, handler] {
            if (busy_ || closed_) return;
            platform::Guarded([&] { (this->*handler)(); });
        };
    };
    connect(btn_makeroom, &QPushButton::clicked, this, guarded(&TDchatstart::btn_makeroomClick));
    connect(btn_ClientConnect, &QPushButton::clicked, this,
            guarded(&TDchatstart::btn_ClientConnectClick));
    connect(Button1, &QPushButton::clicked, this, [this] {
        if (!busy_) done(platform::IDCANCEL);
    });
    connect(Button2, &QPushButton::clicked, this, guarded(&TDchatstart::Button2Click));
    connect(Button3, &QPushButton::clicked, this, guarded(&TDchatstart::Button3Click));
}

AnsiString TDchatstart::Handle() const {
    return platform::FromQString(Ed_handle->currentText());
}

AnsiString TDchatstart::PlayerNameFor() const {
    const AnsiString own = optfm_ ? optfm_->OwnIPAddress() : AnsiString();
    return entry::PlayerName(own, Handle());
}

void TDchatstart::ShowError(const AnsiString& text) {
    platform::MessageBox(this, text, "Parlora", platform::MB_ICONERROR | platform::MB_SYSTEMMODAL);
}

// ---- show, close, keys -------------------------------------------------------

void TDchatstart::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    // On the screen's centre, not over the chat window that runs it.
    if (!e->spontaneous()) platform::CentreOnScreen(this);
    if (!shown_) {
        shown_ = true;
        platform::Guarded([&] { FormShow(); });
    }
}

void TDchatstart::FormShow() {
    if (MainVersion) Version->setText(MainVersion->text());
    LoadHistory(settings::kHandlesList, Ed_handle);
    LoadHistory(settings::kIPaddressList, HostIPaddress);
    LoadHistory(settings::kRoomNamesList, Ed_newRoom);
    if (!PresetHandle.empty()) Ed_handle->setEditText(platform::ToQString(PresetHandle));
    if (!PresetHostAddress.empty())
        HostIPaddress->setEditText(platform::ToQString(PresetHostAddress));
    if (AutoCreate) {
        Ed_newRoom->setEditText(Ed_handle->currentText() + QStringLiteral("'ROOM"));
        platform::PostMessage(this, BM_CLICK, 1);
    }
    if (AutoConnect) platform::PostMessage(this, BM_CLICK, 2);
}

bool TDchatstart::event(QEvent* e) {
    if (const platform::TWinMessageEvent* msg = platform::AsWinMessage(e)) {
        // A click still queued when the dialog has closed goes with it.
        if (msg->Msg == BM_CLICK && !closed_ && !busy_ && isVisible()) {
            if (msg->WParam == 1) btn_makeroom->click();
            if (msg->WParam == 2) btn_ClientConnect->click();
        }
        return true;
    }
    return QDialog::event(e);
}

bool TDchatstart::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::KeyPress || e->type() == QEvent::ShortcutOverride) {
        auto* key = static_cast<QKeyEvent*>(e);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter ||
            key->key() == Qt::Key_Escape) {
            if (e->type() == QEvent::ShortcutOverride) e->accept();
            return true;
        }
    }
    // While a network step runs the dialog paints but takes no input.
    if (busy_) {
        switch (e->type()) {
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
            return true;
        default:
            break;
        }
    }
    return QDialog::eventFilter(watched, e);
}

void TDchatstart::closeEvent(QCloseEvent* e) {
    // No close box: only "中止" and the network steps end the dialog.
    if (!closed_) e->ignore();
}

void TDchatstart::done(int result) {
    if (!closed_) {
        closed_ = true;
        FormClose();
    }
    QDialog::done(result);
}

void TDchatstart::FormClose() {
    // Every list is attempted; the first failure is reported, and the
    // dialog ends with its result all the same.
    std::exception_ptr first;
    for (auto [name, box] : {std::pair{settings::kHandlesList, Ed_handle},
                             std::pair{settings::kIPaddressList, HostIPaddress},
                             std::pair{settings::kRoomNamesList, Ed_newRoom}}) {
        try {
            SaveHistory(name, box);
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    }
    if (first) {
        try {
            std::rethrow_exception(first);
        } catch (...) {
            platform::HandleCurrentException();
        }
    }
}

// ---- histories ---------------------------------------------------------------

void TDchatstart::LoadHistory(const AnsiString& keyName, QComboBox* list) {
    for (const AnsiString& entry : settings::LoadHistory(keyName))
        InsertSorted(list, platform::ToQString(entry));
}

void TDchatstart::SaveHistory(const AnsiString& keyName, const QComboBox* list) {
    settings::SaveHistory(keyName, list);
}

void TDchatstart::AddToList(QComboBox* list, const QString& text) {
    const AnsiString wanted = platform::FromQString(text);
    // What the settings could not hold would cost the list its save.
    if (!settings::HistoryCanHold(wanted)) return;
    for (int i = 0; i < list->count(); ++i)
        if (SameTextCp932(platform::FromQString(list->itemText(i)), wanted)) return;
    InsertSorted(list, text);
}

// ---- create and connect --------------------------------------------------------

bool TDchatstart::Validated(QComboBox* target, const char* emptyMessage,
                            const std::function<bool()>& wellFormed) {
    if (Ed_handle->currentText().isEmpty()) {
        ShowError(Sjis("ハンドル名を入力して下さい"));
        return false;
    }
    if (target->currentText().isEmpty()) {
        ShowError(Sjis(emptyMessage));
        return false;
    }
    if (wellFormed && !wellFormed()) return false;
    // Remembered before the network step, so a failed attempt keeps them.
    AddToList(Ed_handle, Ed_handle->currentText());
    AddToList(target, target->currentText());
    return true;
}

void TDchatstart::btn_makeroomClick() {
    if (!Validated(Ed_newRoom, "新しいチャットルーム名を入力して下さい")) return;

    int result = platform::IDCANCEL;
    try {
        UseTCPIPProvider({});
        RoomName = platform::FromQString(Ed_newRoom->currentText());
        PlayerName = PlayerNameFor();
        OpenSessionWaiting(true);
        result = platform::IDOK;
        if (optfm_ && optfm_->cbNotify->isChecked() && NotifyStartPage) {
            // The dialog takes no input while the page goes out: a second
            // click must not create another room meanwhile.
            busy_ = true;
            try {
                NotifyStartPage();
            } catch (...) {
                busy_ = false;
                throw;
            }
            busy_ = false;
        }
    } catch (const platform::EAbort&) {
        result = platform::IDCANCEL;
        ShowError(Sjis("Abort による中断"));
    } catch (...) {
        result = platform::IDCANCEL;
        ShowError(MessageOf(std::current_exception()));
    }
    done(result);
}

void TDchatstart::btn_ClientConnectClick() {
    // A typo is told at once and the dialog stays, as for an empty box; it
    // does not reach the history.
    entry::TAddressParse typed;
    auto wellFormed = [&] {
        typed = entry::ParseTypedAddress(platform::FromQString(HostIPaddress->currentText()));
        if (!typed.Address) ShowError(platform::Utf8ToCp932(typed.Message()));
        return typed.Address.has_value();
    };
    if (!Validated(HostIPaddress, "接続先のIPアドレスを入力して下さい", wellFormed)) return;

    // Nothing is opened before the address is known to be one the room
    // service can dial: a name that is not found is told like a typo and the
    // dialog stays.
    AnsiString host;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    try {
        host = entry::DialableHost(*typed.Address, Waiting());
    } catch (const platform::Exception& e) {
        QApplication::restoreOverrideCursor();
        ShowError(e.Message);
        return;
    } catch (...) {
        QApplication::restoreOverrideCursor();
        throw;
    }
    QApplication::restoreOverrideCursor();
    if (Session && typed.Address->Port) Session->TCPIPSetting().Port = typed.Address->Port;

    int result = platform::IDCANCEL;
    try {
        JoinByAddress(host);
        result = platform::IDOK;
    } catch (...) {
        // The boxes JoinByAddress showed are the only word on this path.
        result = platform::IDCANCEL;
    }
    done(result);
}

void TDchatstart::UseTCPIPProvider(const AnsiString& host) {
    if (!Session) throw platform::Exception(Sjis("TCP/IPがサポートされていません"));
    entry::UseTcpIp(*Session, host);
}

void TDchatstart::JoinByAddress(const AnsiString& host) {
    UseTCPIPProvider(host);

    QApplication::setOverrideCursor(Qt::WaitCursor);
    const TDPNameGuidList* rooms = nullptr;
    try {
        rooms = &entry::ListRooms(*Session, Waiting());
    } catch (...) {
        QApplication::restoreOverrideCursor();
        throw;
    }
    QApplication::restoreOverrideCursor();

    const entry::TRoomChoice choice = entry::ChooseRoom(*rooms, {});
    if (choice.Kind == entry::TRoomChoice::NoRoom) {
        ShowError(Sjis("接続先がチャットルームを作っていません"));
        throw platform::EAbort();
    }
    if (choice.Kind == entry::TRoomChoice::Chosen) {
        RoomName = choice.Name;
        btn_JoinClick();
        return;
    }
    std::vector<AnsiString> names;
    for (int i = 0; i < rooms->Count(); ++i)
        names.push_back(rooms->Names(i));
    TSessionSelect select(this);
    for (const AnsiString& name : names)
        select.SessionListBox->addItem(platform::ToQString(name));
    if (select.exec() != platform::IDOK) throw platform::EAbort();
    const int chosen = select.SessionListBox->currentRow();
    if (chosen < 0 || chosen >= static_cast<int>(names.size())) throw platform::EAbort();
    // Joined by name: of rooms sharing a name the first one is entered.
    RoomName = names[static_cast<size_t>(chosen)];
    btn_JoinClick();
}

void TDchatstart::btn_JoinClick() {
    PlayerName = PlayerNameFor();
    try {
        OpenSessionWaiting(false);
    } catch (...) {
        setResult(platform::IDCANCEL);
        throw;
    }
    setResult(platform::IDOK);
}

void TDchatstart::OpenSessionWaiting(bool create) {
    entry::OpenRoom(*Session, create, RoomName, PlayerName, Waiting());
}

entry::TStepRunner TDchatstart::Waiting() {
    return [this](const std::function<void()>& step) {
        busy_ = true;
        try {
            entry::RunOnWorker(step);
        } catch (...) {
            busy_ = false;
            throw;
        }
        busy_ = false;
    };
}

// ---- other buttons -------------------------------------------------------------

void TDchatstart::Button2Click() {
    if (optfm_) optfm_->exec();
}

void TDchatstart::Button3Click() {
    if (ShowHelp) ShowHelp(this);
}
