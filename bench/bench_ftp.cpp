// FTP upload speed of TFTPClient against curl -T, both to the same local
// server in the same run, in passive and active mode; and the CPU the client
// burns while it waits 10 s for a reply that never comes.
//
//   bench_ftp [megabytes=100] [rounds=5] [pyftpdlib|pure-ftpd]
#include "TRealFtpServer.h"
#include "TScriptServer.h"
#include "net/TFTPClient.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace fs = std::filesystem;
using nettest::TRealFtpServer;

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double ProcessCpu() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ThreadCpu() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// MB/s of one upload by our client, timed from the data-connection set-up
// to the completion reply (login and QUIT excluded, as for curl below).
double OurUpload(int port, const std::string& local, bool passive, size_t bytes, double* cpu) {
    net::TFTPClient ftp;
    ftp.Host = "127.0.0.1";
    ftp.Port = port;
    ftp.UserID = TRealFtpServer::User;
    ftp.Password = TRealFtpServer::Password;
    ftp.TimeOut = 60000;
    ftp.Passive = passive;
    ftp.Connect();
    ftp.Mode(2);
    double start = Now(), cpuStart = ProcessCpu();
    ftp.Upload(local, "ours.bin");
    double secs = Now() - start;
    *cpu = ProcessCpu() - cpuStart;
    ftp.Disconnect();
    return bytes / secs / 1e6;
}

// Seconds of a "HH:MM:SS.micro" stamp of curl's trace.
double Stamp(const std::string& line) {
    int h = 0, m = 0;
    double sec = 0;
    std::sscanf(line.c_str(), "%d:%d:%lf", &h, &m, &sec);
    return h * 3600 + m * 60 + sec;
}

// MB/s of one curl -T upload over the same window as ours: from PASV or
// PORT to the completion reply, read from curl's time-stamped trace (its
// own speed figure includes the login, which pure-ftpd slows down on purpose).
double ChildrenCpu() {
    rusage u{};
    ::getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double CurlUpload(int port, const std::string& local, bool passive, size_t bytes, double* cpu) {
    double cpuStart = ChildrenCpu();
    std::string cmd = "curl -s -S -v --trace-time --disable-epsv --disable-eprt " +
                      std::string(passive ? "" : "-P 127.0.0.1 ") + "--user " +
                      TRealFtpServer::User + ":" + TRealFtpServer::Password + " -T '" + local +
                      "' ftp://127.0.0.1:" + std::to_string(port) + "/curl.bin 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return 0;
    double start = -1, end = -1;
    char buf[4096];
    while (std::fgets(buf, sizeof buf, p)) {
        std::string line = buf;
        bool setup =
            line.find("> PASV") != std::string::npos || line.find("> PORT") != std::string::npos;
        if (setup && start < 0) start = Stamp(line);
        if (start >= 0 && end < 0 && line.find("< 226") != std::string::npos) end = Stamp(line);
    }
    ::pclose(p);
    *cpu = ChildrenCpu() - cpuStart; // the whole curl run, login included
    if (start < 0 || end <= start) return 0;
    return bytes / (end - start) / 1e6;
}

void Throughput(TRealFtpServer::TKind kind, const fs::path& local, size_t bytes, int rounds) {
    testsupport::TempDir root;
    TRealFtpServer server(kind, root.Path());
    if (!server.Port()) {
        std::printf("%s: not started (%s)\n", TRealFtpServer::Name(kind), server.Why().c_str());
        return;
    }
    for (bool passive : {true, false}) {
        // Alternating runs; the best and the median of each, since other
        // load on the machine only ever slows a run down.
        std::vector<double> ours, curl;
        double cpu = 1e9, cpuCurl = 1e9, c = 0;
        for (int r = 0; r < rounds; ++r) {
            curl.push_back(CurlUpload(server.Port(), local.string(), passive, bytes, &c));
            cpuCurl = std::min(cpuCurl, c);
            ours.push_back(OurUpload(server.Port(), local.string(), passive, bytes, &c));
            cpu = std::min(cpu, c);
        }
        std::sort(ours.begin(), ours.end());
        std::sort(curl.begin(), curl.end());
        double best = ours.back(), bestCurl = curl.back();
        double median = ours[ours.size() / 2], medianCurl = curl[curl.size() / 2];
        bool same = fs::file_size(root.Path() / "ours.bin") == bytes &&
                    fs::file_size(root.Path() / "curl.bin") == bytes;
        std::printf("%-9s %-7s  TFTPClient best %7.1f median %7.1f MB/s (CPU %.3f s)   "
                    "curl -T best %7.1f median %7.1f MB/s (CPU %.3f s)   ratio best %.2f median "
                    "%.2f%s\n",
                    TRealFtpServer::Name(kind), passive ? "passive" : "active", best, median, cpu,
                    bestCurl, medianCurl, cpuCurl, bestCurl > 0 ? best / bestCurl : 0.0,
                    medianCurl > 0 ? median / medianCurl : 0.0, same ? "" : "  (SIZE MISMATCH)");
        std::fflush(stdout);
    }
}

void IdleWait() {
    nettest::TScriptServer silent([](nettest::TScriptServer::TConn& c) {
        c.Send("220 ready\r\n331 pw\r\n230 in\r\n");
        c.ReadLine();
        c.ReadLine();
        c.ReadLine(); // NOOP: never answered
        c.ReadLine();
    });
    net::TFTPClient ftp;
    ftp.Host = "127.0.0.1";
    ftp.Port = silent.Port();
    ftp.UserID = "u";
    ftp.Password = "p";
    ftp.Connect();
    ftp.TimeOut = 10000;
    double wall = Now(), cpu = ProcessCpu(), thread = ThreadCpu();
    try {
        ftp.DoCommand("NOOP");
    } catch (const std::exception& e) {
        std::printf("wait ended with: %s\n", e.what());
    }
    std::printf("10 s reply wait: wall %.2f s, process CPU %.4f s, GUI thread CPU %.4f s\n",
                Now() - wall, ProcessCpu() - cpu, ThreadCpu() - thread);
    ftp.TimeOut = 1;
    try {
        ftp.Disconnect();
    } catch (...) {
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    testsupport::TempDir dir;
    fs::path local = dir / "upload.bin";
    {
        std::ofstream f(local, std::ios::binary);
        std::mt19937_64 gen(42);
        std::string block(1 << 20, '\0');
        for (size_t m = 0; m < megabytes; ++m) {
            for (size_t i = 0; i + 8 <= block.size(); i += 8) {
                uint64_t v = gen();
                std::memcpy(&block[i], &v, 8);
            }
            f << block;
        }
    }
    size_t bytes = megabytes << 20;
    std::printf("upload of %zu MiB, %d rounds each\n", megabytes, rounds);
    for (auto kind : {TRealFtpServer::TKind::PureFtpd, TRealFtpServer::TKind::PyFtpd})
        if (TRealFtpServer::Available(kind) &&
            (argc <= 3 || std::string(argv[3]) == TRealFtpServer::Name(kind)))
            Throughput(kind, local, bytes, rounds);
    IdleWait();
    return 0;
}
