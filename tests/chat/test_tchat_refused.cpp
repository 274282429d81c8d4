// A text the room refuses (a member takes nothing, and the sender's store
// for it is full) is not lost: it stays in the box, out of the log, and the
// user is told; once the member is gone it goes as usual.
#include "TchatFixture.h"

#include "dplay/RawClient.h"
#include "entry/ApplicationGuid.h"
#include "session/DPPlayers.h"
#include "session/DPSessionError.h"

#include <QPushButton>
#include <gtest/gtest.h>
#include <string>

using namespace apptest;
using namespace tchattest;

namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST_F(TchatTest, ATextTheRoomRefusesStaysInTheBoxAndTheUserIsTold) {
    Tchat* a = Open("Taro", "Full", true);
    dplaytest::TDeafMember deaf(context.Port, "127.0.0.2");
    ASSERT_TRUE(deaf.Enter(context.Port, *dplay::TGuid::Parse(entry::kApplicationGuid)));
    ASSERT_TRUE(WaitUntil([&] { return LogHas(a, "raw さんが入室しました。"); }));
    TDPPlayer* raw = nullptr;
    for (int i = 0; i < a->Session.PlayerList().Count(); ++i)
        if (a->Session.PlayerList()[i]->Name == "raw") raw = a->Session.PlayerList()[i];
    ASSERT_TRUE(raw);

    // Blocks to it alone until the room refuses one, then smaller ones down
    // to the smallest: its store is full, with no room left for a text.
    int sent = 0;
    size_t bytes = 0;
    for (size_t size = 4 << 20; size >= 4; size /= 2) {
        const std::string block(size, 'x');
        bool refused = false;
        while (!refused && sent < 1000) {
            try {
                a->Session.SendData(raw->Id, block.data(), static_cast<int>(block.size()));
                ++sent;
                bytes += size;
            } catch (const EDPSessionBusy&) {
                refused = true;
            }
        }
        ASSERT_TRUE(refused) << sent << " blocks taken";
    }
    EXPECT_GE(bytes, 120u << 20); // the store holds nearly 128 MiB before it refuses

    Type(a, "届くまで待って");
    const int lines = a->Log->LineCount();
    a->btn_send->click();
    ASSERT_EQ(boxes.Boxes.size(), 1u);
    EXPECT_TRUE(Contains(boxes.Boxes[0].Text, "送信できませんでした")) << boxes.Boxes[0].Text;
    EXPECT_EQ(a->Memo->toPlainText(), "届くまで待って");
    EXPECT_EQ(a->Log->LineCount(), lines);
    EXPECT_FALSE(LogHas(a, "<Taro>届くまで待って"));

    // The member goes, and with it its store: the same text goes now.
    deaf.Leave();
    // Its player name "raw" holds no handle.
    ASSERT_TRUE(WaitUntil([&] { return LogHas(a, "さんが退室しました。"); }));
    a->btn_send->click();
    EXPECT_EQ(boxes.Boxes.size(), 1u);
    EXPECT_TRUE(LogHas(a, "<Taro>届くまで待って"));
    EXPECT_TRUE(a->Memo->toPlainText().isEmpty());
}

} // namespace
