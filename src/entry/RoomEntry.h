#pragma once
// Entering a room: the session component set up for the program, the TCP/IP
// provider chosen, the rooms at an address listed and one picked by name,
// the room created or joined, and the log lines for members who come and go.
// The start dialog, parlora-cli and the tests all enter rooms through here.
//
// Threading. A session component belongs to the thread that runs its event
// loop (the GUI thread): its operations are called there and its events run
// there. Listing rooms and opening one block until the host answers, so the
// start dialog runs those two steps on a worker (RunOnWorker) to keep its
// window painting. That is the only exception, and it is kept here: while a
// step runs on the worker, the calling thread touches the component no
// further, and every event the component raises meanwhile is handed over to
// the calling thread, where the chat window's handlers expect to run.
#include "ApplicationGuid.h"
#include "TypedAddress.h"
#include "platform/AnsiString.h"
#include "session/DPSession.h"

#include <functional>

namespace entry {

// Members in a room, its host included.
inline constexpr int kMaxPlayers = 10;

// Gives a session component the program's GUID and room size.
void Prepare(TDPSession& session);

// The name a member enters under: its own address, ":" and the handle. An
// IPv6 address goes in brackets ("[2001:db8::5]:hanako") and a port is left
// out, so that the handle rule (chat::HandleOf) finds the typed handle again
// whatever the address holds.
AnsiString PlayerName(const AnsiString& ownAddress, const AnsiString& handle);

// The log lines for a member that arrived (its player name) and one that
// left (its handle only).
AnsiString ArrivalLine(const AnsiString& playerName);
AnsiString DepartureLine(const AnsiString& playerName);

// The name the service lists its TCP/IP provider under; empty when it has
// none.
AnsiString TcpIpProviderName(TDPSession& session);
// Connects the component through the TCP/IP provider to `host` (empty for a
// room of one's own) at the port its TCPIPSetting holds. Throws
// platform::Exception "TCP/IPがサポートされていません" when the service has
// no such provider.
void UseTcpIp(TDPSession& session, const AnsiString& host);

// How a blocking step runs; left empty, in place on the calling thread.
using TStepRunner = std::function<void(const std::function<void()>& step)>;

// The host to hand UseTcpIp for a typed address: an IPv4 or IPv6 address as
// it is (IPv6 bare), a name once it is found (a blocking lookup, so through
// `run`); the service tries the name's addresses of both families. A name
// that is not found throws platform::Exception with a message that says so,
// and the reason in English in its Details.
AnsiString DialableHost(const TTypedAddress& address, const TStepRunner& run = {});
// Runs `step` on a worker while the calling (GUI) thread keeps serving its
// events; returns when the step has, rethrowing what it threw.
void RunOnWorker(const std::function<void()>& step);

// The rooms of the host UseTcpIp connected to, asked for anew.
TDPNameGuidList& ListRooms(TDPSession& session, const TStepRunner& run = {});

// Which of the listed rooms to enter.
struct TRoomChoice {
    enum TKind {
        Chosen,   // Name is the room's name as listed
        NoRoom,   // the host has no room
        NotFound, // no room has the wanted name
        Several,  // no name wanted and more than one room
    };
    TKind Kind = NoRoom;
    AnsiString Name;
};
// With `wanted` empty the only room; otherwise the first room of that name,
// the letter case of single-byte letters ignored.
TRoomChoice ChooseRoom(const TDPNameGuidList& rooms, const AnsiString& wanted);

// Creates (create true) or joins the room named `room` as `playerName`.
// Through a `run` that uses a worker, the component's events are handed
// over to the calling thread until the step is done.
void OpenRoom(TDPSession& session, bool create, const AnsiString& room,
              const AnsiString& playerName, const TStepRunner& run = {});

} // namespace entry
