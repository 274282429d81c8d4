#pragma once
// A member of a room without a window: enters a room, sends texts, and hands
// every log entry of the room to a printer, by the same payload code and log
// line rules as the chat window.
#include "ECliFailure.h"
#include "TCliOptions.h"
#include "TEntryPrinter.h"
#include "session/DPSession.h"

#include <functional>
#include <memory>
#include <string>

class TCliMember {
  public:
    TCliMember(const TCliOptions& options, TEntryPrinter& printer);
    ~TCliMember();
    TCliMember(const TCliMember&) = delete;
    TCliMember& operator=(const TCliMember&) = delete;

    // Creates or enters the room. Throws ECliFailure.
    void Enter();
    // Sends one line of UTF-8 input as a chat text. False when the room does
    // not take it yet (a member does not keep up): nothing was sent, try again.
    bool SendLine(const std::string& utf8);
    // Leaves the room and waits until what was sent has reached the others;
    // false when some of it could not. Safe in any state.
    bool Leave(const std::function<void()>& stillGoing = {});

    // The session was lost: the member is no longer in the room.
    std::function<void()> OnSessionLost;
    // This process took the room over as its host.
    std::function<void()> OnHost;

    const AnsiString& PlayerName() const { return playerName_; }
    const AnsiString& RoomName() const { return roomName_; }

  private:
    AnsiString OwnAddress() const;
    AnsiString ChooseRoom();
    void SessionMessage(TDPPlayer* from, const void* data, int size);

    TCliOptions options_;
    TEntryPrinter& printer_;
    AnsiString playerName_;
    AnsiString roomName_;
    TDPSession session_;
};
