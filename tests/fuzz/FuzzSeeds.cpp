// Writes seed inputs for the fuzz targets as the program itself produces
// them: a settings file written by the store, the same settings as the
// Windows registry editor exports them, a template file, chat payloads, the
// frames a member sends, and texts for the Shift-JIS routines.
//   fuzz_seeds <folder>   -> <folder>/<target>/seed-<what>
// The FTP replies come from a real server (scripts/fuzz-ftp-replies.py).
#include "chat_core/ChatPayload.h"
#include "dplay/protocol/DPProtocol.h"
#include "dplay/protocol/DPProtocol2.h"
#include "entry/ApplicationGuid.h"
#include "platform/Cp932.h"
#include "platform/RegStore.h"
#include "templates/TemplateFile.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using platform::RegStore;

namespace {

fs::path g_out;

void Seed(const char* target, const std::string& what, const std::string& bytes) {
    fs::create_directories(g_out / target);
    std::ofstream(g_out / target / ("seed-" + what), std::ios::binary) << bytes;
}

AnsiString J(const char* utf8) {
    return platform::Utf8ToCp932(utf8);
}

std::string Le32(uint32_t n) {
    std::string s;
    for (int i = 0; i < 4; ++i)
        s += static_cast<char>((n >> (8 * i)) & 0xFF);
    return s;
}

void RegistrySeeds() {
    fs::path file = g_out / "HKEY_LOCAL_MACHINE.reg";
    fs::remove(file);
    {
        RegStore store(file, "HKEY_LOCAL_MACHINE");
        const AnsiString main = "SOFTWARE\\Parlora3", notify = main + "\\Notify";
        store.CreateKey(notify);
        for (const char* k : {"main_K2", "main_K3", "main_K4", "main_K5", "chatenter"})
            store.SetValue(main, k, platform::REG_DWORD, Le32(k[6] == '5'));
        store.SetValue(notify, "Notify", platform::REG_DWORD, Le32(1));
        store.SetValue(notify, "ftpaddress", platform::REG_SZ, "ftp.example.jp");
        store.SetValue(notify, "pwd", platform::REG_SZ, "p\"a\\ss");
        store.SetValue(notify, "connecting", platform::REG_SZ,
                       J("/home/太郎/表示ソフト/start.html"));
        store.SetValue(notify, "ftpdir", platform::REG_SZ, J("public_html\\能力\\ip.html"));
        store.SetValue(notify, "exp", platform::REG_EXPAND_SZ, "%HOME%\\x");
        store.SetValue(notify, "bin", platform::REG_BINARY, std::string("\0\1\x81\x5c\xff", 5));
        const char* handles[] = {"ソ", "表示", "Taro", "ハンドル名ー", "①㈱～"};
        store.CreateKey(main + "\\handles");
        for (int i = 0; i < 5; ++i)
            store.SetValue(main + "\\handles", std::to_string(i), platform::REG_SZ, J(handles[i]));
        store.SetValue(main + "\\handles", "5", platform::REG_SZ, std::string("\x81\"a", 3));
        store.CreateKey(main + "\\IPaddress");
        store.SetValue(main + "\\IPaddress", "0", platform::REG_SZ, "127.0.0.1");
        store.SetValue(main + "\\IPaddress", "lines", platform::REG_SZ, "a\r\nb");
    }
    std::ifstream in(file, std::ios::binary);
    Seed("registry", "written", std::string(std::istreambuf_iterator<char>(in), {}));
    fs::remove(file);
    fs::remove(file.string() + ".lock");

    // As the Windows registry editor exports it (REGEDIT4, CP932, CR LF,
    // long hex data wrapped with a backslash and two blanks).
    Seed("registry", "windows-export",
         "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Parlora3]\r\n"
         "\"main_K2\"=dword:00000000\r\n\"main_K5\"=dword:00000001\r\n\r\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Parlora3\\Notify]\r\n"
         "\"ftpdir\"=\"public_html\\\\" +
             J("表示") + "\\\\ip.html\"\r\n\"" + J("ソ") + "\"=\"" + J("ソ") +
             "\"\r\n"
             "\"exp\"=hex(2):25,00,53,00,59,00,53,00,54,00,45,00,4d,00,52,00,4f,00,4f,00,54,\\\r\n"
             "  00,25,00,00,00\r\n@=\"\"\r\n\r\n"
             "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Parlora3\\handles]\r\n\"0\"=\"" +
             J("太郎") + "\"\r\n\r\n");
}

void TemplateSeeds() {
    Seed("templates", "written",
         templates::SerialiseTemplates(
             {{J("こんにちは")}, {J("表示ソフト"), "second line", ""}, {"[TEMPLATE]x", J("ー")}}));
    Seed("templates", "hand-edited",
         "before any\n[TEMPLATE]\nunix\nlines\r[TEMPLATE]\rmac\r\n[TEMPLATE]\r\n" + J("能") +
             "\r\n[TEMPLATE]");
}

void ChatSeeds() {
    const std::string name = "192.168.0.5:" + J("ソフト");
    auto withSender = [&](const std::string& payload) {
        return std::string(1, static_cast<char>(name.size())) + name + payload;
    };
    Seed("chat_payload", "text", withSender(chat::BuildChatText(J("表示テスト①：\\ok"))));
    Seed("chat_payload", "empty-text", withSender(chat::BuildChatText("")));
    Seed("chat_payload", "decide", withSender(chat::BuildJyankenDecide(chat::jhPaper)));
    Seed("chat_payload", "reset", withSender(chat::BuildJyankenDecide(chat::jhReset)));
    Seed("chat_payload", "reveal", withSender(chat::BuildJyankenReveal(chat::jhNone)));
}

void DplaySeeds() {
    using namespace dplay::proto;
    namespace p2 = dplay::proto2;
    auto bytes = [](const TFrame& f) { return std::string(f->begin(), f->end()); };
    auto app = *dplay::TGuid::Parse(entry::kApplicationGuid);
    auto instance = dplay::TGuid::Create();
    std::string hello = bytes(EncodeHello(THello{app}));
    TRoomInfo room{app, instance, 47624, 10, 2, J("表示'ROOM")};
    p2::TSecret secret;
    secret.fill(0x5A);
    std::string join = "\x10" + hello + bytes(EncodeJoinRequest(instance)) +
                       bytes(EncodeCreatePlayer(TCreatePlayer{47626, "127.0.0.2:Taro"})) +
                       bytes(p2::EncodeData(1, "\0\0\0\0", 4)) + bytes(EncodeEmpty(PING));
    Seed("dplay_frames", "join", join);
    Seed("dplay_frames", "enum", "\x03" + hello + bytes(EncodeEmpty(ENUM_REQUEST)));
    const std::string text = chat::BuildChatText(J("ソ"));
    Seed("dplay_frames", "peer",
         "\x3f" + hello + bytes(p2::EncodePeerHello({instance, 7, 8, secret})) +
             bytes(p2::EncodeData(1, text.data(), uint32_t(text.size()))));
    // The replies a host sends, each after a HELLO so every decoder sees them.
    Seed("dplay_frames", "replies",
         "\x40" + hello + bytes(EncodeEnumReply({room, room})) + bytes(EncodeJoinAccept(room)) +
             bytes(EncodeJoinRefuse(-5)) + bytes(EncodeRoomAdd(room)) +
             bytes(EncodeRoomRemove(instance)));
}

void SjisSeeds() {
    Seed("sjistext", "player-name", "\x02:" + ("192.168.0.5:" + J("ソフト表示能ー")));
    Seed("sjistext", "path", "\x02\\" + J("C:\\表示\\ソ\\x"));
    Seed("sjistext", "number", "\x01" + std::string("12345"));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    g_out = argv[1];
    RegistrySeeds();
    TemplateSeeds();
    ChatSeeds();
    DplaySeeds();
    SjisSeeds();
    return 0;
}
