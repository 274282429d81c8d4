// Host addresses as people type them: what is taken, in what form, and what
// each typo is told.
#include "entry/TypedAddress.h"

#include <gtest/gtest.h>
#include <string>

namespace {

using entry::ParseTypedAddress;
using entry::TAddressError;
using entry::TTypedAddress;

struct TGood {
    std::string Typed;
    TTypedAddress::TKind Kind;
    std::string Host;
    uint16_t Port;
};

TEST(TypedAddress, AcceptedFormsAndWhatTheyMean) {
    const TGood cases[] = {
        {"192.168.0.5", TTypedAddress::IPv4, "192.168.0.5", 0},
        {"192.168.0.5:47625", TTypedAddress::IPv4, "192.168.0.5", 47625},
        {"  10.0.0.1\t\r\n", TTypedAddress::IPv4, "10.0.0.1", 0}, // pasted with blanks
        {"127.0.0.1:1", TTypedAddress::IPv4, "127.0.0.1", 1},
        {"1.2.3.4:65535", TTypedAddress::IPv4, "1.2.3.4", 65535},
        {"0.1.2.3x", TTypedAddress::Name, "0.1.2.3x", 0}, // last label not all digits: a name
        {"2001:db8::5", TTypedAddress::IPv6, "2001:db8::5", 0},
        {"[2001:db8::5]", TTypedAddress::IPv6, "2001:db8::5", 0},
        {"[2001:DB8:0:0:0:0:0:5]:47624", TTypedAddress::IPv6, "2001:db8::5", 47624},
        {"::1", TTypedAddress::IPv6, "::1", 0},
        {"2001:db8:0:1:1:1:1:1", TTypedAddress::IPv6, "2001:db8:0:1:1:1:1:1", 0}, // one 0: no "::"
        {"2001:0:0:1:0:0:0:1", TTypedAddress::IPv6, "2001:0:0:1::1", 0},          // the longest run
        {"2001:db8:0:0:1:0:0:1", TTypedAddress::IPv6, "2001:db8::1:0:0:1", 0},    // first of equals
        {"::1.2.3.4", TTypedAddress::IPv6, "::102:304", 0},
        // An IPv4-mapped address is the IPv4 address it maps.
        {"::ffff:192.0.2.1", TTypedAddress::IPv4, "192.0.2.1", 0},
        {"[::FFFF:c000:0201]:5000", TTypedAddress::IPv4, "192.0.2.1", 5000},
        {"localhost", TTypedAddress::Name, "localhost", 0},
        {"friend.example.net:50000", TTypedAddress::Name, "friend.example.net", 50000},
        {"Home-PC", TTypedAddress::Name, "Home-PC", 0},
        {"example.net.", TTypedAddress::Name, "example.net.", 0},
        {"a.b.c.d.e.f.g.h.i.j.k.l.m.n.o.p.q.r.s.t.u.v.w.x.y.z.0.1.2.3.x1", TTypedAddress::Name,
         "a.b.c.d.e.f.g.h.i.j.k.l.m.n.o.p.q.r.s.t.u.v.w.x.y.z.0.1.2.3.x1", 0},
        {std::string(63, 'a') + ".jp", TTypedAddress::Name, std::string(63, 'a') + ".jp", 0},
    };
    for (const TGood& c : cases) {
        const entry::TAddressParse p = ParseTypedAddress(c.Typed);
        ASSERT_TRUE(p.Address) << c.Typed << ": " << p.English();
        EXPECT_EQ(p.Error, TAddressError::None);
        EXPECT_EQ(p.Address->Kind, c.Kind) << c.Typed;
        EXPECT_EQ(p.Address->Host, c.Host) << c.Typed;
        EXPECT_EQ(p.Address->Port, c.Port) << c.Typed;
        EXPECT_EQ(p.Message(), "");
    }
}

TEST(TypedAddress, TextIsTheFormItIsTypedIn) {
    EXPECT_EQ(ParseTypedAddress("[2001:db8::5]:47625").Address->Text(), "[2001:db8::5]:47625");
    EXPECT_EQ(ParseTypedAddress("2001:db8::5").Address->Text(), "[2001:db8::5]");
    EXPECT_EQ(ParseTypedAddress("1.2.3.4:80").Address->Text(), "1.2.3.4:80");
    EXPECT_EQ(ParseTypedAddress("host").Address->Text(), "host");
    // What Text() gives reads back as the same address.
    for (const char* typed : {"[::1]:9", "::ffff:1.2.3.4", "a.example:1", "2001:db8::5"}) {
        const TTypedAddress a = *ParseTypedAddress(typed).Address;
        EXPECT_EQ(ParseTypedAddress(a.Text()).Address, a) << typed;
    }
}

struct TBad {
    std::string Typed;
    TAddressError Error;
};

TEST(TypedAddress, EveryTypoIsToldWhatIsWrong) {
    const std::string sjisIp = "\x82\x50\x82\x58\x82\x51\x81\x44\x82\x50"; // "１９２．１" in CP932
    const TBad cases[] = {
        {"", TAddressError::Empty},
        {" \t ", TAddressError::Empty},
        {":47624", TAddressError::Empty},
        {std::string(300, 'a'), TAddressError::TooLong},
        {std::string(250, 'a') + ".com", TAddressError::TooLong}, // a name over 253
        {sjisIp, TAddressError::NotAscii},
        {"192.168.0.5\x81\x40", TAddressError::NotAscii}, // a full-width blank after it
        {"host\xE3\x81\x82", TAddressError::NotAscii},    // UTF-8 from the command line
        {"192.168. 0.5", TAddressError::Space},
        {"my host", TAddressError::Space},
        {"http://example.net/", TAddressError::Url},
        {"my_host", TAddressError::BadCharacter},
        {"host/room", TAddressError::BadCharacter},
        {"taro@example.net", TAddressError::BadCharacter},
        {"host?", TAddressError::BadCharacter}, // what CP932 could not hold
        {std::string("a\x01", 2), TAddressError::BadCharacter},
        {"[::1", TAddressError::UnclosedBracket},
        {"[", TAddressError::UnclosedBracket},
        {"::1]", TAddressError::StrayBracket},
        {"[[::1]]", TAddressError::StrayBracket},
        {"[::1]]", TAddressError::StrayBracket},
        {"host[1]", TAddressError::StrayBracket},
        {"[::1]x", TAddressError::AfterBracket},
        {"[::1]80", TAddressError::AfterBracket},
        {"[1.2.3.4]", TAddressError::NotIPv6InBrackets},
        {"[example.net]:80", TAddressError::NotIPv6InBrackets},
        {"[]", TAddressError::NotIPv6InBrackets},
        {"fe80::1%eth0", TAddressError::ZoneId},
        {"[fe80::1%25eth0]:47624", TAddressError::ZoneId},
        {"1:2:3:4:5:6:7:8:9", TAddressError::BadIPv6},
        {"2001:db8:::5", TAddressError::BadIPv6},
        {"::12345", TAddressError::BadIPv6},
        {"[2001:db8::g]", TAddressError::BadIPv6},
        {"::ffff:1.2.3.256", TAddressError::BadIPv6},
        {"example.net:80:90", TAddressError::TooManyColons},
        {"host::80", TAddressError::TooManyColons},
        {"1.2.3", TAddressError::BadIPv4},
        {"1.2.3.4.5", TAddressError::BadIPv4},
        {"256.1.1.1", TAddressError::BadIPv4},
        {"1.2.3.4.", TAddressError::BadIPv4},
        {"12345", TAddressError::BadIPv4}, // inet_aton would dial 0.0.48.57
        {"1..3.4", TAddressError::BadIPv4},
        {"1.2.3.1000", TAddressError::BadIPv4},
        {"192.168.0.010", TAddressError::LeadingZero},
        {"0177.0.0.1", TAddressError::LeadingZero},
        {"0.0.0.0", TAddressError::Unusable},
        {"0.1.2.3", TAddressError::Unusable},
        {"255.255.255.255", TAddressError::Unusable},
        {"224.0.0.1:47624", TAddressError::Unusable},
        {"::", TAddressError::Unusable},
        {"[::]:47624", TAddressError::Unusable},
        {"ff02::1", TAddressError::Unusable},
        {"::ffff:0.0.0.0", TAddressError::Unusable},
        {"1.2.3.4:", TAddressError::NoPort},
        {"[::1]:", TAddressError::NoPort},
        {"1.2.3.4:99999", TAddressError::BadPort},
        {"1.2.3.4:65536", TAddressError::BadPort},
        {"1.2.3.4:0", TAddressError::BadPort},
        {"1.2.3.4:00000", TAddressError::BadPort},
        {"1.2.3.4:-1", TAddressError::BadPort},
        {"1.2.3.4:0x50", TAddressError::BadPort},
        {"1.2.3.4:4294967377", TAddressError::BadPort}, // 2^32 + 81 must not wrap to 81
        {"[::1]:http", TAddressError::BadPort},
        {"a..b", TAddressError::EmptyLabel},
        {".example.net", TAddressError::EmptyLabel},
        {"example..net:80", TAddressError::EmptyLabel},
        {std::string(64, 'a') + ".jp", TAddressError::LongLabel},
        {"-host.example", TAddressError::HyphenAtEdge},
        {"host-.example", TAddressError::HyphenAtEdge},
        {"-", TAddressError::HyphenAtEdge},
    };
    for (const TBad& c : cases) {
        const entry::TAddressParse p = ParseTypedAddress(c.Typed);
        EXPECT_FALSE(p.Address) << c.Typed << " was taken as " << p.Address->Text();
        EXPECT_EQ(p.Error, c.Error) << c.Typed << ": " << p.English();
        EXPECT_NE(p.Message(), "") << c.Typed;
        EXPECT_NE(p.English(), "") << c.Typed;
    }
}

TEST(TypedAddress, MessagesNameTheCharacterAtFault) {
    EXPECT_EQ(ParseTypedAddress("my_host").Message(),
              "接続先のアドレスに使えない文字「_」があります");
    EXPECT_EQ(ParseTypedAddress("a/b").English(),
              "no address or host name holds the character '/'");
    // A control character is shown by its code, never written into the box.
    EXPECT_EQ(ParseTypedAddress(std::string("a\x1b", 2)).English(),
              "no address or host name holds the character '0x1B'");
    // Each kind of fault says something of its own.
    EXPECT_NE(ParseTypedAddress("[::1").Message(), ParseTypedAddress("1.2.3.4:0").Message());
    EXPECT_NE(ParseTypedAddress("1.2.3").Message(), ParseTypedAddress("fe80::1%1").Message());
}

} // namespace
