// How long creating a room takes with port mapping, in network namespaces
// (root only): behind a home router that answers UPnP, behind one that does
// not, and on a network with no router at all, each beside the same room
// created with --no-portmap. The time runs from starting parlora-cli --create
// to its own arrival line (the room is open and listed); the time to the
// mapping's outcome on standard error is shown beside it, to show that
// asking the router runs after the room is open, not before.
//
//   bench_room_creation [--runs N]
#include "cli/TCliProcess.h"
#include "portmap/RouterLab.h"
#include "session/NetLab.h"
#include "support/Wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

struct TSample {
    double OpenMs = -1;    // to the own arrival line
    double OutcomeMs = -1; // to the mapping's outcome on standard error (-1: none)
};

TSample Create(const std::vector<std::string>& inside, const std::string& address, bool portmap) {
    QStringList args = {"--create", "bench", "--handle", "h"};
    if (!portmap) args << "--no-portmap";
    TCliLaunch launch{inside, {{"PARLORA_PORTMAP", portmap ? "1" : "0"}}};
    QElapsedTimer clock;
    clock.start();
    TCliProcess cli(address, args, TCliOutput::Read, launch);
    TSample s;
    if (cli.WaitForLine(address + ":h さんが入室しました。", 30000))
        s.OpenMs = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    // Mapped, or told that it could not be.
    auto told = [&] {
        const std::string err = cli.Stderr();
        return err.find("others enter from outside") != std::string::npos ||
               err.find("外からは入室できません") != std::string::npos;
    };
    if (portmap && testsupport::WaitUntil(told, 30000, 20))
        s.OutcomeMs = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    cli.CloseInput();
    cli.WaitForExit(15000);
    return s;
}

double Median(std::vector<double> v) {
    v.erase(std::remove(v.begin(), v.end(), -1.0), v.end());
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void Row(const char* setting, const std::function<TSample(bool)>& create, int runs) {
    for (bool portmap : {false, true}) {
        std::vector<double> open, outcome;
        for (int i = 0; i < runs; ++i) {
            TSample s = create(portmap);
            open.push_back(s.OpenMs);
            outcome.push_back(s.OutcomeMs);
        }
        std::printf("| %s | %s | %.0f | %.0f–%.0f | %s |\n", setting,
                    portmap ? "on" : "off (--no-portmap)", Median(open),
                    *std::min_element(open.begin(), open.end()),
                    *std::max_element(open.begin(), open.end()),
                    portmap ? std::to_string(static_cast<int>(Median(outcome))).c_str() : "–");
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int runs = 5;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[++i]));
    if (std::string why = TRouterLab::Unavailable(); !why.empty()) {
        std::fprintf(stderr, "bench_room_creation: %s\n", why.c_str());
        return 1;
    }
    std::printf("median of %d runs, ms\n\n", runs);
    std::printf("| network | port mapping | room open (median) | range | mapping outcome told |\n");
    std::printf("|---|---|---|---|---|\n");
    {
        TRouterLab lab(TRouterLab::TRouter::Upnp);
        lab.AddHome("home", 10);
        Row("home router with UPnP",
            [&](bool portmap) {
                return Create(lab.Inside("home"), TRouterLab::HomeAddress(10), portmap);
            },
            runs);
    }
    {
        TRouterLab lab(TRouterLab::TRouter::NoUpnp);
        lab.AddHome("home", 10);
        Row("home router without UPnP",
            [&](bool portmap) {
                return Create(lab.Inside("home"), TRouterLab::HomeAddress(10), portmap);
            },
            runs);
    }
    {
        TNetLab lab;
        lab.AddPublic("alone", 5);
        Row("a network with no router",
            [&](bool portmap) {
                return Create(lab.Inside("alone"), TNetLab::PublicAddress(5), portmap);
            },
            runs);
    }
    return 0;
}
