// Rooms over real networks made of namespaces: a public network, members
// behind NAT routers of their own, links that go down, processes frozen with
// SIGSTOP. The members are session helpers in processes of their own, each
// started inside its machine's namespace.
#include "MemberProcess.h"
#include "NetLab.h"
#include "SessionTestSupport.h"
#include "platform/MessagePump.h"

#include <chrono>
#include <csignal>
#include <dirent.h>
#include <gtest/gtest.h>
#include <memory>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace sessiontest;
using namespace std::chrono;

namespace {

struct TLabMember {
    TLabMember(TNetLab& lab, const std::string& machine, const std::string& address)
        : Name(machine), Process(address, 0, lab.Inside(machine)) {}
    std::string Name;
    TMemberProcess Process;
    uint32_t Id = 0;
    int Order = -1; // when it entered its room, among all members of the test

    bool Open(const std::string& command) {
        Process.Command(command);
        std::string line = Process.WaitFor("OPEN", 20000);
        if (line.size() <= 5) return false;
        Id = static_cast<uint32_t>(std::stoul(line.substr(5)));
        static int opened = 0;
        Order = opened++;
        return true;
    }
    void Say(const std::string& text) { Process.Command("send 0 " + text); }
    // Index of the line in everything read so far; -1 if it never came in time.
    int Saw(const std::string& line, int timeoutMs = 15000) {
        int at = -1;
        platform::PumpUntil(
            [&] {
                const auto& lines = Process.History();
                for (size_t i = 0; i < lines.size(); ++i)
                    if (lines[i] == line) return (at = static_cast<int>(i)) >= 0;
                return false;
            },
            timeoutMs);
        return at;
    }
    // Whether `other` is in the room as we see it (within 15 s): one that was
    // there before us came with our welcome, a later one arrives.
    bool Knows(const TLabMember& other) {
        if (other.Order < Order) return true;
        const std::string arrival = "ADD " + std::to_string(other.Id) + " ";
        return platform::PumpUntil(
            [&] {
                for (const std::string& line : Process.History())
                    if (line.rfind(arrival, 0) == 0) return true;
                return false;
            },
            15000);
    }
    std::string Said(const std::string& text) const {
        return "MSG " + std::to_string(Id) + " " + text;
    }
};

class NetnsRoom : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto why = TNetLab::Unavailable(); !why.empty()) GTEST_SKIP() << why;
        lab = std::make_unique<TNetLab>();
        port = FreshPort();
    }
    void TearDown() override {
        members.clear(); // before their namespaces go
        lab.reset();
    }
    TLabMember& Member(const std::string& machine, const std::string& address) {
        members.push_back(std::make_unique<TLabMember>(*lab, machine, address));
        return *members.back();
    }
    std::string Create() const { return "create " + std::to_string(port) + " room host"; }
    std::string JoinAt(const std::string& host, const std::string& name) const {
        return "join " + host + " " + std::to_string(port) + " room " + name;
    }
    // Every member says two texts; every other one hears both, in order.
    // A text goes to the room its sender knows: each first learns of the
    // others (a newcomer is welcomed once most of the room took it in, and a
    // member that was frozen reads of it when it resumes).
    void ExpectAllHearEachOther(const std::vector<TLabMember*>& room, const std::string& tag) {
        for (TLabMember* m : room)
            for (TLabMember* other : room) {
                if (other != m) {
                    EXPECT_TRUE(m->Knows(*other)) << m->Name << " never learnt of " << other->Name;
                }
            }
        for (TLabMember* m : room) {
            m->Say(tag + "-1-" + m->Name);
            m->Say(tag + "-2-" + m->Name);
        }
        for (TLabMember* from : room)
            for (TLabMember* to : room) {
                if (from == to) continue;
                int first = to->Saw(from->Said(tag + "-1-" + from->Name));
                int second = to->Saw(from->Said(tag + "-2-" + from->Name));
                EXPECT_GE(first, 0)
                    << to->Name << " never heard " << from->Name << " (" << tag << ")";
                if (first >= 0) {
                    EXPECT_GT(second, first)
                        << to->Name << " heard " << from->Name << " out of order";
                }
            }
    }
    // Rooms listed at address, asked from inside machine; -1 when nothing answers there.
    int RoomsListedAt(const std::string& machine, const std::string& myAddress,
                      const std::string& address) {
        TLabMember& lister = Member(machine, myAddress);
        lister.Process.Command("list " + address + " " + std::to_string(port));
        std::string line = lister.Process.WaitFor("", 15000);
        if (line.rfind("ROOMS ", 0) == 0) return std::stoi(line.substr(6));
        return -1;
    }
    // After the host leaves: whoever is not told it lost the room carries on
    // with all the others that stay, as one room (a member that cannot reach
    // the successor is told; one that is neither told nor heard fails).
    void ExpectCarryOnOrLost(const std::vector<TLabMember*>& rest, TLabMember& host) {
        for (TLabMember* m : rest)
            m->Saw("DEL " + std::to_string(host.Id), 25000);
        std::vector<TLabMember*> stayed;
        for (TLabMember* m : rest)
            if (m->Saw("LOST", 3000) < 0) stayed.push_back(m);
        ExpectAllHearEachOther(stayed, "after-the-host");
    }

    // host, p and q on the public network, in one room; "new" is a machine
    // on it with nobody yet.
    void PublicRoomOfThree() {
        lab->AddPublic("host", 2);
        lab->AddPublic("p", 5);
        lab->AddPublic("q", 6);
        lab->AddPublic("new", 9);
        host_ = &Member("host", TNetLab::PublicAddress(2));
        p_ = &Member("p", TNetLab::PublicAddress(5));
        q_ = &Member("q", TNetLab::PublicAddress(6));
        ASSERT_TRUE(host_->Open(Create()));
        ASSERT_TRUE(p_->Open(JoinAt(TNetLab::PublicAddress(2), "p")));
        ASSERT_TRUE(q_->Open(JoinAt(TNetLab::PublicAddress(2), "q")));
    }

    std::unique_ptr<TNetLab> lab;
    std::vector<std::unique_ptr<TLabMember>> members;
    TLabMember *host_ = nullptr, *p_ = nullptr, *q_ = nullptr;
    uint16_t port = 0;
};

// The lab namespaces of a process, or (in /etc/netns) their hosts files' folders.
std::vector<std::string> LabNamespacesOf(pid_t pid, const char* folder = "/run/netns") {
    std::vector<std::string> found;
    const std::string mark = "pl" + std::to_string(pid) + "-";
    if (DIR* dir = ::opendir(folder)) {
        while (dirent* e = ::readdir(dir))
            if (std::string(e->d_name).rfind(mark, 0) == 0) found.push_back(e->d_name);
        ::closedir(dir);
    }
    return found;
}

} // namespace

TEST(NetLab, NothingIsLeftBehindEvenAfterACrash) {
    if (auto why = TNetLab::Unavailable(); !why.empty()) GTEST_SKIP() << why;
    {
        TNetLab lab;
        lab.AddPublic("host", 2);
        lab.AddBehindNat("a", 11);
        lab.SetHosts("a", "10.77.0.2 host.lab.test");
        EXPECT_EQ(LabNamespacesOf(::getpid()).size(), lab.Namespaces().size());
        EXPECT_EQ(LabNamespacesOf(::getpid(), "/etc/netns").size(), 1u);
    }
    EXPECT_TRUE(LabNamespacesOf(::getpid()).empty());
    EXPECT_TRUE(LabNamespacesOf(::getpid(), "/etc/netns").empty());

    // A process that dies with its lab still up: the next lab clears it away.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto* lab = new TNetLab; // never destroyed
        lab->AddBehindNat("a", 11);
        lab->SetHosts("a", "10.77.0.2 host.lab.test");
        ::raise(SIGKILL);
    }
    ::waitpid(child, nullptr, 0);
    EXPECT_FALSE(LabNamespacesOf(child).empty());
    EXPECT_FALSE(LabNamespacesOf(child, "/etc/netns").empty());
    TNetLab next;
    EXPECT_TRUE(LabNamespacesOf(child).empty());
    EXPECT_TRUE(LabNamespacesOf(child, "/etc/netns").empty());
}

// The others remove it within the keepalive bound and carry on; it is told it
// lost the room, and lists no copy of it once its network is back.
TEST_F(NetnsRoom, AMemberCutOffForFifteenSecondsIsRemovedAndToldAndNothingIsListedTwice) {
    ASSERT_NO_FATAL_FAILURE(PublicRoomOfThree());
    TLabMember &host = *host_, &p = *p_, &q = *q_;
    ExpectAllHearEachOther({&host, &p, &q}, "before");

    const auto cut = steady_clock::now();
    lab->Cut("q", true);
    EXPECT_GE(host.Saw("DEL " + std::to_string(q.Id), 20000), 0);
    EXPECT_GE(p.Saw("DEL " + std::to_string(q.Id), 20000), 0);
    EXPECT_GE(q.Saw("LOST", 20000), 0) << "the cut-off member carried on alone";
    std::this_thread::sleep_until(cut + seconds(15));
    lab->Cut("q", false);

    ExpectAllHearEachOther({&host, &p}, "after");
    EXPECT_EQ(RoomsListedAt("new", TNetLab::PublicAddress(9), TNetLab::PublicAddress(2)), 1);
    EXPECT_LE(RoomsListedAt("new", TNetLab::PublicAddress(9), TNetLab::PublicAddress(6)), 0)
        << "the cut-off member lists a copy of the room";
}

TEST_F(NetnsRoom, ASecondProcessOnAPublicAddressListsItsRoomThroughTheFirst) {
    // Both listen on the machine's public address, not on loopback: the
    // second registers its room with the first, which owns the directory port.
    lab->AddPublic("host", 2);
    lab->AddPublic("new", 9);
    TLabMember& first = Member("host", TNetLab::PublicAddress(2));
    TLabMember& second = Member("host", TNetLab::PublicAddress(2));
    ASSERT_TRUE(first.Open(Create()));
    EXPECT_TRUE(second.Open(Create())) << "the second room was refused its listing";
    EXPECT_EQ(RoomsListedAt("new", TNetLab::PublicAddress(9), TNetLab::PublicAddress(2)), 2);
}

// Members behind NAT cannot link to each other: they talk through the host.
// When it leaves nobody can serve both, and both are told (never two copies).
TEST_F(NetnsRoom, TwoMembersBehindTheirOwnNatHearEachOtherThroughTheHost) {
    lab->AddPublic("host", 2);
    lab->AddBehindNat("a", 11);
    lab->AddBehindNat("b", 12);
    TLabMember& host = Member("host", TNetLab::PublicAddress(2));
    TLabMember& a = Member("a", TNetLab::PrivateAddress());
    TLabMember& b = Member("b", TNetLab::PrivateAddress());
    ASSERT_TRUE(host.Open(Create()));
    ASSERT_TRUE(a.Open(JoinAt(TNetLab::PublicAddress(2), "a")));
    ASSERT_TRUE(b.Open(JoinAt(TNetLab::PublicAddress(2), "b")));
    EXPECT_GE(host.Saw("ADD " + std::to_string(a.Id) + " a"), 0);
    EXPECT_GE(host.Saw("ADD " + std::to_string(b.Id) + " b"), 0);
    EXPECT_GE(a.Saw("ADD " + std::to_string(b.Id) + " b"), 0) << "a never saw b arrive";
    ExpectAllHearEachOther({&host, &a, &b}, "nat");
    host.Process.Command("close");
    ExpectCarryOnOrLost({&a, &b}, host);
}

// The public member links directly with the host and with both members
// behind NAT (they dial it); it is the one that reaches everyone, so it takes
// the room over when the host leaves, once the room has heard of its links.
// The host leaves at once here: the last newcomer's links may not be made or
// reported yet. Then the room passes over it: the lowest of the others that
// are linked together takes the room, and the newcomer, which cannot reach
// that one, is told it lost the room. No part carries on without the rest.
TEST_F(NetnsRoom, APublicMemberAmongMembersBehindNat) {
    lab->AddPublic("host", 2);
    lab->AddBehindNat("a", 11);
    lab->AddPublic("p", 5);
    lab->AddBehindNat("b", 12);
    TLabMember& host = Member("host", TNetLab::PublicAddress(2));
    TLabMember& a = Member("a", TNetLab::PrivateAddress());
    TLabMember& p = Member("p", TNetLab::PublicAddress(5));
    TLabMember& b = Member("b", TNetLab::PrivateAddress());
    ASSERT_TRUE(host.Open(Create()));
    ASSERT_TRUE(a.Open(JoinAt(TNetLab::PublicAddress(2), "a")));
    ASSERT_TRUE(p.Open(JoinAt(TNetLab::PublicAddress(2), "p")));
    ASSERT_TRUE(b.Open(JoinAt(TNetLab::PublicAddress(2), "b")));
    ExpectAllHearEachOther({&host, &a, &p, &b}, "mixed");
    host.Process.Command("close");
    ExpectCarryOnOrLost({&a, &p, &b}, host);
}

// The members carry on under the successor; the resumed host is told it lost
// the room, lists nothing, and a newcomer at its address is refused.
TEST_F(NetnsRoom, AHostFrozenForFifteenSecondsLosesTheRoomWhenItResumes) {
    ASSERT_NO_FATAL_FAILURE(PublicRoomOfThree());
    TLabMember &host = *host_, &p = *p_, &q = *q_;

    const auto frozen = steady_clock::now();
    host.Process.Signal(SIGSTOP);
    EXPECT_GE(p.Saw("DEL " + std::to_string(host.Id), 20000), 0);
    EXPECT_GE(q.Saw("DEL " + std::to_string(host.Id), 20000), 0);
    ExpectAllHearEachOther({&p, &q}, "under-the-successor");
    std::this_thread::sleep_until(frozen + seconds(15));
    host.Process.Signal(SIGCONT);
    EXPECT_GE(host.Saw("LOST", 10000), 0) << "the resumed host was never told";
    EXPECT_LE(RoomsListedAt("new", TNetLab::PublicAddress(9), TNetLab::PublicAddress(2)), 0)
        << "the resumed host lists a copy of the room";
    TLabMember& newcomer = Member("new", TNetLab::PublicAddress(9));
    newcomer.Process.Command(JoinAt(TNetLab::PublicAddress(2), "new"));
    std::string line;
    while (line.rfind("OPEN", 0) != 0 && line.rfind("ERROR", 0) != 0) {
        line = newcomer.Process.WaitFor("", 20000);
        if (line.empty()) break;
    }
    EXPECT_EQ(line.rfind("ERROR", 0), 0u) << "a newcomer entered a copy of the room: " << line;
}

// The newcomer is admitted while a member is frozen; once it resumes, every
// member's texts reach every member (directly or through the host).
TEST_F(NetnsRoom, AMemberFrozenWhileANewcomerJoinsHearsItAfterwards) {
    ASSERT_NO_FATAL_FAILURE(PublicRoomOfThree());
    TLabMember &host = *host_, &p = *p_, &q = *q_;
    TLabMember& newcomer = Member("new", TNetLab::PublicAddress(9));

    const auto frozen = steady_clock::now();
    q.Process.Signal(SIGSTOP);
    EXPECT_TRUE(newcomer.Open(JoinAt(TNetLab::PublicAddress(2), "new")));
    std::this_thread::sleep_until(frozen + seconds(7));
    q.Process.Signal(SIGCONT);
    ExpectAllHearEachOther({&host, &p, &q, &newcomer}, "after-the-freeze");
}
