// A process that runs out of file descriptors keeps its rooms: the service
// neither dies nor spins, and takes connections again once some are free.
// The limit is lowered in a child process (this binary run again), so that
// the other tests keep theirs.
#include "Peer.h"

#include <arpa/inet.h>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace dplay;
using namespace dplaytest;

namespace {

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

TEST(DescriptorLimit, RunningOutOfDescriptorsIsSurvived) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::setenv("PARLORA_DESCRIPTOR_CHILD", "1", 1);
        ::execl("/proc/self/exe", "test_dplay", "--gtest_also_run_disabled_tests",
                "--gtest_filter=DescriptorLimit.DISABLED_InAChild", nullptr);
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_FALSE(WIFSIGNALED(status)) << "the child died of signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "see the child's output above";
}

TEST(DescriptorLimit, DISABLED_InAChild) {
    if (!std::getenv("PARLORA_DESCRIPTOR_CHILD")) GTEST_SKIP() << "runs in a child process";
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = 128;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.1", 1);
    const uint16_t port = FreshPort();
    TPeer host, member;
    host.Create(port);
    member.Join(port);

    // Connections to the directory port until no descriptor is left: the
    // last ones wait in the backlog, where the service cannot take them.
    std::vector<int> clients;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (;;) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) break;
        clients.push_back(fd);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) break;
    }
    ASSERT_GT(clients.size(), 16u);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    // Waiting for a descriptor costs nothing.
    const double cpuBefore = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_LT(CpuSeconds() - cpuBefore, 1.0) << "an accept loop spins";

    // What needs a new descriptor fails cleanly; what has its links goes on.
    DPSESSIONDESC2 d;
    d.guidApplication = kApp;
    EXPECT_TRUE(Failed(member.Dp->EnumSessions(
        d, 2000, [](const DPSESSIONDESC2*, uint32_t*, uint32_t) { return true; }, 0)));
    ExpectTalking(host, member, "with no descriptor left");

    for (int fd : clients)
        ::close(fd);
    TPeer late;
    EXPECT_EQ(late.TryJoin(port, "late"), DP_OK);
    ExpectTalking(host, late, "descriptors back");
    ExpectTalking(member, late, "all three");
}
