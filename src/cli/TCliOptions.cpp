#include "TCliOptions.h"

#include "platform/Cp932.h"

#include <QCommandLineParser>

namespace {

const char* const kDescription =
    "A member of a Parlora chat room without a window.\n"
    "\n"
    "Creates a room (--create) or enters one at a host (--join), then sends\n"
    "every line of standard input (UTF-8) as one chat text and prints every\n"
    "entry of the room's log to standard output in UTF-8: texts as\n"
    "<handle>text (a text of several lines as the <handle> line followed by\n"
    "its lines), arrivals, departures and game lines as they are. A line of\n"
    "input longer than 1 MiB is sent in pieces; characters that Shift-JIS\n"
    "cannot hold, and invalid UTF-8, are sent as \"?\".\n"
    "\n"
    "At the end of input it leaves the room once everything typed has reached\n"
    "the others, and exits 0. SIGINT and SIGTERM leave the same way (exit\n"
    "130, 143).\n"
    "Exit 1: bad command line; 2: the room could not be created or entered\n"
    "(no room at the host, no such room, several rooms and no --room, join\n"
    "refused); 3: the session was lost; 4: left, but not everything sent\n"
    "reached every member (one stopped taking it for 30 s, or its connection\n"
    "broke). The reason goes to standard error.\n"
    "\n"
    "While it hosts a room (created, or taken over when the host left) it\n"
    "asks the home router (UPnP or NAT-PMP) to forward the port others need,\n"
    "and says on standard error the address they can enter at from outside,\n"
    "or why there is none and what still works; the forwarding goes when the\n"
    "room closes and at exit.\n"
    "\n"
    "Every link is encrypted (TLS 1.3). The first time it enters a room at an\n"
    "address it remembers the host's key for that address (known_hosts in the\n"
    "settings folder). When a later host there shows another key, it prints a\n"
    "warning with both keys on standard error and does not enter (exit 2):\n"
    "someone on the path may be posing as the host, or the host reinstalled\n"
    "its program. Ask the host for its key; --accept-host-key enters and\n"
    "remembers the new one.\n"
    "\n"
    "Environment: PARLORA_OWN_IP overrides the machine's address list,\n"
    "PARLORA_LISTEN_ADDR the address the session service listens on.";

} // namespace

TCliParse ParseCliOptions(const QStringList& arguments, TCliOptions& options, QString& message) {
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kDescription));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    QCommandLineOption help({"h", "help"}, "Show this help.");
    QCommandLineOption create("create", "Create the room ROOM and become its host.", "ROOM");
    QCommandLineOption join("join",
                            "Enter a room at HOST: an IPv4 address, an IPv6 address (bare or "
                            "in brackets) or a host name, each optionally with :PORT (then "
                            "[IPv6]:PORT). A name's IPv6 and IPv4 addresses are both tried.",
                            "HOST");
    QCommandLineOption room("room", "With --join: the room to enter when HOST has several.",
                            "NAME");
    QCommandLineOption handle("handle", "The handle shown to the others (required).", "NAME");
    QCommandLineOption ownIp(
        "own-ip", "The own address in the player name (default: the machine's first).", "ADDR");
    QCommandLineOption port("port", "The service port (default 47624).", "PORT");
    QCommandLineOption jsonl("jsonl",
                             "Print one JSON object per log entry instead: time (UTC), kind "
                             "(text, arrival, departure, game), sender (player name, \"\" for "
                             "the program's lines), handle, text (lines joined by \\n).");
    QCommandLineOption noPortMap("no-portmap",
                                 "Do not ask the router to forward the port while hosting.");
    QCommandLineOption acceptHostKey(
        "accept-host-key",
        "With --join: enter even when the host's key is not the one seen at HOST before, and "
        "remember the new key (check it with the host first).");
    parser.addOptions(
        {help, create, join, room, handle, ownIp, port, jsonl, noPortMap, acceptHostKey});

    if (!parser.parse(arguments)) {
        message = parser.errorText();
        return TCliParse::Error;
    }
    if (parser.isSet(help)) {
        message = parser.helpText();
        return TCliParse::Help;
    }
    if (!parser.positionalArguments().isEmpty()) {
        message = "unexpected argument: " + parser.positionalArguments().first();
        return TCliParse::Error;
    }
    auto sjis = [](const QString& s) { return platform::Utf8ToCp932(s.toUtf8().toStdString()); };
    if (parser.isSet(create) == parser.isSet(join)) {
        message = "give exactly one of --create ROOM and --join HOST";
        return TCliParse::Error;
    }
    if (parser.isSet(room) && !parser.isSet(join)) {
        message = "--room goes with --join";
        return TCliParse::Error;
    }
    if (parser.isSet(acceptHostKey) && !parser.isSet(join)) {
        message = "--accept-host-key goes with --join";
        return TCliParse::Error;
    }
    options.AcceptHostKey = parser.isSet(acceptHostKey);
    options.Create = parser.isSet(create);
    if (options.Create) {
        options.Room = sjis(parser.value(create));
        if (options.Room.empty()) {
            message = "--create needs a room name";
            return TCliParse::Error;
        }
    } else {
        options.Host = parser.value(join).toStdString();
        options.Room = sjis(parser.value(room));
        if (options.Host.empty()) {
            message = "--join needs a host address";
            return TCliParse::Error;
        }
        const entry::TAddressParse typed = entry::ParseTypedAddress(options.Host);
        if (!typed.Address) {
            message = "--join " + QString::fromStdString(options.Host).left(80) + ": " +
                      QString::fromStdString(typed.Message() + " (" + typed.English() + ")");
            return TCliParse::Error;
        }
        options.Address = *typed.Address;
    }
    options.Handle = sjis(parser.value(handle));
    if (options.Handle.empty()) {
        message = "--handle NAME is required";
        return TCliParse::Error;
    }
    options.OwnIpGiven = parser.isSet(ownIp);
    options.OwnIp = parser.value(ownIp).toStdString();
    if (parser.isSet(port)) {
        bool ok = false;
        uint value = parser.value(port).toUInt(&ok);
        if (!ok || value == 0 || value > 65535) {
            message = "--port needs a number from 1 to 65535";
            return TCliParse::Error;
        }
        options.Port = static_cast<uint16_t>(value);
    }
    if (!options.Create && options.Address.Port) {
        if (options.Port && options.Port != options.Address.Port) {
            message = "--port " + QString::number(options.Port) + " and --join " +
                      QString::fromStdString(options.Host) + " name different ports";
            return TCliParse::Error;
        }
        options.Port = options.Address.Port;
    }
    options.Jsonl = parser.isSet(jsonl);
    options.PortMap = !parser.isSet(noPortMap);
    return TCliParse::Run;
}
