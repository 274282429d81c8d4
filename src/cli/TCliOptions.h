#pragma once
// The command line of parlora-cli.
#include "entry/TypedAddress.h"
#include "platform/AnsiString.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>

struct TCliOptions {
    bool Create = false;          // true: --create ROOM; false: --join HOST
    AnsiString Room;              // the room to create, or the room to enter ("" : the only one)
    std::string Host;             // the host to enter a room at, as typed
    entry::TTypedAddress Address; // the same, read (its port, when given, is in Port too)
    AnsiString Handle;
    AnsiString OwnIp; // the own address in the player name
    bool OwnIpGiven = false;
    uint16_t Port = 0; // 0: the service's default
    bool Jsonl = false;
    bool PortMap = true;        // ask the router to forward the port while hosting
    bool AcceptHostKey = false; // enter even when the host's key changed
};

enum class TCliParse { Run, Help, Error };

// Reads the arguments (argv[0] first). Names and rooms are taken as UTF-8 and
// held as CP932. On Help, `message` is the help text; on Error, what is wrong.
TCliParse ParseCliOptions(const QStringList& arguments, TCliOptions& options, QString& message);
