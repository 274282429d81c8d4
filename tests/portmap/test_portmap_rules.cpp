#include "portmap/PortMapRules.h"
#include "portmap/OwnIPv6.h"

#include <gtest/gtest.h>

using namespace portmap;

namespace {

TIPv4 Ip(const char* text) {
    return ParseIPv4(text).value();
}

} // namespace

TEST(PortMapRules, AddressKindsAtTheirEdges) {
    EXPECT_EQ(ClassifyIPv4(Ip("203.0.113.5")), TAddressKind::Public);
    EXPECT_EQ(ClassifyIPv4(Ip("9.255.255.255")), TAddressKind::Public);
    EXPECT_EQ(ClassifyIPv4(Ip("10.0.0.0")), TAddressKind::Private);
    EXPECT_EQ(ClassifyIPv4(Ip("10.255.255.255")), TAddressKind::Private);
    EXPECT_EQ(ClassifyIPv4(Ip("11.0.0.0")), TAddressKind::Public);
    EXPECT_EQ(ClassifyIPv4(Ip("172.15.255.255")), TAddressKind::Public);
    EXPECT_EQ(ClassifyIPv4(Ip("172.16.0.1")), TAddressKind::Private);
    EXPECT_EQ(ClassifyIPv4(Ip("172.31.255.255")), TAddressKind::Private);
    EXPECT_EQ(ClassifyIPv4(Ip("172.32.0.0")), TAddressKind::Public);
    EXPECT_EQ(ClassifyIPv4(Ip("192.168.1.1")), TAddressKind::Private);
    EXPECT_EQ(ClassifyIPv4(Ip("192.169.0.0")), TAddressKind::Public);
    EXPECT_EQ(ClassifyIPv4(Ip("100.63.255.255")), TAddressKind::Public);
    EXPECT_EQ(ClassifyIPv4(Ip("100.64.0.0")), TAddressKind::Shared);
    EXPECT_EQ(ClassifyIPv4(Ip("100.127.255.255")), TAddressKind::Shared);
    EXPECT_EQ(ClassifyIPv4(Ip("100.128.0.0")), TAddressKind::Public);
    for (const char* bad : {"0.0.0.0", "0.1.2.3", "127.0.0.1", "169.254.3.4", "224.0.0.1",
                            "239.255.255.250", "240.0.0.1", "255.255.255.255"})
        EXPECT_EQ(ClassifyIPv4(Ip(bad)), TAddressKind::Unusable) << bad;
}

TEST(PortMapRules, DottedAddressesStrictly) {
    EXPECT_EQ(FormatIPv4(Ip("1.20.255.0")), "1.20.255.0");
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", "1.2.3.4.5", "256.1.1.1", "01.2.3.4", "1..3.4",
                            "1.2.3.-4", " 1.2.3.4", "1.2.3.4 ", "1.2.3.4444", "a.b.c.d"})
        EXPECT_FALSE(ParseIPv4(bad)) << bad;
}

TEST(PortMapRules, DefaultGatewayFromTheRoutingTable) {
    // A second default route with a higher metric, a host route through a
    // gateway and a down default route must not be taken.
    const char* table =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
        "eth0\t0000A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
        "eth0\t0A0A0A0A\t0200A8C0\t0007\t0\t0\t0\tFFFFFFFF\t0\t0\t0\n"
        "eth1\t00000000\t0300A8C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n"
        "eth0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n";
    auto gateway = DefaultGateway(table);
    ASSERT_TRUE(gateway);
    EXPECT_EQ(FormatIPv4(*gateway), "192.168.0.1");
    EXPECT_FALSE(DefaultGateway("Iface\tDestination\tGateway\n"));
    EXPECT_FALSE(DefaultGateway("Iface\n eth0 00000000 garbage 0003 0 0 0 00000000\n"));
    EXPECT_FALSE(DefaultGateway(""));
}

TEST(PortMapRules, UrlHosts) {
    EXPECT_EQ(UrlHost("http://192.168.0.1:5000/ctl/IPConn"), "192.168.0.1");
    EXPECT_EQ(UrlHost("http://192.168.0.1/rootDesc.xml"), "192.168.0.1");
    EXPECT_EQ(UrlHost("http://user@10.0.0.1:80"), "10.0.0.1");
    EXPECT_EQ(UrlHost("http://[fe80::1]:5000/x"), "fe80::1");
    EXPECT_EQ(UrlHost("192.168.0.1/x"), "");
    EXPECT_EQ(UrlHost("http://[fe80::1"), "");
}

TEST(PortMapRules, RouterAnswers) {
    EXPECT_EQ(InterpretUpnpAdd(0), TUpnpAnswer::Mapped);
    EXPECT_EQ(InterpretUpnpAdd(725), TUpnpAnswer::PermanentLeaseOnly);
    EXPECT_EQ(InterpretUpnpAdd(718), TUpnpAnswer::PortTaken);
    EXPECT_EQ(InterpretUpnpAdd(729), TUpnpAnswer::PortTaken);
    for (int refused : {402, 501, 606, 715, 716, 724, 726, 727, 728, 732, 999})
        EXPECT_EQ(InterpretUpnpAdd(refused), TUpnpAnswer::Refused) << refused;
    for (int none : {-1, -2, -3, -4, -5})
        EXPECT_EQ(InterpretUpnpAdd(none), TUpnpAnswer::NoAnswer) << none;

    EXPECT_EQ(InterpretPmpResult(0), TPmpAnswer::Mapped);
    for (int refused : {1, 2, 4, 5, 9, -7, -14, -15, -49, -51, -53})
        EXPECT_EQ(InterpretPmpResult(refused), TPmpAnswer::Refused) << refused;
    for (int none : {3, -52, -2, -5, -1000})
        EXPECT_EQ(InterpretPmpResult(none), TPmpAnswer::NoAnswer) << none;
}

TEST(PortMapRules, PublicPortsTriedAndRenewalTimes) {
    EXPECT_EQ(CandidatePort(47624, 0), 47624);
    EXPECT_EQ(CandidatePort(47624, 1), 47625);
    EXPECT_EQ(CandidatePort(65535, 1), 1024);
    EXPECT_EQ(CandidatePort(65534, 3), 1025);
    EXPECT_FALSE(CandidatePort(47624, kPortAttempts));
    EXPECT_FALSE(CandidatePort(47624, -1));

    EXPECT_EQ(RenewAfter(3600), 1800u);
    EXPECT_EQ(RenewAfter(7), 3u);
    EXPECT_EQ(RenewAfter(1), 1u);
    EXPECT_EQ(RenewAfter(0), kPermanentCheckSeconds);
}

TEST(PortMapRules, NatPmpRestartByEpoch) {
    // Seconds since the router started must grow with our own clock.
    EXPECT_FALSE(PmpEpochRestarted(1000, 1100, 100));
    EXPECT_FALSE(PmpEpochRestarted(1000, 1086, 100)); // within the allowed drift
    EXPECT_TRUE(PmpEpochRestarted(1000, 1080, 100));
    EXPECT_TRUE(PmpEpochRestarted(1000, 5, 1));      // went backwards: restarted
    EXPECT_FALSE(PmpEpochRestarted(1000, 999, 0));   // reordered by a second
    EXPECT_FALSE(PmpEpochRestarted(1000, 1000, -5)); // clock oddities do not count
}

TEST(PortMapRules, StableGlobalIPv6Only) {
    const char* text =
        "20010db8000000000000000000000005 02 40 00 80     eth0\n"  // stable global
        "20010db8000000001234567890abcdef 02 40 00 01     eth0\n"  // temporary
        "20010db8000000000000000000000006 02 40 00 20     eth0\n"  // deprecated
        "20010db8000000000000000000000007 02 40 00 40     eth0\n"  // tentative
        "fe800000000000000000000000000001 02 40 20 80     eth0\n"  // link-local scope
        "fd000000000000000000000000000001 02 40 00 80     eth0\n"  // unique-local
        "00000000000000000000000000000001 01 80 10 80       lo\n"  // loopback
        "20010db800010000000100000000abcd 03 40 00 100    eth1\n"  // more flags, stable
        "20010db8 02 40 00 80 eth0\n"                              // cut short
        "zz010db8000000000000000000000005 02 40 00 80     eth0\n"; // not hex
    EXPECT_EQ(StableGlobalIPv6(text),
              (std::vector<std::string>{"2001:db8::5", "2001:db8:1:0:1::abcd"}));
}
