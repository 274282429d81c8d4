// One-way latency and throughput of the session transport, every member in
// a process of its own on loopback, against a minimal raw-TCP relay.
//
//   bench_session [blocks]            runs everything and prints the figures
//
// The other command lines are the roles this program starts itself in.
// Latency is taken with the system-wide monotonic clock: the sender stamps
// each block, each receiver subtracts in its OnMessage (or, for the relay,
// after its read); for 1->9 a block counts when its last receiver has it.
#include "platform/MessagePump.h"
#include "session/DPSession.h"

#include "support/FreshPort.h"
#include <QApplication>
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>

#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kBlockSize = 200;
const char* kApplication = "{5BFFE6A0-4D9C-11D2-B2C6-0080C83D719A}";

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void MakeBlock(char* b, uint32_t seq) {
    std::memset(b, 'x', kBlockSize);
    int64_t now = NowNs();
    std::memcpy(b, &seq, 4);
    std::memcpy(b + 4, &now, 8);
}

void PaceUntil(int64_t t) {
    int64_t left = t - NowNs();
    if (left > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(left));
}

void Say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

void WriteLatencies(const std::string& file, const std::vector<int64_t>& v) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(v.data()), static_cast<long>(v.size() * 8));
}

// ---- session roles ----

void Connect(TDPSession& s, const std::string& host, uint16_t port) {
    s.SetGUID(kApplication);
    s.SetMaxPlayers(10);
    s.TCPIPSetting().Enabled = true;
    s.TCPIPSetting().HostName = host;
    s.TCPIPSetting().Port = port;
    s.SetProvider(s.ProviderList().Names(0));
}

int SessionSender(uint16_t port, int receivers, int blocks, int paceUs) {
    TDPSession s;
    Connect(s, "", port);
    s.OpenSession(true, "bench", "sender");
    Say("READY");
    platform::PumpUntil([&] { return s.PlayerList().Count() == receivers + 1; }, 60000);
    platform::PumpUntil([] { return false; }, 300); // let the links settle
    char block[kBlockSize];
    int64_t next = NowNs();
    for (int i = 0; i < blocks; ++i) {
        if (paceUs) PaceUntil(next += paceUs * 1000);
        MakeBlock(block, static_cast<uint32_t>(i));
        s.SendData(0, block, kBlockSize);
    }
    Say("SENT");
    // Stay in the room until told to go (stdin closes).
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}

int SessionReceiver(uint16_t port, int blocks, const std::string& out) {
    TDPSession s;
    std::vector<int64_t> latency(static_cast<size_t>(blocks), -1);
    int got = 0;
    int64_t first = 0, last = 0;
    s.OnMessage = [&](TCustomDPSession*, TDPPlayer*, const void* data, int size) {
        int64_t now = NowNs();
        if (size != kBlockSize) return;
        uint32_t seq;
        int64_t sent;
        std::memcpy(&seq, data, 4);
        std::memcpy(&sent, static_cast<const char*>(data) + 4, 8);
        if (seq < latency.size()) latency[seq] = now - sent;
        if (got++ == 0) first = sent;
        last = now;
    };
    Connect(s, "127.0.0.1", port);
    s.OpenSession(false, "bench", "receiver");
    Say("READY");
    platform::PumpUntil([&] { return got == blocks; }, 600000);
    WriteLatencies(out, latency);
    std::printf("DONE %.0f\n", got * 1e9 / double(std::max<int64_t>(1, last - first)));
    std::fflush(stdout);
    return 0;
}

// ---- raw relay roles: length-prefixed frames, TCP_NODELAY, blocking I/O ----

int Listen(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0)
        std::exit(2);
    return fd;
}

int Dial(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::exit(2);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool ReadAll(int fd, void* p, size_t n) {
    auto* b = static_cast<char*>(p);
    while (n) {
        ssize_t r = ::read(fd, b, n);
        if (r <= 0) return false;
        b += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void WriteAll(int fd, const void* p, size_t n) {
    auto* b = static_cast<const char*>(p);
    while (n) {
        ssize_t r = ::write(fd, b, n);
        if (r <= 0) return;
        b += r;
        n -= static_cast<size_t>(r);
    }
}

int Relay(uint16_t port, int receivers) {
    int l = Listen(port);
    Say("READY");
    std::vector<int> outs;
    int in = -1;
    while (static_cast<int>(outs.size()) < receivers || in < 0) {
        int fd = ::accept(l, nullptr, nullptr);
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char role;
        ReadAll(fd, &role, 1);
        if (role == 'S')
            in = fd;
        else
            outs.push_back(fd);
    }
    WriteAll(in, "G", 1); // everyone is here
    char frame[4 + kBlockSize];
    while (ReadAll(in, frame, sizeof frame))
        for (int fd : outs)
            WriteAll(fd, frame, sizeof frame); // one write per frame
    return 0;
}

int RawSender(uint16_t port, int blocks, int paceUs) {
    int fd = Dial(port);
    WriteAll(fd, "S", 1);
    char go;
    ReadAll(fd, &go, 1);
    char frame[4 + kBlockSize];
    uint32_t len = kBlockSize;
    std::memcpy(frame, &len, 4);
    int64_t next = NowNs();
    for (int i = 0; i < blocks; ++i) {
        if (paceUs) PaceUntil(next += paceUs * 1000);
        MakeBlock(frame + 4, static_cast<uint32_t>(i));
        WriteAll(fd, frame, sizeof frame);
    }
    Say("SENT");
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}

int RawReceiver(uint16_t port, int blocks, const std::string& out) {
    int fd = Dial(port);
    WriteAll(fd, "R", 1);
    Say("READY");
    std::vector<int64_t> latency(static_cast<size_t>(blocks), -1);
    char frame[4 + kBlockSize];
    for (int i = 0; i < blocks && ReadAll(fd, frame, sizeof frame); ++i) {
        int64_t now = NowNs();
        uint32_t seq;
        int64_t sent;
        std::memcpy(&seq, frame + 4, 4);
        std::memcpy(&sent, frame + 8, 8);
        if (seq < latency.size()) latency[seq] = now - sent;
    }
    WriteLatencies(out, latency);
    Say("DONE 0");
    return 0;
}

// ---- the coordinator ----

struct TChild {
    pid_t Pid;
    int In, Out;
    FILE* Lines;
};

TChild Start(const std::vector<std::string>& args) {
    int toChild[2], fromChild[2];
    if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) std::exit(3);
    std::vector<char*> argv;
    static std::string self = [] {
        char buf[4096];
        ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
        return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
    }();
    std::vector<std::string> all = {self};
    all.insert(all.end(), args.begin(), args.end());
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(toChild[0], 0);
        ::dup2(fromChild[1], 1);
        ::close(toChild[1]);
        ::close(fromChild[0]);
        ::execv(self.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    return {pid, toChild[1], fromChild[0], ::fdopen(fromChild[0], "r")};
}

std::string Expect(TChild& c, const char* prefix) {
    char line[256];
    while (std::fgets(line, sizeof line, c.Lines))
        if (std::strncmp(line, prefix, std::strlen(prefix)) == 0) return line;
    std::fprintf(stderr, "a member ended before %s\n", prefix);
    std::exit(4);
}

void Finish(std::vector<TChild>& children) {
    for (auto& c : children)
        ::close(c.In);
    for (auto& c : children) {
        ::waitpid(c.Pid, nullptr, 0);
        std::fclose(c.Lines);
    }
    children.clear();
}

struct TResult {
    double P50us, P99us, MaxUs;
    double BlocksPerSecond;
};

TResult Run(bool session, int receivers, int blocks, int paceUs) {
    std::string port = std::to_string(testsupport::FreshPort());
    std::string R = std::to_string(receivers), N = std::to_string(blocks),
                P = std::to_string(paceUs);
    std::vector<TChild> children;
    std::vector<std::string> files;
    if (session) {
        children.push_back(Start({"--sender", port, R, N, P}));
        Expect(children[0], "READY");
    } else {
        children.push_back(Start({"--relay", port, R}));
        Expect(children[0], "READY");
    }
    for (int i = 0; i < receivers; ++i) {
        files.push_back("/tmp/bench_session_" + std::to_string(::getpid()) + "_" +
                        std::to_string(i));
        children.push_back(
            Start({session ? "--receiver" : "--rawreceiver", port, N, files.back()}));
        Expect(children.back(), "READY");
    }
    if (!session) children.push_back(Start({"--rawsender", port, N, P}));
    double rate = 0;
    for (size_t i = 1; i < children.size(); ++i) {
        if (!session && i == children.size() - 1) break;
        std::string done = Expect(children[i], "DONE");
        rate = std::atof(done.c_str() + 5);
    }
    Finish(children);

    std::vector<int64_t> worst(static_cast<size_t>(blocks), 0);
    for (auto& f : files) {
        std::vector<int64_t> v(static_cast<size_t>(blocks));
        std::ifstream in(f, std::ios::binary);
        in.read(reinterpret_cast<char*>(v.data()), static_cast<long>(v.size() * 8));
        for (size_t i = 0; i < v.size(); ++i)
            worst[i] = std::max(worst[i], v[i]);
        std::remove(f.c_str());
    }
    std::sort(worst.begin(), worst.end());
    auto at = [&](double q) {
        return worst[static_cast<size_t>(q * double(worst.size() - 1))] / 1e3;
    };
    return {at(0.50), at(0.99), worst.back() / 1e3, rate};
}

int Coordinator(int blocks) {
    std::printf("200-byte blocks, %d per run, one process per member, loopback\n\n", blocks);
    std::printf("%-22s %10s %10s %10s\n", "path", "p50 us", "p99 us", "max us");
    struct Case {
        const char* Name;
        bool Session;
        int Receivers;
        int PaceUs;
    } cases[] = {{"session 1->1", true, 1, 300},
                 {"raw relay 1->1", false, 1, 300},
                 {"session 1->9", true, 9, 1000},
                 {"raw relay 1->9", false, 9, 1000}};
    for (auto& c : cases) {
        TResult r = Run(c.Session, c.Receivers, blocks, c.PaceUs);
        std::printf("%-22s %10.1f %10.1f %10.1f\n", c.Name, r.P50us, r.P99us, r.MaxUs);
        std::fflush(stdout);
    }
    TResult t = Run(true, 1, 100000, 0);
    std::printf("\nsession 1->1 throughput: %.0f blocks/s (100000 blocks, unpaced)\n",
                t.BlocksPerSecond);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> a(argv + 1, argv + argc);
    auto num = [&](size_t i) { return std::atoi(a.at(i).c_str()); };
    auto port = [&](size_t i) { return static_cast<uint16_t>(num(i)); };
    if (!a.empty() && a[0].rfind("--", 0) == 0) {
        const std::string role = a[0];
        if (role == "--relay") return Relay(port(1), num(2));
        if (role == "--rawsender") return RawSender(port(1), num(2), num(3));
        if (role == "--rawreceiver") return RawReceiver(port(1), num(2), a.at(3));
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.1", 1);
        QApplication app(argc, argv);
        try {
            if (role == "--sender") return SessionSender(port(1), num(2), num(3), num(4));
            if (role == "--receiver") return SessionReceiver(port(1), num(2), a.at(3));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: %s\n", role.c_str(), e.what());
        }
        return 1;
    }
    return Coordinator(a.empty() ? 10000 : std::max(100, std::atoi(a[0].c_str())));
}
