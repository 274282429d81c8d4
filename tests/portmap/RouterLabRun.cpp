// Runs one command on a machine at home behind a router running miniupnpd,
// in the namespaces of a router lab that go away when the command ends: for
// looking at the program as a user behind such a router sees it (the
// screenshots). Root only.
//   parlora_router_lab COMMAND [ARGUMENT...]
// The command runs at 192.168.50.10 with the router at 192.168.50.1, whose
// public address (11.22.33.1) is in $PARLORA_LAB_PUBLIC; its exit code is ours.
#include "RouterLab.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

volatile sig_atomic_t child = 0;

// The command ends first and the lab after it, on TERM and Ctrl+C too.
void PassOn(int sig) {
    if (child > 0) ::kill(child, sig);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s COMMAND [ARGUMENT...]\n", argv[0]);
        return 2;
    }
    if (std::string why = TRouterLab::Unavailable(); !why.empty()) {
        std::fprintf(stderr, "%s: %s\n", argv[0], why.c_str());
        return 2;
    }
    try {
        TRouterLab lab(TRouterLab::TRouter::Upnp);
        lab.AddHome("home", 10);
        ::setenv("PARLORA_LAB_PUBLIC", lab.RouterAddress().c_str(), 1);
        std::vector<std::string> command = lab.Inside("home");
        for (int i = 1; i < argc; ++i)
            command.emplace_back(argv[i]);
        std::vector<char*> args;
        for (std::string& part : command)
            args.push_back(part.data());
        args.push_back(nullptr);

        struct sigaction action {};
        action.sa_handler = PassOn;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
        const pid_t pid = ::fork();
        if (pid < 0) throw std::runtime_error("fork failed");
        if (pid == 0) {
            ::execv(args[0], args.data());
            std::perror(args[0]);
            ::_exit(127);
        }
        child = pid;
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 2;
    }
}
