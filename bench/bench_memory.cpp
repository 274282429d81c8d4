// Memory of the process with three chat windows whose logs are full
// (10,000 lines each), offscreen. Prints resident set sizes; asserts nothing.
#include "chat/Tchat.h"
#include "chat/TchatContext.h"
#include "chatlog/TChatLog.h"
#include "platform/Cp932.h"
#include "platform/ErrorHandler.h"
#include "settings/TOptfm.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {
long RssKiB() {
    std::ifstream in("/proc/self/status");
    std::string key;
    while (in >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            in >> kib;
            return kib;
        }
        in.ignore(1 << 16, '\n');
    }
    return -1;
}
} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    platform::SetMessageBoxHook([](const QString&, const QString&, unsigned) { return 1; });
    long base = RssKiB();

    TOptfm optfm(nullptr, [] { return std::vector<AnsiString>{"127.0.0.1"}; });
    TchatContext context;
    context.Optfm = &optfm;
    // The windows are not in rooms: the measure is of windows and logs.
    context.RunStartDialog = [](Tchat& chat) {
        TchatStartResult r;
        r.ModalResult = 1;
        r.RoomName = "Room";
        r.Handle = chat.PresetHandle;
        return r;
    };
    std::vector<std::unique_ptr<Tchat>> chats;
    for (int i = 0; i < 3; ++i) {
        chats.push_back(std::make_unique<Tchat>(context));
        chats.back()->PresetHandle = "member" + std::to_string(i);
        chats.back()->show();
    }
    QCoreApplication::processEvents();
    long windows = RssKiB();

    const AnsiString text = platform::Utf8ToCp932(
        "こんにちは、今日の会議は三時からです。資料は共有フォルダーにあります。");
    for (auto& chat : chats)
        for (int i = 0; i < 12000; ++i)
            chat->Log->AddLogEntry("127.0.0.1:member", text + " #" + std::to_string(i));
    QCoreApplication::processEvents();
    long full = RssKiB();

    std::printf("lines per log: %d %d %d\n", chats[0]->Log->LineCount(), chats[1]->Log->LineCount(),
                chats[2]->Log->LineCount());
    std::printf("resident: start %ld KiB, 3 windows %ld KiB, 3 full logs %ld KiB\n", base, windows,
                full);
    std::printf("per full log: %ld KiB\n", (full - windows) / 3);
    return 0;
}
