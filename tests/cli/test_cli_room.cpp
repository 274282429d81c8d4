// parlora-cli processes meeting in rooms on 127.0.0.x: entering, texts both
// ways, arrival and departure lines, leaving with nothing lost, and the ways
// entering a room fails.
#include "TCliProcess.h"
#include "chat_core/ChatPayload.h"
#include "dplay/RawClient.h"
#include "entry/ApplicationGuid.h"
#include "entry/RoomEntry.h"
#include "platform/Cp932.h"
#include "session/DPSession.h"
#include "support/SilentListener.h"
#include "support/Wait.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

QStringList Args(std::initializer_list<const char*> list, uint16_t port) {
    QStringList args;
    for (const char* a : list)
        args << QString::fromUtf8(a);
    args << "--port" << QString::number(port);
    return args;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Each test on a port of its own, so tests never meet each other's rooms.
class CliRoom : public ::testing::Test {
  protected:
    // The host of a room "r" at 127.0.0.1 with the handle h, once it has
    // shown its own arrival; none (the failure said) when it did not.
    std::unique_ptr<TCliProcess> StartHost() {
        auto host = std::make_unique<TCliProcess>(
            "127.0.0.1", Args({"--create", "r", "--handle", "h"}, port));
        if (host->WaitForLine("127.0.0.1:h さんが入室しました。")) return host;
        ADD_FAILURE() << "the host did not enter: " << host->Stderr();
        return nullptr;
    }
    // A member entering the host's room from `address`, once the host has
    // shown it arriving; none (the failure said) when it did not.
    std::unique_ptr<TCliProcess> Join(TCliProcess& host, const std::string& address,
                                      const std::string& handle,
                                      TCliOutput output = TCliOutput::Read) {
        auto member = std::make_unique<TCliProcess>(
            address, Args({"--join", "127.0.0.1", "--handle", handle.c_str()}, port), output);
        if (host.WaitForLine(address + ":" + handle + " さんが入室しました。")) return member;
        ADD_FAILURE() << handle << " did not enter: " << member->Stderr();
        return nullptr;
    }

    const uint16_t port = FreshPort();
};

TEST_F(CliRoom, MembersExchangeJapaneseBothWaysAndLeaveWithNothingLost) {
    TCliProcess hanako("127.0.0.1", Args({"--create", "表の部屋", "--handle", "花子"}, port));
    ASSERT_TRUE(hanako.WaitForLine("127.0.0.1:花子 さんが入室しました。")) << hanako.Stderr();

    TCliProcess taro("127.0.0.2", Args({"--join", "127.0.0.1", "--handle", "太郎"}, port));
    ASSERT_TRUE(taro.WaitForLine("127.0.0.2:太郎 さんが入室しました。")) << taro.Stderr();
    ASSERT_TRUE(hanako.WaitForLine("127.0.0.2:太郎 さんが入室しました。"));
    // Its own arrival is the newcomer's first line; the host shows only as present.
    EXPECT_EQ(taro.Lines().front(), "127.0.0.2:太郎 さんが入室しました。");

    hanako.Write("こんにちは、表ソ能ー①㈱～\n");
    EXPECT_TRUE(taro.WaitForLine("<花子>こんにちは、表ソ能ー①㈱～"));
    // Invalid UTF-8 and a character Shift-JIS lacks become "?", the rest stays.
    taro.Write("はい\xff\xfeです😀。\r\n");
    EXPECT_TRUE(hanako.WaitForLine("<太郎>はい??です?。"));
    EXPECT_TRUE(taro.WaitForLine("<太郎>はい??です?。"));

    // A third member, printing JSON lines.
    TCliProcess jiro("127.0.0.3",
                     Args({"--join", "127.0.0.1", "--handle", "次郎", "--jsonl"}, port));
    ASSERT_TRUE(jiro.WaitForLine([](const std::string& l) {
        return Contains(l, "\"kind\":\"arrival\"") && Contains(l, "\"sender\":\"\"") &&
               Contains(l, "\"text\":\"127.0.0.3:次郎 さんが入室しました。\"");
    })) << jiro.Stderr();
    ASSERT_TRUE(taro.WaitForLine("127.0.0.3:次郎 さんが入室しました。"));

    // Many texts and the end of input right behind them: all go out, in
    // order, before the others see the member leave.
    std::string burst;
    for (int i = 0; i < 2000; ++i)
        burst += "連番 " + std::to_string(i) + std::string(1000, 'x') + "\n";
    // The receivers are frozen meanwhile, so the texts are still on their way
    // when the sender's input ends.
    hanako.Signal(SIGSTOP);
    jiro.Signal(SIGSTOP);
    taro.Write(burst + "最後の\"行\"\\");
    taro.CloseInput();
    // Its own copy of the last line: everything has been handed to the session.
    ASSERT_TRUE(taro.WaitForLine("<太郎>最後の\"行\"\\"));
    hanako.Signal(SIGCONT);
    jiro.Signal(SIGCONT);
    EXPECT_EQ(taro.WaitForExit(), 0) << taro.Stderr();
    ASSERT_TRUE(hanako.WaitForLine("太郎 さんが退室しました。"));
    ASSERT_TRUE(jiro.WaitForLine([](const std::string& l) {
        return Contains(l, "\"kind\":\"departure\"") && Contains(l, "太郎 さんが退室しました。");
    }));
    std::vector<std::string> got;
    for (const auto& line : hanako.Lines())
        if (line.rfind("<太郎>連番 ", 0) == 0) got.push_back(line.substr(0, line.size() - 1000));
    ASSERT_EQ(got.size(), 2000u);
    for (int i = 0; i < 2000; ++i)
        EXPECT_EQ(got[static_cast<size_t>(i)], "<太郎>連番 " + std::to_string(i));
    EXPECT_EQ(hanako.Count("<太郎>最後の\"行\"\\"), 1u);
    EXPECT_TRUE(std::any_of(jiro.Lines().begin(), jiro.Lines().end(), [](const std::string& l) {
        return Contains(l, "\"kind\":\"text\",\"sender\":\"127.0.0.2:太郎\",\"handle\":\"太郎\","
                           "\"text\":\"最後の\\\"行\\\"\\\\\"}");
    }));
    // Each text exactly once, the sender's own copy included.
    EXPECT_EQ(hanako.Count("<花子>こんにちは、表ソ能ー①㈱～"), 1u);
    EXPECT_EQ(taro.Count("<花子>こんにちは、表ソ能ー①㈱～"), 1u);
    EXPECT_EQ(taro.Count("<太郎>はい??です?。"), 1u);

    // The host leaves; the last member stays in the room and sees it.
    hanako.CloseInput();
    EXPECT_EQ(hanako.WaitForExit(), 0) << hanako.Stderr();
    EXPECT_TRUE(jiro.WaitForLine(
        [](const std::string& l) { return Contains(l, "花子 さんが退室しました。"); }));
    jiro.CloseInput();
    EXPECT_EQ(jiro.WaitForExit(), 0) << jiro.Stderr();
}

TEST_F(CliRoom, EnteringWhereNoRoomAnswersFailsWithAClearMessage) {
    TCliProcess lonely("127.0.0.4", Args({"--join", "127.0.0.5", "--handle", "a"}, port));
    EXPECT_EQ(lonely.WaitForExit(), 2);
    std::string err = lonely.Stderr();
    EXPECT_TRUE(Contains(err, "127.0.0.5")) << err;
    EXPECT_TRUE(Contains(err, "no room service answers")) << err;
    EXPECT_TRUE(lonely.Lines().empty());

    // An older version's host answers in the clear: said so, not "nobody answers".
    {
        asio::io_context io;
        asio::ip::tcp::acceptor old(io, {asio::ip::make_address("127.0.0.6"), port});
        std::thread serving([&] {
            dplaytest::TRaw joiner;
            old.accept(joiner.s);
            joiner.Limit();
            const auto hello = dplaytest::RawHello(*dplay::TGuid::Parse(entry::kApplicationGuid),
                                                   dplaytest::p2::kVersion - 1);
            joiner.TryWrite(hello.data(), hello.size());
            joiner.Closed();
        });
        TCliProcess joining("127.0.0.4", Args({"--join", "127.0.0.6", "--handle", "a"}, port));
        EXPECT_EQ(joining.WaitForExit(), 2);
        serving.join();
        err = joining.Stderr();
        EXPECT_TRUE(Contains(err, "127.0.0.6")) << err;
        EXPECT_TRUE(Contains(err, "does not speak encrypted links")) << err;
    }

    // A host whose only room is another program's: nothing to enter, and
    // said so rather than offering a choice of none.
    ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.7", 1);
    TDPSession other;
    entry::Prepare(other);
    other.SetGUID("{0E9A4A5C-1B2D-4C3E-8F70-112233445566}");
    other.TCPIPSetting().Port = port;
    entry::UseTcpIp(other, "");
    entry::OpenRoom(other, true, "game", "p");
    TCliProcess stranger("127.0.0.4", Args({"--join", "127.0.0.7", "--handle", "a"}, port));
    EXPECT_EQ(stranger.WaitForExit(), 2);
    err = stranger.Stderr();
    EXPECT_TRUE(Contains(err, "127.0.0.7")) << err;
    EXPECT_TRUE(Contains(err, "no room at this address")) << err;
    EXPECT_FALSE(Contains(err, "game")) << err;
    other.CloseSession();

    TCliProcess usage("127.0.0.4", Args({"--join", "127.0.0.5"}, port)); // no handle
    EXPECT_EQ(usage.WaitForExit(), 1);
    EXPECT_TRUE(Contains(usage.Stderr(), "--handle")) << usage.Stderr();
}

TEST_F(CliRoom, RoomIsChosenByNameWhenTheHostHasSeveral) {
    TCliProcess lobby("127.0.0.1", Args({"--create", "Lobby", "--handle", "one"}, port));
    ASSERT_TRUE(lobby.WaitForLine("127.0.0.1:one さんが入室しました。")) << lobby.Stderr();
    // A room asked for by name is that room, even where the host has just one other.
    TCliProcess elsewhere(
        "127.0.0.2", Args({"--join", "127.0.0.1", "--room", "Kitchen", "--handle", "x"}, port));
    EXPECT_EQ(elsewhere.WaitForExit(), 2);
    EXPECT_TRUE(Contains(elsewhere.Stderr(), "has no room \"Kitchen\"")) << elsewhere.Stderr();
    EXPECT_TRUE(elsewhere.Lines().empty());
    // A second process on the same machine: its room is listed by the first.
    TCliProcess table("127.0.0.1", Args({"--create", "表の部屋", "--handle", "two"}, port));
    ASSERT_TRUE(table.WaitForLine("127.0.0.1:two さんが入室しました。")) << table.Stderr();

    TCliProcess unsure("127.0.0.2", Args({"--join", "127.0.0.1", "--handle", "x"}, port));
    EXPECT_EQ(unsure.WaitForExit(), 2);
    std::string err = unsure.Stderr();
    EXPECT_TRUE(Contains(err, "--room")) << err;
    EXPECT_TRUE(Contains(err, "\n  Lobby")) << err;
    EXPECT_TRUE(Contains(err, "\n  表の部屋")) << err;

    TCliProcess wrong("127.0.0.2",
                      Args({"--join", "127.0.0.1", "--room", "Kitchen", "--handle", "x"}, port));
    EXPECT_EQ(wrong.WaitForExit(), 2);
    EXPECT_TRUE(Contains(wrong.Stderr(), "Kitchen")) << wrong.Stderr();
    EXPECT_TRUE(Contains(wrong.Stderr(), "\n  表の部屋")) << wrong.Stderr();

    // Letter case is not looked at in the second byte of a double-byte
    // character: イ (83 43) and ツ (83 63) are different rooms.
    TCliProcess katakana("127.0.0.1", Args({"--create", "イ", "--handle", "k"}, port));
    ASSERT_TRUE(katakana.WaitForLine("127.0.0.1:k さんが入室しました。")) << katakana.Stderr();
    TCliProcess other("127.0.0.2",
                      Args({"--join", "127.0.0.1", "--room", "ツ", "--handle", "x"}, port));
    EXPECT_EQ(other.WaitForExit(), 2);
    EXPECT_TRUE(Contains(other.Stderr(), "has no room \"ツ\"")) << other.Stderr();
    EXPECT_TRUE(other.Lines().empty());

    // Room names are matched without regard to letter case.
    TCliProcess guest(
        "127.0.0.2",
        Args({"--join", "127.0.0.1", "--room", "表の部屋", "--handle", "three"}, port));
    ASSERT_TRUE(table.WaitForLine("127.0.0.2:three さんが入室しました。")) << guest.Stderr();
    TCliProcess guest2("127.0.0.3",
                       Args({"--join", "127.0.0.1", "--room", "lobby", "--handle", "four"}, port));
    ASSERT_TRUE(lobby.WaitForLine("127.0.0.3:four さんが入室しました。")) << guest2.Stderr();
    guest.Write("hello two\n");
    EXPECT_TRUE(table.WaitForLine("<three>hello two"));
    guest2.Write("hello one\n");
    EXPECT_TRUE(lobby.WaitForLine("<four>hello one"));
    // The rooms stay apart.
    EXPECT_EQ(lobby.Count("<three>hello two"), 0u);
    EXPECT_EQ(lobby.Count("127.0.0.2:three さんが入室しました。"), 0u);
    for (TCliProcess* p : {&guest, &guest2, &katakana, &table, &lobby}) {
        p->CloseInput();
        EXPECT_EQ(p->WaitForExit(), 0) << p->Stderr();
    }
}

TEST_F(CliRoom, AMemberWhoseOutputReaderWentAwayStaysInTheRoom) {
    // Its output piped into a reader that has already ended: every line it
    // prints fails, and it goes on sending and leaves as usual.
    auto host = StartHost();
    ASSERT_TRUE(host);
    auto mute = Join(*host, "127.0.0.2", "m", TCliOutput::ReaderGone);
    ASSERT_TRUE(mute);
    host->Write("誰か\n");
    ASSERT_TRUE(host->WaitForLine("<h>誰か"));
    mute->Write("ここにいます\n");
    EXPECT_TRUE(host->WaitForLine("<m>ここにいます")) << mute->Stderr();
    mute->CloseInput();
    EXPECT_EQ(mute->WaitForExit(), 0) << mute->Stderr();
    EXPECT_TRUE(host->WaitForLine("m さんが退室しました。"));
    host->CloseInput();
    EXPECT_EQ(host->WaitForExit(), 0);
}

TEST_F(CliRoom, ALostSessionEndsTheMemberWithAMessage) {
    // Every other member falls silent at once: our own network looks gone.
    auto host = StartHost();
    ASSERT_TRUE(host);
    // One after the other: two joins at the same moment can leave the two
    // newcomers unaware of each other (a fault of the session service).
    auto b = Join(*host, "127.0.0.2", "b");
    ASSERT_TRUE(b);
    auto c = Join(*host, "127.0.0.3", "c");
    ASSERT_TRUE(c);
    ASSERT_TRUE(b->WaitForLine("127.0.0.3:c さんが入室しました。")) << b->Stderr() << c->Stderr();
    b->Signal(SIGSTOP);
    c->Signal(SIGSTOP);
    EXPECT_EQ(host->WaitForExit(60000), 3);
    EXPECT_TRUE(Contains(host->Stderr(), "session was lost")) << host->Stderr();
}

TEST_F(CliRoom, TerminationLeavesTheRoomCleanly) {
    auto host = StartHost();
    ASSERT_TRUE(host);
    auto guest = Join(*host, "127.0.0.2", "g");
    ASSERT_TRUE(guest);
    guest->Write("さようなら\n");
    ASSERT_TRUE(guest->WaitForLine("<g>さようなら"));
    guest->Signal(SIGTERM);
    EXPECT_EQ(guest->WaitForExit(), 128 + SIGTERM);
    EXPECT_TRUE(host->WaitForLine("<g>さようなら"));
    EXPECT_TRUE(host->WaitForLine("g さんが退室しました。"));
    host->CloseInput();
    EXPECT_EQ(host->WaitForExit(), 0);
}

// Lines "連番 <i>" for i from 0, each padded with `padding` bytes.
std::string NumberedInput(int lines, size_t padding) {
    std::string input;
    for (int i = 0; i < lines; ++i)
        input += "連番 " + std::to_string(i) + std::string(padding, 'x') + "\n";
    return input;
}

// Every numbered text of h's, once and in order.
void ExpectAllOfH(const std::vector<std::string>& got, int lines) {
    ASSERT_EQ(got.size(), size_t(lines));
    for (int i = 0; i < lines; ++i)
        EXPECT_EQ(got[size_t(i)], "<h>連番 " + std::to_string(i)) << i;
}

// The numbered lines a member printed as `who`'s texts, without their padding.
std::vector<std::string> Numbered(const TCliProcess& member, const std::string& who,
                                  size_t padding) {
    std::vector<std::string> got;
    for (const auto& line : member.Lines())
        if (line.rfind("<" + who + ">連番 ", 0) == 0 && line.size() > padding)
            got.push_back(line.substr(0, line.size() - padding));
    return got;
}

TEST_F(CliRoom, AMemberThatTakesNothingHoldsTheSendersInputBackAndNoLineIsLost) {
    auto host = StartHost();
    ASSERT_TRUE(host);
    auto listener = Join(*host, "127.0.0.2", "l");
    ASSERT_TRUE(listener);
    // What the host sends the deaf member stays in the host's store for it
    // until that is full; then the room refuses every text.
    dplaytest::TDeafMember deaf(port, "127.0.0.3");
    ASSERT_TRUE(deaf.Enter(port, *dplay::TGuid::Parse(entry::kApplicationGuid)));
    ASSERT_TRUE(host->WaitForLine("raw さんが入室しました。"));

    // 170 MB of texts at once: more than the store takes (128 MiB) and the
    // sockets on the way hold.
    constexpr int kLines = 170;
    constexpr size_t kPadding = 1000000;
    host->Write(NumberedInput(kLines, kPadding));
    // Once the store is full the host takes no more input: its own copies
    // stop coming while what it was given waits on the pipe.
    auto ownCopy = [](const std::string& line) { return line.rfind("<h>連番 ", 0) == 0; };
    size_t copies = 0;
    auto since = std::chrono::steady_clock::now();
    EXPECT_TRUE(testsupport::WaitUntil(
        [&] {
            if (size_t now = host->CountNow(ownCopy); now != copies) {
                copies = now;
                since = std::chrono::steady_clock::now();
            }
            return copies > 0 && std::chrono::steady_clock::now() - since > std::chrono::seconds(1);
        },
        60000, 100));
    EXPECT_LT(copies, size_t(kLines));
    EXPECT_GT(host->InputNotTaken(), 4 * kPadding) << copies << " texts went";

    // The member goes: the host sends again, and every text arrives, once and in order.
    deaf.Leave();
    ASSERT_TRUE(host->WaitForLine("さんが退室しました。", 30000)); // "raw" holds no handle
    auto isLast = [last = "<h>連番 " + std::to_string(kLines - 1)](const std::string& l) {
        return l.rfind(last, 0) == 0;
    };
    EXPECT_TRUE(listener->WaitForLine(isLast, 60000));
    EXPECT_TRUE(host->WaitForLine(isLast));
    const auto got = Numbered(*listener, "h", kPadding);
    ExpectAllOfH(got, kLines);
    EXPECT_EQ(Numbered(*host, "h", kPadding), got);
    for (TCliProcess* p : {host.get(), listener.get()}) {
        p->CloseInput();
        EXPECT_EQ(p->WaitForExit(), 0) << p->Stderr();
    }
}

TEST_F(CliRoom, AJoinToAFullRoomIsRefusedWithAMessage) {
    std::vector<std::unique_ptr<TCliProcess>> room;
    room.push_back(std::make_unique<TCliProcess>(
        "127.0.0.1", Args({"--create", "満員", "--handle", "m0"}, port)));
    ASSERT_TRUE(room[0]->WaitForLine("127.0.0.1:m0 さんが入室しました。")) << room[0]->Stderr();
    for (int i = 1; i < 10; ++i) {
        std::string address = "127.0.0." + std::to_string(i + 1);
        std::string handle = "m" + std::to_string(i);
        room.push_back(std::make_unique<TCliProcess>(
            address, Args({"--join", "127.0.0.1", "--handle", handle.c_str()}, port)));
        ASSERT_TRUE(room[0]->WaitForLine(address + ":" + handle + " さんが入室しました。"))
            << room.back()->Stderr();
    }
    TCliProcess late("127.0.0.12", Args({"--join", "127.0.0.1", "--handle", "late"}, port));
    EXPECT_EQ(late.WaitForExit(), 2);
    EXPECT_TRUE(Contains(late.Stderr(), "満員")) << late.Stderr();
    EXPECT_TRUE(Contains(late.Stderr(), "refused")) << late.Stderr();
    EXPECT_TRUE(late.Lines().empty());
    // They leave one after another, the host first: each time the next
    // member takes over the room, and the last one leaves it empty. (Members
    // leaving in the same instant as the host and its successor may be told
    // the room is lost: no successor is left to serve it.)
    for (auto& member : room) {
        member->CloseInput();
        EXPECT_EQ(member->WaitForExit(), 0) << member->Stderr();
    }
}

TEST_F(CliRoom, GameLinesAndHostilePayloadsFromAWindowedMember) {
    // A member in this process sends what only the chat and game windows
    // send, and bytes no member of ours would send.
    TCliProcess host("127.0.0.1", Args({"--create", "r", "--handle", "h", "--jsonl"}, port));
    ASSERT_TRUE(host.WaitForLine([](const std::string& l) { return Contains(l, "arrival"); }))
        << host.Stderr();
    ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.6", 1);
    TDPSession window;
    entry::Prepare(window);
    window.TCPIPSetting().Port = port;
    entry::UseTcpIp(window, "127.0.0.1");
    entry::OpenRoom(window, false, "r", platform::Utf8ToCp932("127.0.0.6:表ソ"));
    auto send = [&](const std::string& bytes) {
        window.SendData(0, bytes.data(), static_cast<int>(bytes.size()));
    };
    send(chat::BuildJyankenDecide(chat::jhRock));
    send(chat::BuildJyankenReveal(7));                        // no such hand
    send(std::string("\x03\0\0\0\x01\0\0\0", 8));             // unknown kind
    send(std::string("\x01\0\0\0\x05\0\0", 7));               // cut short
    send(std::string("\0\0\0\0\xff\xff\xff\x7f", 8) + "abc"); // L past the end
    send(std::string("\0\0\0\0\xfe\xff\xff\xff", 8) + "neg"); // negative L
    send(chat::BuildJyankenReveal(chat::jhScissors));
    send(chat::BuildJyankenDecide(chat::jhReset));
    send(chat::BuildChatText(platform::Utf8ToCp932("おわり")));
    ASSERT_TRUE(host.WaitForLine([](const std::string& l) { return Contains(l, "おわり"); }));
    std::vector<std::string> got;
    for (const auto& line : host.Lines()) {
        auto at = line.find("\"kind\":");
        if (at != std::string::npos && !Contains(line, "arrival"))
            got.push_back(line.substr(at, line.size() - at - 1));
    }
    const std::string game = "\"kind\":\"game\",\"sender\":\"\",\"handle\":\"\",\"text\":";
    const std::string text =
        "\"kind\":\"text\",\"sender\":\"127.0.0.6:表ソ\",\"handle\":\"表ソ\",\"text\":";
    EXPECT_EQ(got, (std::vector<std::string>{
                       game + "\"表ソがJyankenの手を決めました\"",
                       text + "\"abc\"",
                       game + "\"表ソはちょきを出しました\"",
                       game + "\"Jyankenは表ソによってリセットされました\"",
                       text + "\"おわり\"",
                   }));
    window.CloseSession();
    EXPECT_TRUE(host.WaitForLine([](const std::string& l) { return Contains(l, "departure"); }));
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0);
}

} // namespace

TEST_F(CliRoom, ADirectoryPortHeldByAnotherProgramIsNamedWithItsCause) {
    // Another program listens on the port and never says a word.
    testsupport::TSilentListener holder(0x7F000006, port); // 127.0.0.6
    ASSERT_TRUE(holder.Ok());
    TCliProcess host("127.0.0.6", Args({"--create", "表の部屋", "--handle", "a"}, port));
    EXPECT_EQ(host.WaitForExit(), 2);
    std::string err = host.Stderr();
    EXPECT_TRUE(Contains(err, "セッション '表の部屋' を開けません")) << err;
    EXPECT_TRUE(Contains(err, "TCP port " + std::to_string(port))) << err;
    EXPECT_TRUE(Contains(err, "held by another program")) << err;
}

TEST_F(CliRoom, AMalformedAddressIsToldBeforeAnyNetworkAndIPv6SaysItIsNotYet) {
    const struct {
        const char* Typed;
        const char* Told;
    } typos[] = {
        {"[::1", "'[' without its ']'"},
        {"1.2.3.4:99999", "a port is a number from 1 to 65535"},
        {"1.2.3.4:0", "a port is a number from 1 to 65535"},
        {"fe80::1%eth0", "zone ids"},
        {"１９２．１６８．０．５", "non-ASCII"},
        {"host name", "blank"},
        {"a..b", "empty label"},
    };
    for (const auto& typo : typos) {
        TCliProcess p("127.0.0.4", {"--join", QString::fromUtf8(typo.Typed), "--handle", "a"});
        // A bad command line (1), not a room that could not be entered (2).
        EXPECT_EQ(p.WaitForExit(), 1) << typo.Typed;
        const std::string err = p.Stderr();
        EXPECT_TRUE(Contains(err, typo.Told)) << typo.Typed << ": " << err;
        EXPECT_TRUE(Contains(err, "--join ")) << err;
    }
    // The Japanese says it too.
    TCliProcess open("127.0.0.4", {"--join", "[::1", "--handle", "a"});
    EXPECT_EQ(open.WaitForExit(), 1);
    EXPECT_TRUE(Contains(open.Stderr(), "「[」を「]」で閉じて下さい")) << open.Stderr();

    // Two different ports for one host.
    TCliProcess twice("127.0.0.4", Args({"--join", "127.0.0.5:1234", "--handle", "a"}, port));
    EXPECT_EQ(twice.WaitForExit(), 1);
    EXPECT_TRUE(Contains(twice.Stderr(), "name different ports")) << twice.Stderr();

    TCliProcess missing("127.0.0.4", {"--join", "no-such-host.invalid", "--handle", "a"});
    EXPECT_EQ(missing.WaitForExit(), 2);
    EXPECT_TRUE(Contains(missing.Stderr(), "no-such-host.invalid:")) << missing.Stderr();
}

// Over IPv6 loopback: the host's address typed bare with --port and in
// brackets with its port; handles and texts as over IPv4.
TEST_F(CliRoom, ARoomIsEnteredAtAnIpv6Address) {
    TCliProcess host("::1", Args({"--create", "lobby", "--handle", "h"}, port));
    ASSERT_TRUE(host.WaitForLine("[::1]:h さんが入室しました。")) << host.Stderr();
    TCliProcess bare("::1", Args({"--join", "::1", "--handle", "b"}, port));
    ASSERT_TRUE(host.WaitForLine("[::1]:b さんが入室しました。")) << bare.Stderr();
    TCliProcess bracketed("::1", {"--join", "[::1]:" + QString::number(port), "--handle", "k"});
    ASSERT_TRUE(bare.WaitForLine("[::1]:k さんが入室しました。")) << bracketed.Stderr();
    bracketed.Write("over six\n");
    EXPECT_TRUE(host.WaitForLine("<k>over six")) << host.Stderr();
    EXPECT_TRUE(bare.WaitForLine("<k>over six")) << bare.Stderr();
    host.Write("back\n");
    EXPECT_TRUE(bracketed.WaitForLine("<h>back")) << bracketed.Stderr();
    for (TCliProcess* p : {&bracketed, &bare, &host}) {
        p->CloseInput();
        EXPECT_EQ(p->WaitForExit(), 0) << p->Stderr();
    }
}

TEST_F(CliRoom, ARoomIsEnteredByNameAtTheTypedPort) {
    TCliProcess host("127.0.0.1", Args({"--create", "lobby", "--handle", "h"}, port));
    ASSERT_TRUE(host.WaitForLine("127.0.0.1:h さんが入室しました。")) << host.Stderr();
    // No --port: the port comes from the address.
    TCliProcess guest("127.0.0.2",
                      {"--join", "localhost:" + QString::number(port), "--handle", "g"});
    ASSERT_TRUE(host.WaitForLine("127.0.0.2:g さんが入室しました。")) << guest.Stderr();
    guest.CloseInput();
    EXPECT_EQ(guest.WaitForExit(), 0) << guest.Stderr();
    host.CloseInput();
    EXPECT_EQ(host.WaitForExit(), 0) << host.Stderr();
}

// Left disabled: the session service loses texts here (run it with
// --gtest_also_run_disabled_tests). The host pastes 60 texts of 1 MB and
// leaves at once, while a member's program takes nothing for a few seconds
// (its output is not read meanwhile, as with a pipe into a slow program):
// the host prints all 60 as sent and ends with 0 some 6 s later, and the
// member then prints 35 to 49 of them (six runs) and the host's departure.
TEST_F(CliRoom, AHostLeavingRightAfterALongPasteLosesNoTextForASlowReader) {
    auto host = StartHost();
    ASSERT_TRUE(host);
    auto listener = Join(*host, "127.0.0.2", "l");
    ASSERT_TRUE(listener);
    constexpr int kLines = 60;
    constexpr size_t kPadding = 1000000;
    host->Write(NumberedInput(kLines, kPadding));
    host->CloseInput();
    // The listener's output goes unread for a while (a terminal scrolled
    // back, a pager): it prints nothing and stops taking from the room long
    // after the host's input ended. The host does not go meanwhile.
    EXPECT_EQ(host->WaitForExit(12000), -1) << "left the slow reader behind: " << host->Stderr();
    // Then the listener is read again: the host finishes and ends as usual.
    auto ownLine = [](const std::string& l) { return l.rfind("<h>連番 ", 0) == 0; };
    int code = -1;
    EXPECT_TRUE(testsupport::WaitUntil(
        [&] {
            listener->CountNow(ownLine);
            code = host->WaitForExit(0);
            return code != -1;
        },
        60000, 50));
    EXPECT_EQ(code, 0) << host->Stderr();
    EXPECT_EQ(host->CountNow(ownLine), size_t(kLines));
    ASSERT_TRUE(listener->WaitForLine("h さんが退室しました。", 60000));
    const auto got = Numbered(*listener, "h", kPadding);
    ExpectAllOfH(got, kLines);
}

TEST_F(CliRoom, AHostThatCannotDeliverWhatItSentBeforeLeavingSaysSo) {
    auto host = StartHost();
    ASSERT_TRUE(host);
    auto listener = Join(*host, "127.0.0.2", "l");
    ASSERT_TRUE(listener);
    // The listener stops; the host's paste waits for it after the host's
    // input ended, and the listener dies before it took it.
    listener->Signal(SIGSTOP);
    host->Write(NumberedInput(20, 1000000));
    host->CloseInput();
    ASSERT_TRUE(host->WaitForStderr("leaving: waiting until every member has taken what was sent"))
        << host->Stderr();
    listener->Signal(SIGKILL);
    EXPECT_EQ(host->WaitForExit(30000), 4) << host->Stderr();
    EXPECT_TRUE(Contains(host->Stderr(), "not everything sent reached every member"))
        << host->Stderr();
}
