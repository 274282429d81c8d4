// Session timing faults that show only when things happen at once: members
// joining together, and a member leaving right after a burst of sends.
#include "MemberProcess.h"
#include "SessionTestSupport.h"

#include <QTimer>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using namespace sessiontest;

namespace {

class SessionRace : public ::testing::Test {
  protected:
    void SetUp() override { ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.1", 1); }
};

// The player count in the newest STATUS line from index `from` on, or -1.
int LastStatusCount(const TMemberProcess& p, size_t from) {
    const auto& lines = p.History();
    for (size_t i = lines.size(); i-- > from;)
        if (lines[i].rfind("STATUS ", 0) == 0) return std::stoi(lines[i].substr(9));
    return -1;
}

} // namespace

TEST_F(SessionRace, MembersJoiningAtOnceAllSeeEachOther) {
    // Joiners in processes of their own, told to join in the same instant.
    // Each must list every other member, and learn of each later arrival by
    // an event: one that slipped into its list at entry would never be shown.
    constexpr int kJoiners = 4;
    constexpr int kRounds = 12;
    std::vector<std::unique_ptr<TMemberProcess>> joiners;
    for (int i = 0; i < kJoiners; ++i)
        joiners.push_back(std::make_unique<TMemberProcess>("127.0.0." + std::to_string(i + 2)));

    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const uint16_t port = FreshPort();
        TMember host;
        host.Create(port, "crowd", "host");
        std::vector<size_t> from;
        for (auto& j : joiners)
            from.push_back(j->History().size());
        for (int i = 0; i < kJoiners; ++i)
            joiners[i]->Command("join 127.0.0.1 " + std::to_string(port) + " crowd j" +
                                std::to_string(i));
        std::vector<std::string> ids;
        for (auto& j : joiners) {
            std::string open = j->WaitFor("OPEN");
            ASSERT_NE(open, "");
            ids.push_back(open.substr(5, open.find(' ', 5) - 5));
        }
        auto announced = [&](int i, const std::string& id) {
            const auto& lines = joiners[i]->History();
            for (size_t k = from[i]; k < lines.size(); ++k)
                if (lines[k].rfind("ADD " + id + " ", 0) == 0) return true;
            return false;
        };
        // The order of arrival is the order of the host's events.
        auto later = [&](int i) {
            std::vector<std::string> after;
            bool seen = false;
            for (const auto& e : host.Events) {
                if (e == "add " + ids[i])
                    seen = true;
                else if (seen && e.rfind("add ", 0) == 0)
                    after.push_back(e.substr(4));
            }
            return after;
        };

        QTimer ask;
        QObject::connect(&ask, &QTimer::timeout, [&] {
            for (auto& j : joiners)
                j->Command("status");
        });
        ask.start(100);
        const int everyone = kJoiners + 1;
        bool complete = WaitUntil([&] {
            if (host.Session.PlayerList().Count() != everyone) return false;
            for (int i = 0; i < kJoiners; ++i) {
                if (LastStatusCount(*joiners[i], from[i]) != everyone) return false;
                for (const auto& id : later(i))
                    if (!announced(i, id)) return false;
            }
            return true;
        });
        ask.stop();
        std::string state = "host " + std::to_string(host.Session.PlayerList().Count());
        for (int i = 0; i < kJoiners; ++i) {
            state += "; j" + std::to_string(i) + " lists " +
                     std::to_string(LastStatusCount(*joiners[i], from[i])) + ", not shown:";
            for (const auto& id : later(i))
                if (!announced(i, id)) state += " " + id;
        }
        ASSERT_TRUE(complete) << state;

        for (auto& j : joiners)
            j->Command("close");
        for (auto& j : joiners)
            ASSERT_NE(j->WaitFor("CLOSED"), "");
    }
}

TEST_F(SessionRace, BurstSentRightBeforeClosingTheLastSessionArrivesWhole) {
    // This process's only session sends more than the socket buffers hold
    // to a receiver that is briefly stopped, and closes at once, which also
    // ends the session service.
    constexpr int kBlocks = 200;
    constexpr size_t kBlockSize = 64 * 1024;
    const uint16_t port = FreshPort();
    TMemberProcess receiver("127.0.0.2");
    receiver.Command("create " + std::to_string(port) + " burst receiver");
    ASSERT_NE(receiver.WaitFor("OPEN"), "");

    std::vector<std::string> sent;
    uint32_t senderId = 0;
    {
        TMember sender;
        sender.Join("127.0.0.2", port, "burst", "sender");
        senderId = sender.Id();
        ASSERT_NE(receiver.WaitFor("ADD " + std::to_string(senderId)), "");
        receiver.Signal(SIGSTOP);
        for (int i = 0; i < kBlocks; ++i) {
            std::string block(kBlockSize, static_cast<char>('a' + i % 26));
            std::snprintf(block.data(), 8, "%07d", i);
            block[7] = ' ';
            sent.push_back(block);
            sender.Send(0, block);
        }
        // Woken while the closing waits for the frames to go out.
        std::thread wake([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            receiver.Signal(SIGCONT);
        });
        sender.Session.CloseSession();
        wake.join();
    }

    // Every block, in order, then the departure.
    const std::string del = "DEL " + std::to_string(senderId);
    ASSERT_NE(receiver.WaitFor(del, 30000), "");
    std::vector<std::string> received;
    const std::string msg = "MSG " + std::to_string(senderId) + " ";
    for (const auto& line : receiver.History())
        if (line.rfind(msg, 0) == 0) received.push_back(line.substr(msg.size()));
    ASSERT_EQ(received.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i)
        ASSERT_EQ(received[i], sent[i]) << "block " << i;
}
