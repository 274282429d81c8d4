// End to end through parlora-cli: N members in one room on loopback, each
// its own process (127.0.0.1 .. 127.0.0.N), each sending C texts of 200
// bytes. Latency runs from the moment a text's line is in the sender's
// standard input to each receiver's printed entry (its --jsonl "time"), so
// it includes the sender reading its input. Checks that every receiver gets every text once,
// in each sender's order.
//
//   bench_cli [--members N] [--count C] [--pace-us P]
//
// Without --pace-us it runs twice: paced (every sender one text per 10 ms,
// the senders taking turns, so the room carries one text per ms as in the
// session transport benchmark's 1->9 run) and unpaced (all input written at
// once: total time and throughput).
#include "support/FreshPort.h"
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <map>
#include <poll.h>

#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kTextSize = 200;

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// "2026-12-08T16:01:02.123456Z" -> microseconds since the epoch.
int64_t ParseTime(const std::string& t) {
    std::tm tm{};
    int us = 0;
    if (std::sscanf(t.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &us) != 7)
        return -1;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return int64_t(timegm(&tm)) * 1000000 + us;
}

// The value of a string field of one of parlora-cli's JSON lines (the bench
// texts hold no escapes).
std::string Field(const std::string& line, const char* name) {
    std::string key = std::string("\"") + name + "\":\"";
    size_t at = line.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    size_t end = line.find('"', at);
    return end == std::string::npos ? std::string() : line.substr(at, end - at);
}

struct TMember {
    pid_t Pid = -1;
    int In = -1, Out = -1;
    std::string Pending; // input not yet taken by the pipe
    uint64_t Queued = 0, Written = 0;
    std::deque<std::pair<uint64_t, int>> Lines; // (end offset in the input, seq)
    std::string Partial;                        // output not yet a whole line
    bool InClosed = false;
    bool Ended = false;
    std::vector<std::string> Errors;
    // Per sender: next expected sequence number.
    std::vector<int> Next;
    int Arrivals = 0;
    int Received = 0;
    int64_t LastEntryUs = 0;
};

struct TRun {
    int Members = 0, Count = 0, PaceUs = 0;
    uint16_t Port = 0;
    std::vector<TMember> M;
    // Send time of (sender, seq): when its whole line went into the sender's input.
    std::vector<std::vector<int64_t>> Sent;
    // When the sender printed its own copy of (sender, seq).
    std::vector<std::vector<int64_t>> Own;
    // Receive times of (sender, seq) at every other member.
    std::vector<std::vector<std::vector<int64_t>>> Got;
    int Lost = 0, Duplicates = 0, OutOfOrder = 0, Foreign = 0;
};

void Spawn(TRun& run, int i) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC)) std::exit(2);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        std::string address = "127.0.0." + std::to_string(i + 1);
        ::setenv("PARLORA_LISTEN_ADDR", address.c_str(), 1);
        ::setenv("PARLORA_OWN_IP", address.c_str(), 1);
        std::string port = std::to_string(run.Port), handle = "m" + std::to_string(i);
        std::vector<const char*> argv{PARLORA_CLI_PATH, "--jsonl",  "--port",
                                      port.c_str(),     "--handle", handle.c_str()};
        if (i == 0) {
            argv.push_back("--create");
            argv.push_back("bench");
        } else {
            argv.push_back("--join");
            argv.push_back("127.0.0.1");
        }
        argv.push_back(nullptr);
        ::execv(PARLORA_CLI_PATH, const_cast<char* const*>(argv.data()));
        std::perror("execv");
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    TMember& m = run.M[static_cast<size_t>(i)];
    m.Pid = pid;
    m.In = in[1];
    m.Out = out[0];
    ::fcntl(m.In, F_SETFL, O_NONBLOCK);
    m.Next.assign(static_cast<size_t>(run.Members), 0);
}

void OnLine(TRun& run, int r, const std::string& line) {
    TMember& m = run.M[static_cast<size_t>(r)];
    std::string kind = Field(line, "kind");
    int64_t t = ParseTime(Field(line, "time"));
    m.LastEntryUs = std::max(m.LastEntryUs, t);
    if (kind == "arrival") {
        ++m.Arrivals;
        return;
    }
    if (kind != "text") return;
    std::string text = Field(line, "text");
    int s = -1, seq = -1;
    if (std::sscanf(text.c_str(), "m%d %d ", &s, &seq) != 2 || s < 0 || s >= run.Members ||
        seq < 0 || seq >= run.Count || text.size() != kTextSize) {
        ++run.Foreign;
        return;
    }
    auto S = static_cast<size_t>(s), Q = static_cast<size_t>(seq);
    if (s == r) { // its own copy, printed right after the send to the others
        run.Own[S][Q] = t;
        return;
    }
    auto& slot = run.Got[S][static_cast<size_t>(r)][Q];
    if (slot >= 0) {
        ++run.Duplicates;
        return;
    }
    slot = t;
    if (seq != m.Next[S]) ++run.OutOfOrder;
    m.Next[S] = seq + 1;
    ++m.Received;
}

// Serves every member's pipes for up to timeoutMs, or until done().
// Writes what the pipe takes of a member's pending input; a line counts as
// sent once its last byte is in.
void Feed(TRun& run, int i) {
    TMember& m = run.M[static_cast<size_t>(i)];
    ssize_t n = ::write(m.In, m.Pending.data(), m.Pending.size());
    if (n <= 0) return;
    const int64_t now = NowUs();
    m.Pending.erase(0, static_cast<size_t>(n));
    m.Written += static_cast<uint64_t>(n);
    while (!m.Lines.empty() && m.Lines.front().first <= m.Written) {
        run.Sent[static_cast<size_t>(i)][static_cast<size_t>(m.Lines.front().second)] = now;
        m.Lines.pop_front();
    }
}

void Queue(TRun& run, int s, int q, bool now) {
    TMember& m = run.M[static_cast<size_t>(s)];
    std::string t = "m" + std::to_string(s) + " " + std::to_string(q) + " ";
    t.resize(kTextSize, 'x');
    t += "\n";
    m.Pending += t;
    m.Queued += t.size();
    m.Lines.push_back({m.Queued, q});
    if (now) Feed(run, s);
}

// wakeUs: a moment (NowUs) at which done() may turn true by itself.
template <class F> bool Serve(TRun& run, int timeoutMs, F done, int64_t wakeUs = INT64_MAX) {
    const int64_t deadline = NowUs() + int64_t(timeoutMs) * 1000;
    while (!done()) {
        int64_t now = NowUs();
        int64_t left = std::min({deadline, wakeUs, now + 100000}) - now;
        if (now >= deadline) return false;
        left = std::max<int64_t>(left, 0);
        std::vector<pollfd> fds;
        std::vector<std::pair<int, bool>> who; // member, is input
        for (int i = 0; i < run.Members; ++i) {
            TMember& m = run.M[static_cast<size_t>(i)];
            if (!m.Ended) {
                fds.push_back({m.Out, POLLIN, 0});
                who.push_back({i, false});
            }
            if (!m.Pending.empty() && !m.InClosed) {
                fds.push_back({m.In, POLLOUT, 0});
                who.push_back({i, true});
            }
        }
        if (fds.empty()) return done();
        timespec wait{static_cast<time_t>(left / 1000000),
                      static_cast<long>(left % 1000000) * 1000};
        ::ppoll(fds.data(), fds.size(), &wait, nullptr);
        for (size_t k = 0; k < fds.size(); ++k) {
            if (!fds[k].revents) continue;
            TMember& m = run.M[static_cast<size_t>(who[k].first)];
            if (who[k].second) {
                Feed(run, who[k].first);
                continue;
            }
            char buf[65536];
            ssize_t n = ::read(m.Out, buf, sizeof buf);
            if (n <= 0) {
                m.Ended = true;
                continue;
            }
            m.Partial.append(buf, static_cast<size_t>(n));
            size_t start = 0;
            for (size_t eol; (eol = m.Partial.find('\n', start)) != std::string::npos;) {
                OnLine(run, who[k].first, m.Partial.substr(start, eol - start));
                start = eol + 1;
            }
            m.Partial.erase(0, start);
        }
    }
    return true;
}

double At(std::vector<int64_t>& v, double q) {
    if (v.empty()) return 0;
    return double(v[static_cast<size_t>(q * double(v.size() - 1))]);
}

int RunOnce(int members, int count, int paceUs) {
    TRun run;
    run.Members = members;
    run.Count = count;
    run.PaceUs = paceUs;
    run.Port = testsupport::FreshPort();
    run.M.resize(static_cast<size_t>(members));
    run.Sent.assign(static_cast<size_t>(members),
                    std::vector<int64_t>(static_cast<size_t>(count), -1));
    run.Own = run.Sent;
    run.Got.assign(
        static_cast<size_t>(members),
        std::vector<std::vector<int64_t>>(static_cast<size_t>(members),
                                          std::vector<int64_t>(static_cast<size_t>(count), -1)));

    // Enter one by one; sending starts once everyone has seen the last arrival.
    for (int i = 0; i < members; ++i) {
        Spawn(run, i);
        if (!Serve(run, 30000, [&] { return run.M[static_cast<size_t>(i)].Arrivals >= 1; })) {
            std::fprintf(stderr, "member %d did not enter the room\n", i);
            return 1;
        }
    }
    if (!Serve(run, 30000, [&] {
            for (int i = 0; i < members; ++i)
                if (run.M[static_cast<size_t>(i)].Arrivals < members - i) return false;
            return true;
        })) {
        std::fprintf(stderr, "the room did not fill\n");
        return 1;
    }

    const int64_t start = NowUs();
    if (paceUs == 0) {
        for (int s = 0; s < members; ++s)
            for (int q = 0; q < count; ++q)
                Queue(run, s, q, false);
    } else {
        // Senders take turns, so the room carries one text every pace/members us.
        for (int q = 0; q < count; ++q)
            for (int s = 0; s < members; ++s) {
                const int64_t at = start + (int64_t(q) * members + s) * paceUs / members;
                Serve(
                    run, 60000, [&] { return NowUs() >= at; }, at);
                Queue(run, s, q, true);
            }
    }
    const int total = members * (members - 1) * count;
    auto received = [&] {
        int n = 0;
        for (auto& m : run.M)
            n += m.Received;
        return n;
    };
    Serve(run, 300000, [&] { return received() >= total; });
    int64_t lastEntry = 0;
    for (auto& m : run.M)
        lastEntry = std::max(lastEntry, m.LastEntryUs);

    // Leave: end every input and wait for clean exits.
    for (auto& m : run.M) {
        Serve(run, 30000, [&] { return m.Pending.empty(); });
        ::close(m.In);
        m.InClosed = true;
    }
    Serve(run, 60000, [&] {
        return std::all_of(run.M.begin(), run.M.end(), [](const TMember& m) { return m.Ended; });
    });
    int badExits = 0;
    for (auto& m : run.M) {
        int status = 0;
        ::waitpid(m.Pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++badExits;
        ::close(m.Out);
    }

    std::vector<int64_t> all, worst, fromOwn;
    int64_t firstSend = INT64_MAX;
    for (int s = 0; s < members; ++s)
        for (int q = 0; q < count; ++q) {
            int64_t sent = run.Sent[size_t(s)][size_t(q)];
            if (sent < 0) continue;
            firstSend = std::min(firstSend, sent);
            int64_t w = -1;
            for (int r = 0; r < members; ++r) {
                if (r == s) continue;
                int64_t got = run.Got[size_t(s)][size_t(r)][size_t(q)];
                if (got < 0) {
                    ++run.Lost;
                    continue;
                }
                all.push_back(got - sent);
                if (run.Own[size_t(s)][size_t(q)] >= 0)
                    fromOwn.push_back(got - run.Own[size_t(s)][size_t(q)]);
                w = std::max(w, got - sent);
            }
            if (w >= 0) worst.push_back(w);
        }
    std::sort(all.begin(), all.end());
    std::sort(worst.begin(), worst.end());
    std::sort(fromOwn.begin(), fromOwn.end());
    const double seconds = double(lastEntry - firstSend) / 1e6;
    std::printf("%s, %d members x %d texts of %zu bytes\n",
                paceUs ? ("paced " + std::to_string(paceUs) + " us per sender").c_str()
                       : "unpaced (all input at once)",
                members, count, kTextSize);
    std::printf("  from input, all    p50 %9.1f us   p99 %9.1f us   max %9.1f us   (%zu)\n",
                At(all, 0.5), At(all, 0.99), At(all, 1.0), all.size());
    std::printf("  from own entry     p50 %9.1f us   p99 %9.1f us   (the sender prints its own "
                "copy just after sending)\n",
                At(fromOwn, 0.5), At(fromOwn, 0.99));
    std::printf("  from input, last   p50 %9.1f us   p99 %9.1f us\n", At(worst, 0.5),
                At(worst, 0.99));
    std::printf("  total %.3f s (first send to last entry), %.0f deliveries/s\n", seconds,
                double(all.size()) / std::max(seconds, 1e-9));
    std::printf("  lost %d, duplicated %d, out of order %d, unreadable %d, bad exits %d, "
                "start to finish %.3f s\n\n",
                run.Lost, run.Duplicates, run.OutOfOrder, run.Foreign, badExits,
                double(NowUs() - start) / 1e6);
    std::fflush(stdout);
    return run.Lost || run.Duplicates || run.OutOfOrder || badExits ? 1 : 0;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    int members = 10, count = 1000, pace = -1;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--members") members = std::clamp(std::atoi(argv[i + 1]), 2, 10);
        if (a == "--count") count = std::max(1, std::atoi(argv[i + 1]));
        if (a == "--pace-us") pace = std::max(0, std::atoi(argv[i + 1]));
    }
    if (pace >= 0) return RunOnce(members, count, pace);
    int bad = RunOnce(members, count, 10000);
    bad |= RunOnce(members, count, 0);
    return bad;
}
