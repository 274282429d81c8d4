// What the session component shows of the service's faults: nothing
// silently lost, refusals raised where the caller sees them, and a room
// that stays usable while hostile peers press on it.
#include "MemberProcess.h"
#include "SessionTestSupport.h"
#include "dplay/RawClient.h"
#include "platform/ErrorHandler.h"
#include "platform/QtText.h"
#include "support/Descriptors.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace sessiontest;
using namespace dplaytest;

namespace {

const dplay::TGuid kApp = *dplay::TGuid::Parse(kApplication);

class SessionFault : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("PARLORA_LISTEN_ADDR", "127.0.0.1", 1);
        port = FreshPort();
    }
    uint16_t port = 0;
};

// A socket listening on address:port that never answers.
int ListenSilently(uint32_t address, uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = htonl(address);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(fd, 8) != 0)
        ADD_FAILURE() << "cannot hold port " << port;
    return fd;
}

} // namespace

TEST_F(SessionFault, AnEmptyBlockDoesNotLeaveTheReceiverDeaf) {
    TMember host;
    host.Create(port, "room", "host");
    auto rooms = RawEnumerate(port, kApp);
    ASSERT_EQ(rooms.size(), 1u);
    TRaw raw(port);
    auto welcome = RawJoin2(raw, kApp, rooms[0].Instance, 0, "raw");
    ASSERT_TRUE(welcome);
    // Taken in, so that the empty block starts a pump run of its own.
    ASSERT_TRUE(WaitUntil([&] { return host.HasPlayer(welcome->YourId); }));
    raw.Write(RawData2(1, ""));
    raw.Write(RawData2(2, "after the empty one"));
    EXPECT_TRUE(WaitUntil([&] { return host.CountMessages("after the empty one") == 1; }))
        << "the host stopped taking messages";
}

TEST_F(SessionFault, ABlockTooLargeToCarryIsRaisedToTheSender) {
    TMember host, member;
    host.Create(port, "room", "host");
    member.Join("127.0.0.1", port, "room", "member");
    std::string huge((8u << 20) + 1, 'x');
    try {
        member.Send(host.Id(), huge);
        ADD_FAILURE() << "a block no frame can carry looked sent";
    } catch (const EDPSessionError& e) {
        EXPECT_EQ(e.Message, Sjis("メッセージ形式が不正です"));
        EXPECT_NE(e.Details.find(std::to_string(huge.size())), std::string::npos) << e.Details;
    }
    member.Send(host.Id(), "small enough");
    EXPECT_TRUE(WaitUntil([&] { return host.CountMessages("small enough") == 1; }));
    EXPECT_EQ(host.Messages.size(), 1u);
}

TEST_F(SessionFault, ADirectoryPortHeldByAnotherProgramIsNamedInTheErrorBox) {
    int holder = ListenSilently(INADDR_LOOPBACK, port);
    TMember host;
    std::optional<EDPSessionError> error;
    try {
        host.Create(port, "room", "host");
    } catch (const EDPSessionError& e) {
        error = e;
    }
    ::close(holder);
    ASSERT_TRUE(error) << "the room was made on a port another program holds";
    EXPECT_EQ(error->Message, Sjis("セッション 'room' を開けません"));
    EXPECT_NE(error->Details.find("TCP port " + std::to_string(port)), std::string::npos)
        << error->Details;

    // The box keeps the message as it is and puts port and cause in its details.
    QString text, details;
    platform::SetMessageBoxDetailsHook(
        [&](const QString& t, const QString&, unsigned, const QString& d) {
            text = t;
            details = d;
            return platform::IDOK;
        });
    platform::ShowException(*error);
    platform::SetMessageBoxHook(nullptr);
    EXPECT_EQ(text, platform::ToQString(error->Message));
    EXPECT_TRUE(details.contains(QString::number(port))) << details.toStdString();
}

TEST_F(SessionFault, AThousandEnumerationsHeldOpenLeaveTheRoomTalking) {
    rlimit own{};
    ::getrlimit(RLIMIT_NOFILE, &own);
    if (own.rlim_max < 1500) GTEST_SKIP() << "this process may not open 1500 descriptors";
    own.rlim_cur = own.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &own);

    TMemberProcess host("127.0.0.2", 1024), member("127.0.0.3", 1024);
    host.Command("create " + std::to_string(port) + " room host");
    ASSERT_NE(host.WaitFor("OPEN"), "");
    member.Command("join 127.0.0.2 " + std::to_string(port) + " room member");
    ASSERT_NE(member.WaitFor("OPEN"), "");

    // A thousand connections that never finish their TLS handshake nor close
    // (bytes in the clear would only be turned away at once).
    std::vector<int> flood;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(0x7F000002);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F000009);
    for (int i = 0; i < 1000; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        flood.push_back(fd);
        timeval brief{0, 200000}; // a full backlog must not hold the flood up
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &brief, sizeof brief);
        ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
        (void)!::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    // The members talk, a newcomer enters, and the host holds few descriptors.
    host.Command("send 0 during the flood");
    EXPECT_NE(member.WaitFor("MSG"), "");
    TMemberProcess late("127.0.0.4", 1024);
    late.Command("join 127.0.0.2 " + std::to_string(port) + " room late");
    EXPECT_NE(late.WaitFor("OPEN"), "") << "a newcomer could not enter during the flood";
    late.Command("send 0 from the newcomer");
    EXPECT_NE(host.WaitFor("MSG"), "");
    EXPECT_NE(member.WaitFor("MSG"), "");
    EXPECT_LT(testsupport::OpenDescriptors(host.Pid()), 300u);
    for (int fd : flood)
        ::close(fd);
}
