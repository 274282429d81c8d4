// A member in a process of its own, for the tests that need one: it drives a
// TDPSession from commands on standard input and reports its events on
// standard output, one line each.
//
//   create <port> <room> <player> [maxPlayers]   join <host> <port> <room> <player>
//   send <toId> <text>   status   list <host> <port>   close   quit
//
// Events: OPEN <ownId> <isHost>, ADD <id> <name>, DEL <id>, MSG <fromId> <text>,
// STATUS <isHost> <players>, ROOMS <count>, LOST, CLOSE, CLOSED, ERROR <text>.
#include "entry/ApplicationGuid.h"
#include "session/DPSession.h"

#include <QApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

const char* kApplication = entry::kApplicationGuid;

void Say(const std::string& line) {
    std::cout << line << std::endl; // flushed: the test reads line by line
}

class TMember {
  public:
    TMember() {
        session_.SetGUID(kApplication);
        session_.OnAddPlayer = [](TCustomDPSession*, TDPPlayer* p) {
            Say("ADD " + std::to_string(p->Id) + " " + p->Name);
        };
        session_.OnDeletePlayer = [](TCustomDPSession*, TDPPlayer* p) {
            Say("DEL " + std::to_string(p->Id));
        };
        session_.OnMessage = [](TCustomDPSession*, TDPPlayer* from, const void* data, int size) {
            Say("MSG " + std::to_string(from->Id) + " " +
                std::string(static_cast<const char*>(data), static_cast<size_t>(size)));
        };
        session_.OnSessionLost = [](TCustomDPSession*) { Say("LOST"); };
        session_.OnClose = [](TCustomDPSession*) { Say("CLOSE"); };
    }

    void Command(const std::string& line) {
        std::istringstream in(line);
        std::string verb;
        in >> verb;
        try {
            if (verb == "create" || verb == "join") {
                std::string host, room, player;
                int port = 0, max = 0;
                if (verb == "join") in >> host;
                in >> port >> room >> player >> max;
                session_.TCPIPSetting().Enabled = true;
                session_.TCPIPSetting().HostName = host;
                session_.TCPIPSetting().Port = static_cast<uint16_t>(port);
                session_.SetMaxPlayers(max);
                session_.SetProvider(session_.ProviderList().Names(0));
                session_.OpenSession(verb == "create", room, player);
                Say("OPEN " + std::to_string(session_.OwnPlayer()->Id) + " " +
                    (session_.IsSessionHost() ? "1" : "0"));
            } else if (verb == "send") {
                uint32_t to = 0;
                std::string text;
                in >> to;
                std::getline(in >> std::ws, text);
                session_.SendData(to, text.data(), static_cast<int>(text.size()));
            } else if (verb == "list") {
                // The rooms listed at host:port (for a helper with no session open).
                std::string host;
                int port = 0;
                in >> host >> port;
                session_.TCPIPSetting().Enabled = true;
                session_.TCPIPSetting().HostName = host;
                session_.TCPIPSetting().Port = static_cast<uint16_t>(port);
                session_.SetProvider(session_.ProviderList().Names(0));
                session_.RefreshSessions();
                Say("ROOMS " + std::to_string(session_.SessionList().Count()));
            } else if (verb == "status") {
                Say("STATUS " + std::string(session_.IsSessionHost() ? "1 " : "0 ") +
                    std::to_string(session_.PlayerList().Count()));
            } else if (verb == "close") {
                session_.CloseSession();
                Say("CLOSED");
            } else if (verb == "quit") {
                QCoreApplication::quit();
            }
        } catch (const std::exception& e) {
            Say(std::string("ERROR ") + e.what());
        }
    }

  private:
    TDPSession session_;
};

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    TMember member;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::string pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            QCoreApplication::quit();
            return;
        }
        pending.append(buffer, static_cast<size_t>(n));
        for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            member.Command(line);
        }
    });
    return app.exec();
}
