#pragma once
// A chat window fixture on real sessions over loopback: the start dialog's
// network work runs without its window, and the windows count themselves to
// a stand-in main form.
#include "app/AppTestSupport.h"

#include "chat/Tchat.h"
#include "chatlog/TChatLog.h"
#include "chatlog/TMembers.h"
#include "entry/RoomEntry.h"
#include "platform/ErrorHandler.h"
#include "platform/QtText.h"
#include "platform/WinMessage.h"
#include "settings/TOptfm.h"

#include <QPlainTextEdit>
#include <gtest/gtest.h>
#include <memory>

namespace tchattest {

using namespace apptest;

// Stands in for the main form: counts the chat windows' count messages.
class TCounter : public QWidget {
  public:
    std::vector<intptr_t> Counts; // the wParam of each message
    bool event(QEvent* e) override {
        if (const auto* msg = platform::AsWinMessage(e)) {
            if (msg->Msg == platform::WM_CHATWINDOWCOUNT) Counts.push_back(msg->WParam);
            return true;
        }
        return QWidget::event(e);
    }
};

inline std::vector<std::string> LogLines(const Tchat* chat) {
    std::vector<std::string> lines;
    for (int i = 0; i < chat->Log->LineCount(); ++i)
        lines.push_back(Utf8(chat->Log->LineAt(i)));
    return lines;
}

inline bool LogHas(const Tchat* chat, const std::string& line) {
    for (const std::string& l : LogLines(chat))
        if (l == line) return true;
    return false;
}

class TchatTest : public ::testing::Test {
  protected:
    void SetUp() override {
        UseLoopback();
        optfm =
            std::make_unique<TOptfm>(nullptr, [] { return std::vector<AnsiString>{"127.0.0.1"}; });
        context.MainForm = &counter;
        context.Optfm = optfm.get();
        context.Port = FreshPort();
        // The start dialog's network work without its window: AutoCreate
        // creates the room named in PresetHostAddress, otherwise it is joined.
        context.RunStartDialog = [this](Tchat& chat) {
            TchatStartResult result;
            if (cancelStart) return result;
            entry::UseTcpIp(chat.Session, chat.AutoCreate ? "" : "127.0.0.1");
            entry::OpenRoom(chat.Session, chat.AutoCreate, chat.PresetHostAddress,
                            entry::PlayerName("127.0.0.1", chat.PresetHandle));
            result.ModalResult = platform::IDOK;
            result.RoomName = chat.PresetHostAddress;
            result.Handle = chat.PresetHandle;
            return result;
        };
    }
    void TearDown() override {
        for (auto& chat : chats)
            delete chat.data();
    }

    Tchat* Open(const char* handle, const char* room, bool create) {
        auto* chat = new Tchat(context);
        chat->PresetHandle = Sjis(handle);
        chat->PresetHostAddress = Sjis(room);
        chat->AutoCreate = create;
        chat->show();
        chats.push_back(chat);
        EXPECT_TRUE(WaitUntil([&] { return !chat->RoomName.empty(); }))
            << (boxes.Boxes.empty() ? "" : boxes.Boxes.back().Text);
        return chat;
    }
    void Type(Tchat* chat, const char* utf8) { chat->Memo->setPlainText(QString::fromUtf8(utf8)); }

    TCounter counter;
    std::unique_ptr<TOptfm> optfm;
    TchatContext context;
    std::vector<QPointer<Tchat>> chats;
    bool cancelStart = false;
    TBoxCatcher boxes;
};

} // namespace tchattest
