#include "Tchat.h"

#include "game/Tjyankenfm.h"
#include "templates/TTempfm.h"

#include "TAboutBox.h"
#include "TchatHostKey.h"
#include "TchatKeys.h"
#include "TchatLayout.h"
#include "TchatNameGuide.h"
#include "chat_core/ChatPayload.h"
#include "chatlog/TChatLog.h"
#include "chatlog/TMembers.h"

#include "entry/RoomEntry.h"
#include "platform/Cp932.h"
#include "platform/ErrorHandler.h"
#include "platform/EventSound.h"
#include "platform/FontAliases.h"
#include "platform/QtText.h"
#include "platform/WinMessage.h"
#include "platform/WindowPlace.h"
#include "reach/RoomReach.h"
#include "settings/SettingsView.h"
#include "settings/TOptfm.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSplitter>
#include <QStatusBar>
#include <QVBoxLayout>

namespace {

template <class W> W* Named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QFont GothicFont(int pixelSize, bool bold = false) {
    QFont font;
    font.setFamilies(platform::GothicFamilies());
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

// A memo's text as the program holds it: lines separated by CR LF.
AnsiString MemoText(const QPlainTextEdit* memo) {
    QString text = memo->toPlainText();
    text.replace(QChar(QChar::LineSeparator), QLatin1Char('\n'));
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return platform::FromQString(text);
}

} // namespace

Tchat::Tchat(TchatContext& context, Tchat* openedFrom) : context_(context) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlag(Qt::Window);
    OpenedFrom = openedFrom;

    Session.SetAsync(false);
    entry::Prepare(Session);
    Session.ModemSetting().Enabled = false;
    Session.TCPIPSetting().Enabled = false;
    Session.TCPIPSetting().Port = context_.Port;
    Session.OnAddPlayer = [this](TCustomDPSession* s, TDPPlayer* p) { SessionAddPlayer(s, p); };
    Session.OnDeletePlayer = [this](TCustomDPSession* s, TDPPlayer* p) {
        SessionDeletePlayer(s, p);
    };
    Session.OnMessage = [this](TCustomDPSession* s, TDPPlayer* from, const void* data, int size) {
        SessionMessage(s, from, data, size);
    };
    Session.OnOpen = [this](TCustomDPSession* s) { SessionOpen(s); };
    Session.OnHost = [this](TCustomDPSession*) { StartHosting(); };
    Session.OnHostKeyChanged = [this](TCustomDPSession*, const dplay::DPHOSTKEYCHANGE& change) {
        // Over the start dialog when it is the one entering.
        QWidget* over = QApplication::activeModalWidget();
        return AskEnterWithChangedHostKey(over ? over : this, change);
    };
    if (context_.Reach) reachKey_ = context_.Reach->Subscribe([this] { ReachChanged(); });

    BuildControls();
    BuildMenus();
    FormCreate();
}

Tchat::~Tchat() {
    // Leave the room while the log and member list still exist.
    platform::Guarded([&] { Session.CloseSession(); });
    if (context_.Reach) {
        context_.Reach->Unsubscribe(reachKey_);
        context_.Reach->NotHosting(this);
    }
}

void Tchat::StartHosting() {
    if (context_.Reach) context_.Reach->Hosting(this, Session.TCPIPSetting().Port);
}

void Tchat::ReachChanged() {
    // Told in the log, where the host looks after creating the room; each
    // news once.
    if (!context_.Reach || !context_.Reach->IsHosting(this)) return;
    std::string address = context_.Reach->OutsideAddress(this);
    std::string problem = context_.Reach->ProblemText(this);
    if (!address.empty() && address != toldAddress_)
        AddLogEntry("", platform::Utf8ToCp932("  外からは " + address + " で入室できます。"));
    if (!problem.empty() && problem != toldProblem_)
        AddLogEntry("", platform::Utf8ToCp932("  " + problem));
    toldAddress_ = address;
    toldProblem_ = problem;
}

void Tchat::BuildControls() {
    setObjectName("chat");
    setWindowTitle(QStringLiteral("Parlora  会話ＬＯＧ"));
    setFont(GothicFont(12));
    setMinimumSize(300, 240);

    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    setCentralWidget(central);

    Pnl_curretroom = Named(new QLabel(central), "Pnl_curretroom");
    Pnl_curretroom->setFixedHeight(25);
    Pnl_curretroom->setAlignment(Qt::AlignCenter);
    Pnl_curretroom->setFont(GothicFont(15, true));
    Pnl_curretroom->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Pnl_curretroom->setAutoFillBackground(true);
    {
        QPalette pal = Pnl_curretroom->palette();
        pal.setColor(QPalette::Window, QColor(0, 0, 128));
        pal.setColor(QPalette::WindowText, Qt::yellow);
        Pnl_curretroom->setPalette(pal);
    }
    column->addWidget(Pnl_curretroom);

    MembersPanel = Named(new QWidget(central), "MembersPanel");
    MembersPanel->setFixedHeight(49);
    Bevel1 = Named(new QFrame(MembersPanel), "Bevel1");
    Bevel1->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    Bevel1->setGeometry(0, 0, 4000, 3);
    column->addWidget(MembersPanel);

    Splitter1 = Named(new QSplitter(Qt::Vertical, central), "Splitter1");
    Splitter1->setHandleWidth(4);
    Splitter1->setChildrenCollapsible(false);
    Log = Named(new TChatLog(Splitter1), "Log");
    Memo = Named(new QPlainTextEdit(Splitter1), "Memo");
    Memo->setFont(GothicFont(13));
    {
        // Black on the edit colour whatever the desktop theme says.
        QPalette pal = Memo->palette();
        pal.setColor(QPalette::Text, Qt::black);
        pal.setColor(QPalette::Base, Qt::white);
        Memo->setPalette(pal);
    }
    Memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo->setToolTip(QStringLiteral("CTRL+S で送信"));
    Splitter1->addWidget(Log);
    Splitter1->addWidget(Memo);
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 0);
    Splitter1->setSizes({300, 88});
    column->addWidget(Splitter1, 1);

    Pnl_mes = Named(new QWidget(central), "Pnl_mes");
    Pnl_mes->setFixedHeight(25);
    auto* mesRow = new QHBoxLayout(Pnl_mes);
    mesRow->setContentsMargins(0, 0, 0, 0);
    Panel3 = Named(new QWidget(Pnl_mes), "Panel3");
    auto* row = new QHBoxLayout(Panel3);
    row->setContentsMargins(2, 1, 2, 1);
    row->setSpacing(4);
    btn_send = Named(new QPushButton(QStringLiteral("送信"), Panel3), "btn_send");
    btn_Can = Named(new QPushButton(QStringLiteral("取消"), Panel3), "btn_Can");
    btn_Can->setFocusPolicy(Qt::ClickFocus);
    CB_Enter = Named(new QCheckBox(QStringLiteral("Enterで送信する"), Panel3), "CB_Enter");
    CB_Enter->setFocusPolicy(Qt::ClickFocus);
    CB_Enter->setChecked(false);
    btn_Font = Named(new QPushButton(QStringLiteral("ﾌｫﾝﾄ"), Panel3), "btn_Font");
    // At the smallest window (300 wide) the buttons give way, never the
    // check box's text.
    for (QPushButton* b : {btn_send, btn_Can, btn_Font}) {
        b->setFixedHeight(23);
        b->setMinimumWidth(48);
        b->setAutoDefault(false);
    }
    CB_Enter->setMinimumWidth(CB_Enter->sizeHint().width());
    row->addWidget(btn_send);
    row->addWidget(btn_Can);
    row->addSpacing(8);
    row->addWidget(CB_Enter);
    row->addStretch(1);
    row->addWidget(btn_Font);
    mesRow->addWidget(Panel3);
    column->addWidget(Pnl_mes);

    StBar = Named(new QStatusBar(this), "StBar");
    StBar->setFixedHeight(19);
    setStatusBar(StBar);

    connect(btn_send, &QPushButton::clicked, this,
            [this] { platform::Guarded([&] { btn_sendClick(); }); });
    connect(btn_Can, &QPushButton::clicked, this, [this] { btn_CanClick(); });
    connect(btn_Font, &QPushButton::clicked, this, [this] { btn_FontClick(); });
}

void Tchat::BuildMenus() {
    auto addItem = [this](QMenu* menu, const char* name, const QString& caption,
                          void (Tchat::*handler)()) {
        QAction* action = menu->addAction(caption);
        action->setObjectName(QString::fromLatin1(name));
        if (handler)
            connect(action, &QAction::triggered, this,
                    [this, handler] { platform::Guarded([&] { (this->*handler)(); }); });
        return action;
    };
    File1 = Named(menuBar()->addMenu(QStringLiteral("ファイル(&F)")), "File1");
    NewRoom = addItem(File1, "NewRoom", QStringLiteral("別のチャットルーム"), &Tchat::NewRoomClick);
    File1->addSeparator();
    SaveLog = addItem(File1, "SaveLog", QStringLiteral("ログの保存(&S)"), &Tchat::SaveLogClick);
    ClearLog =
        addItem(File1, "ClearLog", QStringLiteral("ログのクリアー(&C)"), &Tchat::ClearLogClick);
    File1->addSeparator();
    Option = addItem(File1, "Option", QStringLiteral("設定"), &Tchat::OptionClick);
    File1->addSeparator();
    ExitRoom =
        addItem(File1, "ExitRoom", QStringLiteral("チャット終了(&X)"), &Tchat::ExitRoomClick);

    Tool1 = Named(menuBar()->addMenu(QStringLiteral("表示(&T)")), "Tool1");
    ShowMember = addItem(Tool1, "ShowMember", QStringLiteral("接続メンバー"), nullptr);
    ShowMember->setCheckable(true);
    ShowMember->setChecked(true);
    connect(ShowMember, &QAction::triggered, this, [this] { ShowMemberClick(); });
    ShowRoomName = addItem(Tool1, "ShowRoomName", QStringLiteral("現在のルーム"), nullptr);
    ShowRoomName->setCheckable(true);
    ShowRoomName->setChecked(true);
    connect(ShowRoomName, &QAction::triggered, this, [this] { ShowRoomNameClick(); });
    Tool1->addSeparator();
    MessageTmp =
        addItem(Tool1, "MessageTmp", QStringLiteral("メッセージテンプレート(&M)"), nullptr);
    MessageTmp->setCheckable(true);
    MessageTmp->setEnabled(context_.Tempfm != nullptr);
    connect(MessageTmp, &QAction::triggered, this, [this] { MessageTmpClick(); });
    Jyanken = addItem(Tool1, "Jyanken", QStringLiteral("ジャンケン(&J)"), &Tchat::JyankenClick);
    connect(Tool1, &QMenu::aboutToShow, this, [this] { Tool1Click(); });

    Help1 = Named(menuBar()->addMenu(QStringLiteral("ヘルプ(&H)")), "Help1");
    topic1 = addItem(Help1, "topic1", QStringLiteral("目次(&I)"), &Tchat::topic1Click);
    Help1->addSeparator();
    Info1 = addItem(Help1, "Info1", QStringLiteral("バージョン情報(&V)"), &Tchat::Info1Click);
}

void Tchat::FormCreate() {
    if (context_.MainForm)
        platform::PostMessage(context_.MainForm, platform::WM_CHATWINDOWCOUNT, 0, 0);
    Members = std::make_unique<TMembers>(MembersPanel);
    Members->IsShowMemberChecked = [this] { return ShowMember->isChecked(); };
    Members->SetMemo(Memo);
    Log->Members = Members.get();
    Log->SetRoomCaption = [this](const AnsiString& suffix) { SetCaption(suffix); };
    Log->NotifyArrival = [this] { NotifyArrival(); };

    Layout = new TchatLayout(this, Splitter1, [this] {
        if (Members->Visible()) Members->Arrange();
    });
    NameGuide = new TchatNameGuide(this, Memo, [this] {
        std::vector<AnsiString> handles;
        for (int i = 0; i < Members->Count(); ++i)
            handles.push_back(chat::HandleOf(Members->Name(i)));
        return handles;
    });
    Keys = new TchatKeys(this, CB_Enter, NameGuide);
    Keys->OnSend = [this] { btn_sendClick(); };
    // The client area below the menu bar is 487 x 468.
    resize(487, 468 + menuBar()->sizeHint().height());
}

void Tchat::SetCaption(const AnsiString& suffix) {
    setWindowTitle(QStringLiteral("Parlora:") + platform::ToQString(RoomName + suffix));
}

void Tchat::AddLogEntry(const AnsiString& sender, const AnsiString& text) {
    Log->AddLogEntry(sender, text);
}

bool Tchat::event(QEvent* e) {
    if (const platform::TWinMessageEvent* msg = platform::AsWinMessage(e)) {
        if (msg->Msg == platform::WM_SHOWSTARTDIALOG) {
            platform::Guarded([&] { StartRoom(); });
            return true;
        }
        return QMainWindow::event(e);
    }
    if (e->type() == QEvent::WindowActivate) FormActivate();
    if (e->type() == QEvent::WindowDeactivate) FormDeactivate();
    return QMainWindow::event(e);
}

void Tchat::showEvent(QShowEvent* e) {
    if (!startPosted_) FormShow();
    QMainWindow::showEvent(e);
    if (!startPosted_) {
        startPosted_ = true;
        platform::PostMessage(this, platform::WM_SHOWSTARTDIALOG, 0, 0);
    }
}

void Tchat::FormShow() {
    Log->FontD = Log->font();
    Tool1Click(); // the template item shows whether its window is open
    ApplyViewSettings();
}

void Tchat::ApplyViewSettings() {
    if (OpenedFrom) {
        resize(OpenedFrom->size());
        ShowMember->setChecked(OpenedFrom->ShowMember->isChecked());
        ShowRoomName->setChecked(OpenedFrom->ShowRoomName->isChecked());
    } else {
        settings::TViewSettings view;
        view.Left = x();
        view.Top = y();
        view.Width = width();
        view.Height = height();
        if (settings::LoadViewSettings(view)) {
            if (view.Width > 0 && view.Height > 0) resize(view.Width, view.Height);
            // "Top" and "left" are where the frame was.
            platform::MoveFrameTo(this, QPoint(view.Left, view.Top));
            ShowMember->setChecked(view.ShowMember);
            ShowRoomName->setChecked(view.ShowRoomName);
        }
    }
    Members->Arrange();
    Pnl_curretroom->setVisible(ShowRoomName->isChecked());
}

void Tchat::SaveViewSettings() {
    settings::TViewSettings view;
    const QRect frame = frameGeometry();
    view.Left = frame.left();
    view.Top = frame.top();
    view.Width = width();
    view.Height = height();
    view.ShowMember = ShowMember->isChecked();
    view.ShowRoomName = ShowRoomName->isChecked();
    view.MessageTmp = MessageTmp->isChecked();
    settings::SaveViewSettings(view);
}

void Tchat::StartRoom() {
    TchatStartResult result;
    if (context_.RunStartDialog) result = context_.RunStartDialog(*this);
    if (result.ModalResult != platform::IDOK) {
        close();
        return;
    }
    RoomName = result.RoomName;
    const AnsiString own = context_.Optfm ? context_.Optfm->OwnIPAddress() : AnsiString();
    SelfName = entry::PlayerName(own, result.Handle);
    Members->SelfName = SelfName;
    Members->Arrange();
    SetCaption("");
    Pnl_curretroom->setText(platform::ToQString(RoomName));
}

void Tchat::btn_sendClick() {
    const chat::TPayload payload = chat::BuildChatText(MemoText(Memo));
    std::optional<uint32_t> own;
    if (TDPPlayer* player = Session.OwnPlayer()) own = player->Id;
    try {
        chat::SendToRoom(
            [this](uint32_t to, const void* data, size_t size) {
                Session.SendData(to, data, static_cast<int>(size));
            },
            own, payload);
    } catch (...) {
        // Not sent: the text stays in the box (and out of the log) to send again.
        Memo->setFocus();
        throw;
    }
    Memo->clear();
    Memo->setFocus();
}

void Tchat::btn_CanClick() {
    Memo->clear();
}

void Tchat::btn_FontClick() {
    Log->ChooseFont(this);
}

void Tchat::SessionOpen(TCustomDPSession*) {
    TDPPlayers& players = Session.PlayerList();
    for (int i = 0; i < players.Count(); ++i)
        if (players[i]->Remote) Members->Add(players[i]->Name);
    if (Session.IsSessionHost()) StartHosting();
}

void Tchat::SessionAddPlayer(TCustomDPSession*, TDPPlayer* Player) {
    AddLogEntry("", entry::ArrivalLine(Player->Name));
    Members->Add(Player->Name);
}

void Tchat::SessionDeletePlayer(TCustomDPSession*, TDPPlayer* Player) {
    AddLogEntry("", entry::DepartureLine(Player->Name));
    Members->Remove(Player->Name);
}

void Tchat::SessionMessage(TCustomDPSession*, TDPPlayer* From, const void* Data, int DataSize) {
    if (!Data || DataSize < 0) return;
    chat::TPayloadEvents events;
    events.OnText = [this](const AnsiString& sender, const AnsiString& text) {
        AddLogEntry(sender, text);
    };
    events.OnGameLine = [this](const AnsiString& line) { AddLogEntry("", line); };
    events.OnJyankenReset = [this](const AnsiString&) {
        if (JyankenForm) JyankenForm->close();
    };
    events.OnJyankenDecided = [this](const AnsiString& handle) {
        JyankenClick();
        if (JyankenForm) JyankenForm->HandDecided(handle);
    };
    chat::DispatchPayload(From ? From->Name : AnsiString(), Data, static_cast<size_t>(DataSize),
                          events);
}

void Tchat::NotifyArrival() {
    TOptfm* opt = context_.Optfm;
    if (!opt || opt->K5->isChecked()) return;
    if (!isMinimized()) return;
    if (opt->K3->isChecked()) {
        // Restore: back to the state before it was minimised (maximised too).
        setWindowState(windowState() & ~Qt::WindowMinimized);
        raise();
        activateWindow();
    }
    if (opt->K2->isChecked()) platform::PlayArrivalSound();
    if (opt->K4->isChecked()) {
        // Brought to the user's attention without being restored: asking
        // the window manager to activate a minimised window would restore it.
        QApplication::alert(this);
        platform::PlayArrivalSound();
    }
}

void Tchat::FormActivate() {
    // The templates go to the chat window used most recently; the check may
    // be stale when the template window was opened or closed from another.
    Tool1Click();
    if (context_.Tempfm && MessageTmp->isChecked()) context_.Tempfm->SetChat(this, Memo);
    NameGuide->SetActive(true);
    Log->viewport()->update();
}

void Tchat::JyankenClick() {
    if (!JyankenForm) {
        JyankenForm = new Tjyankenfm(this, &Session);
        JyankenForm->OnFormClose = [this] { JyankenForm = nullptr; };
    }
    JyankenForm->Chat = this;
    JyankenForm->session = &Session;
    JyankenForm->show();
}

void Tchat::MessageTmpClick() {
    if (!context_.Tempfm) return;
    if (MessageTmp->isChecked()) {
        context_.Tempfm->SetChat(this, Memo);
        context_.Tempfm->show();
    } else {
        context_.Tempfm->close();
    }
}

void Tchat::Tool1Click() {
    MessageTmp->setChecked(context_.Tempfm && context_.Tempfm->isVisible());
}

void Tchat::FormDeactivate() {
    // Only the active window watches for ">"; a guide open here goes.
    NameGuide->SetActive(false);
}

void Tchat::NewRoomClick() {
    auto* chat = new Tchat(context_, this);
    chat->show();
}

void Tchat::SaveLogClick() {
    Log->SaveLogClick(RoomName);
}

void Tchat::ClearLogClick() {
    Log->ClearLogClick();
}

void Tchat::OptionClick() {
    if (context_.Optfm) context_.Optfm->exec();
}

void Tchat::ExitRoomClick() {
    close();
}

void Tchat::ShowMemberClick() {
    Members->Arrange();
}

void Tchat::ShowRoomNameClick() {
    Pnl_curretroom->setVisible(ShowRoomName->isChecked());
}

void Tchat::topic1Click() {
    if (context_.ShowHelp) context_.ShowHelp(this);
}

void Tchat::Info1Click() {
    if (!context_.AboutBox) return;
    // The box is shared by every chat window: it shows this window's room.
    context_.AboutBox->SetRoomState(RoomSecurityText(Session.RoomSecurity(), Session.Opened()));
    context_.AboutBox->exec();
    context_.AboutBox->SetRoomState({});
}

void Tchat::closeEvent(QCloseEvent* e) {
    if (!closing_) {
        closing_ = true;
        FormClose();
    }
    e->accept();
}

void Tchat::FormClose() {
    if (context_.MainForm)
        platform::PostMessage(context_.MainForm, platform::WM_CHATWINDOWCOUNT, 1,
                              reinterpret_cast<intptr_t>(this));
    FormDeactivate();
    platform::Guarded([&] { SaveViewSettings(); });
}
