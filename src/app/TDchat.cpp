#include "TDchat.h"

#include "TDchatstart.h"

#include "chat/TAboutBox.h"
#include "chat/Tchat.h"
#include "platform/ErrorHandler.h"
#include "platform/QtText.h"
#include "platform/THelpViewer.h"
#include "platform/WinMessage.h"
#include "platform/WindowPlace.h"
#include "reach/RoomReach.h"
#include "settings/TOptfm.h"
#include "widgets/TchatShadowTitle.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <cctype>
#include <cstring>
#include <vector>

namespace {

constexpr int kMaxPresetChars = 999;

AnsiString PresetValue(const QString& argument) {
    return platform::FromQString(argument.mid(3).left(kMaxPresetChars));
}

} // namespace

TDchat::TDchat(QStringList arguments, QWidget* parent)
    : QWidget(parent), arguments_(std::move(arguments)) {
    setObjectName("Dchat");
    setWindowTitle(QStringLiteral("Parlora"));
    // A splash screen: desktops keep it out of the taskbar, the chat windows
    // have entries of their own.
    setWindowFlags(Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setFixedSize(306, 136);

    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setLineWidth(2);
    Panel1->setGeometry(0, 0, 306, 136);
    Image1 = new QLabel(Panel1);
    Image1->setObjectName("Image1");
    Image1->setGeometry(8, 8, 41, 41);
    Image1->setPixmap(TchatShadowTitle::ProgramPicture(41));
    Title =
        new TchatShadowTitle(QStringLiteral("Parlora for DirectPlay "), 21, QPoint(40, 16), Panel1);
    Title->setObjectName("Title");
    Title->setGeometry(0, 0, 306, 60);
    Version = new QLabel(QStringLiteral("Version 3.2b   "), Panel1);
    Version->setObjectName("Version");
    Version->setFont(TchatShadowTitle::TitleFont(15));
    Version->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Version->setGeometry(100, 96, 200, 24);

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(2000);
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });

    platform::CentreOnScreen(this);

    // The help file is found beside the program when asked for.
    OpenChatCount = 0;
    context_.MainForm = this;
    context_.RunStartDialog = [this](Tchat& chat) { return RunStartDialog(chat); };
    context_.ShowHelp = [](QWidget* parent) { platform::ShowHelpContents(parent); };
}

TDchat::~TDchat() {
    // Chat windows still open use what we own (their context, the options,
    // the templates, the router's answers): they go first.
    std::vector<QPointer<Tchat>> chats;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* chat = dynamic_cast<Tchat*>(w); chat && &chat->Context() == &context_)
            chats.emplace_back(chat);
    for (auto& chat : chats)
        delete chat.data();
}

void TDchat::CreateForms(std::unique_ptr<TOptfm> optfm) {
    aboutBox_ = std::make_unique<TAboutBox>(this, Version);
    tempfm_ = std::make_unique<TTempfm>(); // loads the templates
    optfm_ = optfm ? std::move(optfm) : std::make_unique<TOptfm>();
    context_.AboutBox = aboutBox_.get();
    context_.Tempfm = tempfm_.get();
    context_.Optfm = optfm_.get();
    // The address notification; the options dialog owns the FTP log window.
    NotifyStartPage = [this] { optfm_->NotifyStartPage(); };
    NotifyExitPage = [this] { optfm_->NotifyExitPage(); };
    reach_ = std::make_unique<TRoomReach>();
    context_.Reach = reach_.get();
    reach_->Subscribe([this] { ReachChanged(); });
}

void TDchat::ReachChanged() {
    // The address outsiders can use goes first in the own-address list, and
    // so into the player name of the next room, OwnIPAddress and the page.
    std::string outside = reach_->OutsideAddress();
    std::vector<AnsiString> first;
    if (!outside.empty()) first.push_back(outside);
    optfm_->SetReach(first, QString::fromStdString(reach_->ProblemText()));
    // A page uploaded when the room was created holds the address of then:
    // once the router answers, it is uploaded again with the new one.
    if (!outside.empty() && outside != outsideTold_ && optfm_->cbNotify->isChecked() &&
        NotifyStartPage)
        NotifyStartPage();
    outsideTold_ = outside;
}

Tchat* TDchat::FirstChat() const {
    return firstChat_.data();
}

namespace {

// Whether `text` is `word` (whole) or starts with it, where only ASCII
// letters may differ in case: Unicode case folding would take "ſv" for "SV".
bool MatchesAscii(const QString& text, const char* word, bool whole) {
    const qsizetype n = static_cast<qsizetype>(std::strlen(word));
    if (whole ? text.size() != n : text.size() < n) return false;
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = text[i].unicode();
        if (c > 0x7F || std::toupper(static_cast<unsigned char>(c)) != word[i]) return false;
    }
    return true;
}

} // namespace

TDchatStartOptions TDchat::ParseCommandLine(const QStringList& arguments) {
    TDchatStartOptions options;
    for (const QString& argument : arguments) {
        if (MatchesAscii(argument, "SV", true)) options.AutoCreate = true;
        if (MatchesAscii(argument, "CL", true)) options.AutoConnect = true;
        if (MatchesAscii(argument, "HD=", false)) options.PresetHandle = PresetValue(argument);
        if (MatchesAscii(argument, "IP=", false)) options.PresetHostAddress = PresetValue(argument);
    }
    return options;
}

void TDchat::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    if (!shown_) {
        shown_ = true;
        platform::Guarded([&] { FormShow(); });
    }
}

void TDchat::FormShow() {
    if (optfm_) optfm_->LoadSettings();
    platform::PostMessage(this, platform::WM_OPENFIRSTCHAT, 0, 0);
}

bool TDchat::event(QEvent* e) {
    if (const platform::TWinMessageEvent* msg = platform::AsWinMessage(e)) {
        if (msg->Msg == platform::WM_OPENFIRSTCHAT)
            platform::Guarded([&] { OpenFirstChat(); });
        else if (msg->Msg == platform::WM_CHATWINDOWCOUNT)
            platform::Guarded([&] { ChatWindowCount(msg->WParam); });
        return true;
    }
    return QWidget::event(e);
}

void TDchat::OpenFirstChat() {
    repaint(); // the splash is drawn before the slow steps that follow
    auto* chat = new Tchat(context_);
    firstChat_ = chat;
    const TDchatStartOptions options = ParseCommandLine(arguments_);
    chat->AutoCreate = options.AutoCreate;
    chat->AutoConnect = options.AutoConnect;
    chat->PresetHandle = options.PresetHandle;
    chat->PresetHostAddress = options.PresetHostAddress;
    chat->show();
    Timer1->start();
}

void TDchat::Timer1Timer() {
    Timer1->stop();
    hide();
}

void TDchat::ChatWindowCount(intptr_t wParam) {
    if (wParam == 0) {
        ++OpenChatCount;
    } else if (wParam == 1) {
        if (OpenChatCount > 0) --OpenChatCount;
        if (OpenChatCount == 0) close();
    }
}

void TDchat::closeEvent(QCloseEvent* e) {
    if (!terminated_) FormClose();
    e->accept();
}

void TDchat::FormClose() {
    terminated_ = true;
    Timer1->stop();
    // A failed save is shown; the program ends all the same.
    platform::Guarded([&] {
        if (optfm_) optfm_->SaveSettings();
    });
    platform::Guarded([&] {
        if (optfm_ && optfm_->cbNotify->isChecked() && NotifyExitPage) NotifyExitPage();
    });
    if (tempfm_) tempfm_->SaveTemplates(); // a failure is shown, and the program still ends
    if (OnTerminate) OnTerminate();
}

TchatStartResult TDchat::RunStartDialog(Tchat& chat) {
    TDchatstart dialog(&chat, optfm_.get());
    dialog.Session = &chat.Session;
    dialog.AutoCreate = chat.AutoCreate;
    dialog.AutoConnect = chat.AutoConnect;
    dialog.PresetHandle = chat.PresetHandle;
    dialog.PresetHostAddress = chat.PresetHostAddress;
    dialog.MainVersion = Version;
    dialog.NotifyStartPage = NotifyStartPage;
    dialog.ShowHelp = context_.ShowHelp;
    TchatStartResult result;
    result.ModalResult = dialog.exec();
    result.RoomName = dialog.RoomName;
    result.Handle = dialog.Handle();
    return result;
}
