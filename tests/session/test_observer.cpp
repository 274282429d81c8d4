// What someone on the path of a room sees: a capture of every frame that
// crosses the public network's bridge while a room of three parlora-cli
// processes (and one member played by hand, which learns the secrets of its
// pairs) talks. Encrypted, none of the handles, texts or secrets is in the
// captured bytes; the same room with a build whose links go in the clear
// shows them all, so the capture would have seen them (root only; skipped,
// saying why, otherwise).
#include "NetLab.h"
#include "cli/TCliProcess.h"
#include "dplay/RawClient.h"
#include "entry/ApplicationGuid.h"
#include "platform/Cp932.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iostream>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <map>
#include <memory>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace dplaytest;

namespace {

const TGuid kApp = *TGuid::Parse(entry::kApplicationGuid);
const QString kPort = "47710";

// Runs fn on a thread of its own inside a namespace of the lab: what it
// opens (a socket) stays in that namespace wherever it is used afterwards.
bool InNamespace(const std::string& ns, const std::function<void()>& fn) {
    bool entered = false;
    std::thread([&] {
        const int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0) ::close(fd);
        if (entered) fn();
    }).join();
    return entered;
}

// One direction of a TCP connection, as its segments came.
struct TFlow {
    bool SawSyn = false;
    bool Opened = false; // its SYN was the connection's first (not the answer)
    uint32_t First = 0; // the sequence number of its first byte
    std::map<uint32_t, std::string> Segments; // by offset from First
};

// Every frame on the bridge, read by a packet socket in the public
// network's namespace on a thread of its own; each frame is taken once, as
// it enters the bridge (not again as it leaves).
class TCapture {
  public:
    explicit TCapture(const std::string& ns) {
        InNamespace(ns, [this] {
            fd_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
        });
        if (fd_ < 0) return;
        int size = 32 << 20; // the whole conversation fits, read or not
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        reader_ = std::thread([this] { Read(); });
    }
    ~TCapture() { Stop(); }
    bool Ok() const { return fd_ >= 0; }
    // Stops reading once what came so far is read.
    void Stop() {
        stop_ = true;
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    size_t Frames = 0, PayloadBytes = 0, Dropped = 0;
    // Keyed by "source:port>destination:port".
    std::map<std::string, TFlow> Flows;

  private:
    void Read() {
        std::vector<uint8_t> buf(256 * 1024); // frames gathered by the veth may pass the MTU
        for (;;) {
            pollfd ready{fd_, POLLIN, 0};
            const int r = ::poll(&ready, 1, 100);
            if (r <= 0) {
                if (stop_) return; // nothing more queued
                continue;
            }
            sockaddr_ll from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(fd_, buf.data(), buf.size(), MSG_TRUNC,
                                         reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0) continue;
            if (from.sll_pkttype == PACKET_OUTGOING) continue;
            if (static_cast<size_t>(n) > buf.size()) {
                ++Dropped;
                continue;
            }
            Take(buf.data(), static_cast<size_t>(n));
        }
    }
    void Take(const uint8_t* p, size_t n) {
        ++Frames;
        if (n < 14 + 20 || (p[12] << 8 | p[13]) != ETH_P_IP) return;
        const uint8_t* ip = p + 14;
        const size_t ipHead = (ip[0] & 0x0F) * 4u;
        const size_t ipTotal = ip[2] << 8 | ip[3];
        if (ip[9] != IPPROTO_TCP || ipTotal > n - 14 || ipHead + 20 > ipTotal) return;
        const uint8_t* tcp = ip + ipHead;
        const size_t tcpHead = (tcp[12] >> 4) * 4u;
        if (ipHead + tcpHead > ipTotal) return;
        char key[96];
        std::snprintf(key, sizeof key, "%u.%u.%u.%u:%u>%u.%u.%u.%u:%u", ip[12], ip[13], ip[14],
                      ip[15], tcp[0] << 8 | tcp[1], ip[16], ip[17], ip[18], ip[19],
                      tcp[2] << 8 | tcp[3]);
        TFlow& flow = Flows[key];
        const uint32_t seq = uint32_t(tcp[4]) << 24 | tcp[5] << 16 | tcp[6] << 8 | tcp[7];
        const bool syn = tcp[13] & 0x02;
        if (syn) {
            flow.SawSyn = true;
            flow.Opened = !(tcp[13] & 0x10);
            flow.First = seq + 1;
        }
        const size_t size = ipTotal - ipHead - tcpHead;
        if (size == 0) return;
        if (!flow.SawSyn && flow.Segments.empty()) flow.First = seq;
        PayloadBytes += size;
        flow.Segments[seq - flow.First] = std::string(reinterpret_cast<const char*>(tcp + tcpHead), size);
    }

    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

// A flow's bytes in order, each retransmitted byte once.
std::string Stream(const TFlow& flow) {
    std::string out;
    for (const auto& [offset, bytes] : flow.Segments) {
        if (offset + bytes.size() <= out.size()) continue;
        if (offset > out.size()) out.resize(offset, '\0'); // a byte the capture missed
        out += bytes.substr(out.size() - offset);
    }
    return out;
}

// What a capture holds as TLS: the records of each stream by content type;
// a stream that does not open with a handshake record, or breaks off into
// something that is no record, is counted as not TLS.
struct TTlsCount {
    size_t Streams = 0, NotTls = 0, NotTlsBytes = 0;
    size_t Handshake = 0, CipherChange = 0, Alert = 0, ApplicationData = 0;
    size_t ApplicationBytes = 0;

    void Add(const std::string& s) {
        if (s.empty()) return;
        ++Streams;
        if (uint8_t(s[0]) != 0x16) {
            ++NotTls;
            NotTlsBytes += s.size();
            return;
        }
        size_t at = 0;
        while (at + 5 <= s.size()) {
            const uint8_t type = uint8_t(s[at]);
            const size_t length = uint8_t(s[at + 3]) << 8 | uint8_t(s[at + 4]);
            if (type < 0x14 || type > 0x17 || uint8_t(s[at + 1]) != 0x03 || length > 16384 + 256) {
                ++NotTls;
                NotTlsBytes += s.size() - at;
                return;
            }
            (type == 0x16   ? Handshake
             : type == 0x14 ? CipherChange
             : type == 0x15 ? Alert
                            : ApplicationData)++;
            if (type == 0x17) ApplicationBytes += length;
            at += 5 + length;
        }
    }
};

// What a run of the room left in the capture.
struct TSeen {
    size_t Frames = 0, PayloadBytes = 0, Connections = 0;
    TTlsCount Tls;
    std::vector<std::string> Found; // the secrets' names among them
    std::vector<std::string> Sought;
};

std::string Hex(const p2::TSecret& secret) {
    std::string hex;
    for (uint8_t b : secret) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

class Observer : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto why = TNetLab::Unavailable(); !why.empty()) GTEST_SKIP() << why;
        lab = std::make_unique<TNetLab>();
        lab->AddPublic("host", 2);
        lab->AddPublic("p", 5);
        lab->AddPublic("q", 6);
        lab->AddPublic("raw", 9);
    }
    void TearDown() override {
        processes.clear(); // before their namespaces go
        lab.reset();
    }

    TCliProcess& Cli(const std::string& machine, int host, const std::string& handle,
                     QStringList arguments, bool plain) {
        arguments << "--handle" << QString::fromStdString(handle) << "--port" << kPort;
        const std::string own = TNetLab::PublicAddress(host);
        TCliLaunch launch{lab->Inside(machine),
                          {{"PARLORA_LISTEN_ADDR", own}, {"PARLORA_PORTMAP", "0"}},
                          plain ? PARLORA_CLI_PLAIN_PATH : ""};
        processes.push_back(
            std::make_unique<TCliProcess>(own, arguments, TCliOutput::Read, launch));
        return *processes.back();
    }

    // A connection from the raw machine to the host, over TLS or in the clear.
    std::unique_ptr<TRaw> RawToHost(bool plain) {
        auto raw = std::make_unique<TRaw>();
        if (!InNamespace(lab->NamespaceOf("raw"), [&] { raw->s.open(asio::ip::tcp::v4()); }))
            return nullptr;
        asio::error_code ec;
        raw->s.connect({asio::ip::make_address(TNetLab::PublicAddress(2)),
                        static_cast<uint16_t>(kPort.toUInt())},
                       ec);
        raw->Limit();
        if (ec || (!plain && !raw->Secure(false))) return nullptr;
        return raw;
    }

    // The room of three talks while the bridge is captured; then a member
    // played by hand enters, and the room talks again. What was captured,
    // and which of the handles, texts and the hand-played member's secrets
    // are in it.
    TSeen RunRoom(bool plain) {
        TSeen seen;
        TCapture capture(lab->NamespaceOf("wan"));
        EXPECT_TRUE(capture.Ok()) << "no packet socket on the bridge";
        if (!capture.Ok()) return seen;

        const std::vector<std::string> handles = {"tsugumi", "hibari", "mejiro"};
        const std::string player0 = TNetLab::PublicAddress(2) + ":" + handles[0];
        TCliProcess& host = Cli("host", 2, handles[0], {"--create", "observed"}, plain);
        EXPECT_TRUE(host.WaitForLine(player0 + " さんが入室しました。")) << host.Stderr();
        // One after the other, so that each earlier member sees the later arrive.
        TCliProcess& p = Cli("p", 5, handles[1], {"--join", "10.77.0.2"}, plain);
        EXPECT_TRUE(p.WaitForLine("10.77.0.5:" + handles[1] + " さんが入室しました。")) << p.Stderr();
        TCliProcess& q = Cli("q", 6, handles[2], {"--join", "10.77.0.2"}, plain);
        std::vector<TCliProcess*> room = {&host, &p, &q};
        // Each sees itself and those after it arrive (the earlier ones come with its welcome).
        for (size_t k = 0; k < room.size(); ++k)
            for (size_t i = k; i < handles.size(); ++i)
                EXPECT_TRUE(room[k]->WaitForLine(TNetLab::PublicAddress(i == 0 ? 2 : 4 + int(i)) +
                                                 ":" + handles[i] + " さんが入室しました。"))
                    << room[k]->Stderr();

        // Texts of their own, one of them Japanese (it goes as CP932).
        std::vector<std::pair<std::string, std::string>> said; // sender's handle, text
        for (size_t i = 0; i < room.size(); ++i) {
            said.push_back({handles[i], "observer-canary-" + handles[i] + "-" + std::to_string(i)});
            said.push_back({handles[i], "ないしょの話 " + handles[i]});
            for (size_t k = said.size() - 2; k < said.size(); ++k)
                room[i]->Write(said[k].second + "\n");
        }
        for (auto& [from, text] : said)
            for (size_t i = 0; i < room.size(); ++i)
                if (handles[i] != from) {
                    EXPECT_TRUE(room[i]->WaitForLine("<" + from + ">" + text))
                        << handles[i] << " never showed " << from << "'s line";
                }

        // The hand-played member enters: the host gives it the secrets of its
        // pairs, and gives each other member its half.
        std::vector<p2::TSecret> secrets;
        {
            auto lister = RawToHost(plain);
            EXPECT_TRUE(lister);
            std::optional<TGuid> instance;
            if (lister) {
                lister->Request(kApp, proto::EncodeEmpty(proto::ENUM_REQUEST));
                auto hello = lister->Read();
                auto reply = lister->Read();
                auto rooms = reply && reply->Type == proto::ENUM_REPLY
                                 ? proto::DecodeEnumReply(reply->Body.data(), reply->Body.size())
                                 : std::nullopt;
                if (rooms && rooms->size() == 1) instance = rooms->at(0).Instance;
            }
            EXPECT_TRUE(instance) << "the room was not listed to the hand-played member";
            auto raw = instance ? RawToHost(plain) : nullptr;
            auto welcome = raw ? RawJoin2(*raw, kApp, *instance, 0, "uguisu") : std::nullopt;
            EXPECT_TRUE(welcome) << "the hand-played member was not let in";
            if (welcome)
                for (size_t i = 0; i < welcome->View.Members.size(); ++i)
                    if (welcome->View.Members[i].Id != welcome->YourId)
                        secrets.push_back(welcome->Secrets[i]);
            EXPECT_EQ(secrets.size(), 3u);
            // Each member hears of it (the host sent them its half of each pair).
            for (TCliProcess* m : room)
                EXPECT_TRUE(m->WaitForLine([](const std::string& l) {
                    return l.find("uguisu さんが入室しました。") != std::string::npos;
                })) << m->Stderr();
            for (size_t i = 0; i < room.size(); ++i)
                room[i]->Write("after-uguisu-" + handles[i] + "\n");
            for (size_t i = 0; i < room.size(); ++i)
                for (size_t k = 0; k < room.size(); ++k)
                    if (k != i) {
                        EXPECT_TRUE(room[k]->WaitForLine("<" + handles[i] + ">after-uguisu-" +
                                                         handles[i]));
                    }
        }
        capture.Stop();

        seen.Frames = capture.Frames;
        seen.PayloadBytes = capture.PayloadBytes;
        seen.Connections = 0;
        std::vector<std::string> streams;
        for (const auto& [key, flow] : capture.Flows) {
            if (flow.Opened) ++seen.Connections;
            streams.push_back(Stream(flow));
            seen.Tls.Add(streams.back());
        }
        EXPECT_EQ(capture.Dropped, 0u) << "frames longer than the capture's buffer";
        std::vector<std::pair<std::string, std::string>> sought; // name, bytes
        for (const std::string& h : handles)
            sought.push_back({"handle " + h, h});
        for (auto& [from, text] : said)
            sought.push_back({"text \"" + text + "\"", platform::Utf8ToCp932(text)});
        for (const p2::TSecret& s : secrets)
            sought.push_back({"secret " + Hex(s), std::string(s.begin(), s.end())});
        for (auto& [name, bytes] : sought) {
            seen.Sought.push_back(name);
            for (const std::string& s : streams)
                if (s.find(bytes) != std::string::npos) {
                    seen.Found.push_back(name);
                    break;
                }
        }
        return seen;
    }

    static std::string Summary(const TSeen& s) {
        std::ostringstream out;
        out << s.Frames << " frames, " << s.PayloadBytes << " bytes of TCP payload in "
            << s.Tls.Streams << " streams (" << s.Connections << " connections opened); TLS: "
            << s.Tls.Handshake << " handshake, " << s.Tls.CipherChange
            << " cipher-change, " << s.Tls.ApplicationData << " application-data ("
            << s.Tls.ApplicationBytes << " bytes), " << s.Tls.Alert << " alert records; "
            << s.Tls.NotTls << " streams not TLS (" << s.Tls.NotTlsBytes << " bytes); "
            << s.Found.size() << " of " << s.Sought.size()
            << " handles, texts and secrets found";
        return out.str();
    }

    std::unique_ptr<TNetLab> lab;
    std::vector<std::unique_ptr<TCliProcess>> processes;
};

} // namespace

TEST_F(Observer, SeesOnlyTlsRecordsNoHandleTextOrSecret) {
    TSeen seen = RunRoom(false);
    std::cout << "observer on the bridge, encrypted room: " << Summary(seen) << std::endl;
    // Every connection: host and two members, the members' link, the
    // hand-played member's listing and entry; each way a stream.
    EXPECT_GE(seen.Connections, 5u);
    EXPECT_GE(seen.Tls.Streams, 2 * seen.Connections);
    EXPECT_EQ(seen.Tls.NotTls, 0u) << "bytes outside TLS records crossed the bridge";
    EXPECT_GE(seen.Tls.Handshake, seen.Connections); // at least each ClientHello
    // Nine lines to two members each and the room's own traffic: far more than that.
    EXPECT_GE(seen.Tls.ApplicationData, 40u);
    EXPECT_GE(seen.Tls.ApplicationBytes, 4000u);
    EXPECT_EQ(seen.Sought.size(), 3u + 6u + 3u);
    for (const std::string& found : seen.Found)
        ADD_FAILURE() << "the observer read " << found;
}

// The negative control: the same room with its links in the clear shows the
// observer every handle, text and secret, so the capture would have found
// them above.
TEST_F(Observer, InTheClearTheSameRoomShowsEverything) {
    TSeen seen = RunRoom(true);
    std::cout << "observer on the bridge, the room in the clear: " << Summary(seen) << std::endl;
    EXPECT_EQ(seen.Tls.Handshake + seen.Tls.ApplicationData, 0u);
    EXPECT_EQ(seen.Sought.size(), 3u + 6u + 3u);
    EXPECT_EQ(seen.Found, seen.Sought);
}
