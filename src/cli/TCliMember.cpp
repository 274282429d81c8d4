#include "TCliMember.h"

#include "chat/ChatPayload.h"
#include "dplay/service/DPService.h"
#include "dplay/api/DirectPlay.h"
#include "platform/Cp932.h"
#include "platform/OwnAddresses.h"

namespace {

const char* const kApplicationGuid = "{5BFFE6A0-4D9C-11D2-B2C6-0080C83D719A}";
constexpr int kMaxPlayers = 10;
// How long leaving may wait for the last texts to go out to a member that
// does not read them.

using platform::Cp932ToUtf8;
using platform::Utf8ToCp932;

// "  %s さんが入室しました。" and its departure twin, with the name put in.
AnsiString FormatLine(const char* utf8, const AnsiString& name) {
    AnsiString text = Utf8ToCp932(utf8);
    auto pos = text.find("%s");
    if (pos != AnsiString::npos) text.replace(pos, 2, name);
    return text;
}

} // namespace

TCliMember::TCliMember(const TCliOptions& options, TEntryPrinter& printer)
    : options_(options), printer_(printer) {
    session_.SetGUID(kApplicationGuid);
    session_.SetMaxPlayers(kMaxPlayers);
    session_.OnAddPlayer = [this](TCustomDPSession*, TDPPlayer* player) {
        printer_.Print(TEntryKind::Arrival, {},
                       FormatLine("  %s さんが入室しました。", player->Name));
    };
    session_.OnDeletePlayer = [this](TCustomDPSession*, TDPPlayer* player) {
        printer_.Print(TEntryKind::Departure, {},
                       FormatLine("  %s さんが退室しました。", chat::HandleOf(player->Name)));
    };
    session_.OnMessage = [this](TCustomDPSession*, TDPPlayer* from, const void* data, int size) {
        SessionMessage(from, data, size);
    };
    session_.OnSessionLost = [this](TCustomDPSession*) {
        if (OnSessionLost) OnSessionLost();
    };
}

TCliMember::~TCliMember() = default;

AnsiString TCliMember::OwnAddress() const {
    if (options_.OwnIpGiven) return options_.OwnIp;
    try {
        auto addresses = platform::OwnIPv4Addresses();
        if (!addresses.empty()) return addresses.front();
    } catch (const std::exception&) {
        // No address known: the player name is ":" + handle, as in the window.
    }
    return {};
}

void TCliMember::Enter() {
    // The TCP/IP provider, with the host to enter at and the port.
    AnsiString provider;
    TDPNameGuidList& providers = session_.ProviderList();
    for (int i = 0; i < providers.Count(); ++i)
        if (providers.Guids(i) == dplay::DPSPGUID_TCPIP) provider = providers.Names(i);
    if (provider.empty()) throw ECliFailure("TCP/IPがサポートされていません");
    session_.TCPIPSetting().Enabled = true;
    session_.TCPIPSetting().HostName = options_.Create ? std::string() : options_.Host;
    session_.TCPIPSetting().Port = options_.Port;

    playerName_ = OwnAddress() + ":" + options_.Handle;
    try {
        session_.SetProvider(provider);
        roomName_ = options_.Create ? options_.Room : ChooseRoom();
        session_.OpenSession(options_.Create, roomName_, playerName_);
    } catch (const ECliFailure&) {
        throw;
    } catch (const platform::EAbort&) {
        throw ECliFailure("cancelled");
    } catch (const platform::Exception& e) {
        // The service does not say why a join was refused; a full room is the usual cause.
        std::string what = options_.Create ? "could not create the room"
                                           : "could not enter the room (refused: full or gone?)";
        std::string why = Cp932ToUtf8(e.Message);
        if (!e.Details.empty()) why += " (" + Cp932ToUtf8(e.Details) + ")";
        throw ECliFailure(why + " - " + what);
    }
}

AnsiString TCliMember::ChooseRoom() {
    const std::string at =
        options_.Host + (options_.Port ? ":" + std::to_string(options_.Port) : "");
    try {
        session_.RefreshSessions();
    } catch (const platform::EAbort&) {
        throw;
    } catch (const platform::Exception& e) {
        throw ECliFailure(at + ": " + Cp932ToUtf8(e.Message) +
                          " (no room service answers at this address)");
    }
    TDPNameGuidList& rooms = session_.SessionList();
    if (rooms.Count() == 0)
        throw ECliFailure(at +
                          ": 接続先がチャットルームを作っていません (no room at this address)");
    if (!options_.Room.empty()) {
        int index = rooms.IndexOfName(options_.Room);
        if (index >= 0) return rooms.Names(index);
    } else if (rooms.Count() == 1) {
        return rooms.Names(0);
    }
    std::string message =
        options_.Room.empty()
            ? at + " has " + std::to_string(rooms.Count()) + " rooms; choose one with --room:"
            : at + " has no room \"" + Cp932ToUtf8(options_.Room) + "\"; its rooms:";
    for (int i = 0; i < rooms.Count(); ++i)
        message += "\n  " + Cp932ToUtf8(rooms.Names(i));
    throw ECliFailure(message);
}

void TCliMember::SendLine(const std::string& utf8) {
    if (!session_.Opened()) return;
    chat::TPayload payload = chat::BuildChatText(platform::Utf8ToCp932(utf8));
    std::optional<uint32_t> own;
    if (session_.OwnPlayer()) own = session_.OwnPlayer()->Id;
    chat::SendToRoom([this](uint32_t to, const void* data,
                            size_t size) { session_.SendData(to, data, static_cast<int>(size)); },
                     own, payload);
}

void TCliMember::SessionMessage(TDPPlayer* from, const void* data, int size) {
    if (size < 0) return;
    const AnsiString sender = from ? from->Name : AnsiString();
    chat::TPayloadEvents events;
    events.OnText = [this](const AnsiString& name, const AnsiString& text) {
        printer_.Print(TEntryKind::Text, name, text);
    };
    events.OnGameLine = [this](const AnsiString& line) {
        printer_.Print(TEntryKind::Game, {}, line);
    };
    chat::DispatchPayload(sender, data, static_cast<size_t>(size), events);
}

void TCliMember::Leave() {
    // Closing writes out what is still queued to the others: the service
    // drains leaving links, and waits for them when it ends.
    session_.CloseSession();
}
