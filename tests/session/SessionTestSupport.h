#pragma once
// In-process members for the session tests: a TDPSession with every event
// recorded, and waits that keep the GUI thread serving events.
#include "session/DPSession.h"
#include "support/FreshPort.h"
#include "support/Sjis.h"
#include "support/Wait.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sessiontest {

extern const char* const kApplication;

// A port of its own for each test, so tests never meet each other's rooms.
using testsupport::FreshPort;
using testsupport::WaitUntil;
using testsupport::Sjis;
using testsupport::Utf8;

class TMember {
  public:
    TMember();
    // SetProvider for TCP/IP with host and port.
    void Connect(const std::string& host, uint16_t port);
    void Create(uint16_t port, const std::string& room, const std::string& player,
                int maxPlayers = 10);
    void Join(const std::string& host, uint16_t port, const std::string& room,
              const std::string& player);
    void Send(uint32_t to, const std::string& text);
    uint32_t Id() const { return Session.OwnPlayer() ? Session.OwnPlayer()->Id : 0; }
    bool HasPlayer(uint32_t id) { return Session.PlayerList().IndexOf(id) >= 0; }
    size_t CountMessages(const std::string& text) const;

    // Declared before the session: its destructor still fires OnClose.
    std::vector<std::string> Events; // "open", "add <id>", "del <id>", "lost", "close"
    struct Message {
        uint32_t From;
        std::string Data;
    };
    std::vector<Message> Messages;
    TDPSession Session;
};

} // namespace sessiontest
