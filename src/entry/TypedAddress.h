#pragma once
// A host address as a person types it: where the start dialog's host box,
// IP= on the command line and parlora-cli --join say to enter a room.
//
//   192.168.0.5          IPv4
//   2001:db8::5          IPv6, bare
//   [2001:db8::5]        IPv6 in brackets
//   friend.example.net   a host name (labels of letters, digits and "-")
//
// each optionally followed by ":port" (an IPv6 address then in brackets).
// Blanks around the text are ignored. A typo is told at once, in words that
// say what is wrong, instead of a lookup that times out or dials a wrong
// address. An IPv4-mapped IPv6 address (::ffff:192.0.2.1) is the IPv4
// address it maps, and is taken as that.
//
// No Qt and no network: the parser only reads the text.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace entry {

// Longer typed text is refused before it is read any further: a host name
// holds at most 253 characters, and a port and brackets a few more.
inline constexpr size_t kMaxTypedAddress = 261;

struct TTypedAddress {
    enum TKind { IPv4, IPv6, Name };
    TKind Kind = IPv4;
    // Dotted IPv4; IPv6 in its short form (RFC 5952) without brackets; or
    // the name as typed.
    std::string Host;
    uint16_t Port = 0; // 0: none typed

    // The address in the form it is typed: IPv6 in brackets, ":port" when
    // one was given.
    std::string Text() const;
    bool operator==(const TTypedAddress&) const = default;
};

enum class TAddressError {
    None,
    Empty,           // nothing but blanks
    TooLong,         // more than a host name can hold
    NotAscii,        // full-width or other non-ASCII characters
    Space,           // a blank inside
    Url,             // "http://..." instead of an address
    BadCharacter,    // an ASCII character no address or name holds
    UnclosedBracket, // "[::1"
    StrayBracket,    // "]" or "[" where no IPv6 address is enclosed
    AfterBracket,    // "[::1]x": only ":port" may follow
    NotIPv6InBrackets,
    ZoneId, // "fe80::1%eth0"
    BadIPv6,
    TooManyColons, // "host:1:2": one ":" before the port only
    BadIPv4,
    LeadingZero,  // "192.168.0.010": read as octal by some, decimal by others
    Unusable,     // 0.0.0.0, ::, a broadcast or multicast address
    NoPort,       // "host:"
    BadPort,      // not a number from 1 to 65535
    EmptyLabel,   // "a..b", ".a"
    LongLabel,    // a label of more than 63 characters
    HyphenAtEdge, // "-a.b", "a-.b"
};

struct TAddressParse {
    std::optional<TTypedAddress> Address; // set exactly when Error is None
    TAddressError Error = TAddressError::None;
    char Character = 0; // the character at fault, for BadCharacter

    // Japanese for the user, UTF-8; "" when the address is fine.
    std::string Message() const;
    // The same in English, for parlora-cli's standard error.
    std::string English() const;
};

TAddressParse ParseTypedAddress(std::string_view text);

} // namespace entry
