#include "SessionTestSupport.h"

#include "entry/ApplicationGuid.h"

namespace sessiontest {

const char* const kApplication = entry::kApplicationGuid;

TMember::TMember() {
    Session.SetGUID(kApplication);
    Session.SetMaxPlayers(10);
    Session.OnOpen = [this](TCustomDPSession*) { Events.push_back("open"); };
    Session.OnAddPlayer = [this](TCustomDPSession*, TDPPlayer* p) {
        Events.push_back("add " + std::to_string(p->Id));
    };
    Session.OnDeletePlayer = [this](TCustomDPSession* s, TDPPlayer* p) {
        // Still listed while the event runs.
        Events.push_back(std::string("del ") + std::to_string(p->Id) +
                         (s->PlayerList().IndexOf(p->Id) >= 0 ? "" : " (unlisted)"));
    };
    Session.OnMessage = [this](TCustomDPSession*, TDPPlayer* from, const void* data, int size) {
        Messages.push_back(
            {from->Id, std::string(static_cast<const char*>(data), static_cast<size_t>(size))});
    };
    Session.OnSessionLost = [this](TCustomDPSession*) { Events.push_back("lost"); };
    Session.OnClose = [this](TCustomDPSession*) { Events.push_back("close"); };
}

void TMember::Connect(const std::string& host, uint16_t port) {
    Session.TCPIPSetting().Enabled = true;
    Session.TCPIPSetting().HostName = host;
    Session.TCPIPSetting().Port = port;
    Session.SetProvider(Session.ProviderList().Names(0));
}

void TMember::Create(uint16_t port, const std::string& room, const std::string& player,
                     int maxPlayers) {
    Session.SetMaxPlayers(maxPlayers);
    Connect("", port);
    Session.OpenSession(true, room, player);
}

void TMember::Join(const std::string& host, uint16_t port, const std::string& room,
                   const std::string& player) {
    Connect(host, port);
    Session.OpenSession(false, room, player);
}

void TMember::Send(uint32_t to, const std::string& text) {
    Session.SendData(to, text.data(), static_cast<int>(text.size()));
}

size_t TMember::CountMessages(const std::string& text) const {
    size_t n = 0;
    for (auto& m : Messages)
        if (m.Data == text) ++n;
    return n;
}

} // namespace sessiontest
