// The session service's frame decoder and handshake, as an accepted
// connection meets them: the input is the byte stream a peer sends, cut into
// reads at the positions the first bytes choose.
#include "dplay/protocol/DPFrameDecoder.h"
#include "dplay/protocol/DPProtocol.h"
#include "dplay/protocol/DPProtocol2.h"

#include <cstdlib>
#include <cstring>

using namespace dplay;
using namespace dplay::proto;

namespace {

// Decoding what we encoded from a decoded value gives that value again: its
// encoding is the same bytes.
template <class T, class Enc, class Dec> void RoundTrip(const T& value, Enc encode, Dec decode) {
    auto frame = encode(value);
    if (frame->size() < 5) abort();
    auto again = decode(frame->data() + 5, frame->size() - 5);
    if (!again || *encode(*again) != *frame) abort();
}

void EveryDecoder(const uint8_t* body, size_t size) {
    if (auto m = DecodeHello(body, size)) RoundTrip(*m, EncodeHello, DecodeHello);
    if (auto m = DecodeEnumReply(body, size)) {
        RoundTrip(*m, EncodeEnumReply, DecodeEnumReply);
        auto frame = EncodeEnumReply(*m);
        auto again = DecodeEnumReply(frame->data() + 5, frame->size() - 5);
        if (!again || again->size() != m->size()) abort();
        for (size_t i = 0; i < m->size(); ++i)
            if ((*again)[i].Name != (*m)[i].Name) abort();
    }
    if (auto m = DecodeJoinRequest(body, size)) RoundTrip(*m, EncodeJoinRequest, DecodeJoinRequest);
    if (auto m = DecodeJoinAccept(body, size)) RoundTrip(*m, EncodeJoinAccept, DecodeJoinAccept);
    if (auto m = DecodeJoinRefuse(body, size)) RoundTrip(*m, EncodeJoinRefuse, DecodeJoinRefuse);
    if (auto m = DecodeCreatePlayer(body, size))
        RoundTrip(*m, EncodeCreatePlayer, DecodeCreatePlayer);
    if (auto m = proto2::DecodePeerHello(body, size))
        RoundTrip(*m, proto2::EncodePeerHello, proto2::DecodePeerHello);
    if (auto m = DecodeRoomAdd(body, size)) RoundTrip(*m, EncodeRoomAdd, DecodeRoomAdd);
    if (auto m = DecodeRoomRemove(body, size)) RoundTrip(*m, EncodeRoomRemove, DecodeRoomRemove);
    DecodeEmpty(body, size);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte sets the read size, as the network would split the stream.
    size_t piece = 1 + data[0] % 64;
    data += 1;
    size -= 1;

    TDPFrameDecoder decoder(kMaxHandshakeFrame);
    enum { AwaitHello, AwaitRequest, Established } state = AwaitHello;
    bool open = true;
    for (size_t at = 0; at < size && open; at += piece) {
        size_t n = size - at < piece ? size - at : piece;
        open = decoder.Feed(data + at, n, [&](uint8_t type, const uint8_t* body, size_t len) {
            if (len > kMaxFrame) abort(); // the bound must hold
            EveryDecoder(body, len);
            switch (state) {
            case AwaitHello:
                if (type != HELLO || !DecodeHello(body, len)) return false;
                state = AwaitRequest;
                return true;
            case AwaitRequest:
                if (type == ENUM_REQUEST) return DecodeEmpty(body, len) && false;
                if (type == JOIN_REQUEST && DecodeJoinRequest(body, len)) {
                    decoder.SetMaxLength(kMaxFrame);
                    state = Established;
                    return true;
                }
                if (type == proto2::PEER_HELLO && proto2::DecodePeerHello(body, len)) {
                    decoder.SetMaxLength(kMaxFrame);
                    state = Established;
                    return true;
                }
                return false;
            case Established:
                return type == proto2::DATA || type == PING || type == CREATE_PLAYER;
            }
            return false;
        });
        if (decoder.Pending() > kMaxFrame + 4 + piece) abort(); // memory stays bounded
    }
    return 0;
}
