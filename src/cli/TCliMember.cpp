#include "TCliMember.h"

#include "chat_core/ChatPayload.h"
#include "entry/RoomEntry.h"
#include "identity/Texts.h"
#include "platform/Cp932.h"
#include "platform/OwnAddresses.h"
#include "session/DPSessionError.h"

#include <cstdio>
#include <limits>

using platform::Cp932ToUtf8;

TCliMember::TCliMember(const TCliOptions& options, TEntryPrinter& printer)
    : options_(options), printer_(printer) {
    entry::Prepare(session_);
    session_.OnAddPlayer = [this](TCustomDPSession*, TDPPlayer* player) {
        printer_.Print(TEntryKind::Arrival, {}, entry::ArrivalLine(player->Name));
    };
    session_.OnDeletePlayer = [this](TCustomDPSession*, TDPPlayer* player) {
        printer_.Print(TEntryKind::Departure, {}, entry::DepartureLine(player->Name));
    };
    session_.OnMessage = [this](TCustomDPSession*, TDPPlayer* from, const void* data, int size) {
        SessionMessage(from, data, size);
    };
    session_.OnSessionLost = [this](TCustomDPSession*) {
        if (OnSessionLost) OnSessionLost();
    };
    session_.OnHost = [this](TCustomDPSession*) {
        if (OnHost) OnHost();
    };
    // A changed host key is told in full; only --accept-host-key enters.
    session_.OnHostKeyChanged = [this](TCustomDPSession*, const dplay::DPHOSTKEYCHANGE& change) {
        std::fprintf(stderr, "parlora-cli: %s\n",
                     identity::KeyChangedEnglish(change.Address, identity::TFingerprint{change.Old},
                                                 identity::TFingerprint{change.Now})
                         .c_str());
        std::fprintf(stderr, "parlora-cli: %s\n",
                     options_.AcceptHostKey
                         ? "entering all the same (--accept-host-key); the new key is remembered"
                         : "not entering; --accept-host-key enters and remembers the new key");
        std::fflush(stderr);
        return options_.AcceptHostKey;
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
    if (entry::TcpIpProviderName(session_).empty())
        throw ECliFailure("TCP/IPがサポートされていません");
    session_.TCPIPSetting().Port = options_.Port;

    playerName_ = entry::PlayerName(OwnAddress(), options_.Handle);
    try {
        AnsiString host;
        if (!options_.Create) {
            try {
                host = entry::DialableHost(options_.Address);
            } catch (const platform::Exception& e) {
                throw ECliFailure(options_.Host + ": " + Cp932ToUtf8(e.Message) + " (" +
                                  Cp932ToUtf8(e.Details) + ")");
            }
        }
        entry::UseTcpIp(session_, host);
        roomName_ = options_.Create ? options_.Room : ChooseRoom();
        entry::OpenRoom(session_, options_.Create, roomName_, playerName_);
    } catch (const ECliFailure&) {
        throw;
    } catch (const platform::EAbort&) {
        throw ECliFailure("cancelled");
    } catch (const platform::Exception& e) {
        // The details say why, when the room told us.
        std::string what =
            options_.Create ? "could not create the room" : "could not enter the room";
        std::string why = Cp932ToUtf8(e.Message);
        if (!e.Details.empty()) why += " (" + Cp932ToUtf8(e.Details) + ")";
        throw ECliFailure(why + " - " + what);
    }
}

AnsiString TCliMember::ChooseRoom() {
    entry::TTypedAddress address = options_.Address;
    address.Port = options_.Port;
    const std::string at = address.Text();
    const TDPNameGuidList* rooms = nullptr;
    try {
        rooms = &entry::ListRooms(session_);
    } catch (const platform::EAbort&) {
        throw;
    } catch (const platform::Exception& e) {
        const std::string why =
            e.Details.empty() ? "no room service answers at this address" : Cp932ToUtf8(e.Details);
        throw ECliFailure(at + ": " + Cp932ToUtf8(e.Message) + " (" + why + ")");
    }
    const entry::TRoomChoice choice = entry::ChooseRoom(*rooms, options_.Room);
    if (choice.Kind == entry::TRoomChoice::NoRoom)
        throw ECliFailure(at +
                          ": 接続先がチャットルームを作っていません (no room at this address)");
    if (choice.Kind == entry::TRoomChoice::Chosen) return choice.Name;
    std::string message =
        choice.Kind == entry::TRoomChoice::Several
            ? at + " has " + std::to_string(rooms->Count()) + " rooms; choose one with --room:"
            : at + " has no room \"" + Cp932ToUtf8(options_.Room) + "\"; its rooms:";
    for (int i = 0; i < rooms->Count(); ++i)
        message += "\n  " + Cp932ToUtf8(rooms->Names(i));
    throw ECliFailure(message);
}

bool TCliMember::SendLine(const std::string& utf8) {
    if (!session_.Opened()) return true;
    chat::TPayload payload = chat::BuildChatText(platform::Utf8ToCp932(utf8));
    std::optional<uint32_t> own;
    if (session_.OwnPlayer()) own = session_.OwnPlayer()->Id;
    try {
        chat::SendToRoom(
            [this](uint32_t to, const void* data, size_t size) {
                session_.SendData(to, data, static_cast<int>(size));
            },
            own, payload);
    } catch (const EDPSessionBusy&) {
        return false; // refused whole before the own copy: nothing was printed
    }
    return true;
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

bool TCliMember::Leave(const std::function<void()>& stillGoing) {
    // Closing writes out what is still queued to the others. Each leaving
    // link ends by itself once its member took everything, or nothing for
    // as long as the room waits for a member: no bound of our own here.
    return session_.CloseSessionWhenSent(std::numeric_limits<int>::max(), stillGoing);
}
