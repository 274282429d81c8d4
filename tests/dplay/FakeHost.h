#pragma once
// A host played by hand, so that the order of what it sends is certain.
#include "Peer.h"
#include "RawClient.h"
#include "dplay/service/DPService.h"

#include <gtest/gtest.h>
#include <thread>

namespace dplaytest {

// The keys of the join link's two ends in a welcome, as a real host gives
// them: the fake host's (a raw client's) and this process's.
inline void KeysOfTheJoin(p2::TWelcome& w) {
    for (auto& e : w.View.Members) {
        if (e.Id == w.View.HostId) e.Key = TRaw::TestKey().OwnKey();
        if (e.Id == w.YourId) e.Key = TDPService::Acquire()->Tls()->OwnKey();
    }
}

struct TFakeHost {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor{io};
    proto::TRoomInfo room;
    uint16_t version = p2::kVersion; // what its HELLO says

    explicit TFakeHost(uint16_t port) {
        asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
        acceptor.open(endpoint.protocol());
        acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
        acceptor.bind(endpoint);
        acceptor.listen();
        room.Application = kApp;
        room.Instance = TGuid::Create();
        room.MaxPlayers = 10;
        room.CurrentPlayers = 1;
        room.Name = "room";
    }
    // Takes the next connection, showing `key`, and checks its HELLO and request.
    void Accept(TRaw& raw, proto::TMessageType request, TDPTls& key = TRaw::TestKey()) {
        acceptor.accept(raw.s);
        raw.Limit();
        ASSERT_TRUE(raw.Secure(true, key));
        auto hello = raw.Read();
        ASSERT_TRUE(hello && hello->Type == proto::HELLO);
        auto req = raw.Read();
        ASSERT_TRUE(req && req->Type == request);
        auto answer = RawHello(kApp, version);
        raw.Write(answer.data(), answer.size());
    }
    // Serves a joiner's enumeration and gives it a place: its CREATE_PLAYER.
    std::optional<proto::TCreatePlayer> Admit(TRaw& enumeration, TRaw& join) {
        Accept(enumeration, proto::ENUM_REQUEST);
        enumeration.Write(proto::EncodeEnumReply({room}));
        Accept(join, proto::JOIN_REQUEST);
        join.Write(proto::EncodeJoinAccept(room));
        auto create = join.Read();
        if (!create || create->Type != proto::CREATE_PLAYER) return std::nullopt;
        return proto::DecodeCreatePlayer(create->Body.data(), create->Body.size());
    }
    // A joiner enters here at `port`: its enumeration and join are served and
    // `welcome` answers its CREATE_PLAYER. The result of its CreatePlayer;
    // `join` is the host's end of its link.
    HRESULT Enter(TPeer& joiner, uint16_t port, TRaw& join, const proto::TFrame& welcome) {
        HRESULT result = DP_OK;
        std::thread joining([&] { result = joiner.TryJoin(port); });
        TRaw enumeration;
        EXPECT_TRUE(Admit(enumeration, join));
        join.Write(welcome);
        joining.join();
        return result;
    }
};

} // namespace dplaytest
