// The room's messages: the first byte names the message, the rest is
// its body. Whatever decodes must encode to a body that decodes to the same.
#include "dplay/protocol/DPProtocol2.h"

#include <cstdlib>

using namespace dplay::proto2;

namespace {

std::vector<uint8_t> Body(const TFrame& f) {
    return std::vector<uint8_t>(f->begin() + 5, f->end());
}

template <class T, class Enc, class Dec> T Again(const T& value, Enc encode, Dec decode) {
    auto body = Body(encode(value));
    auto again = decode(body.data(), body.size());
    if (!again) abort();
    return *again;
}

void Check(bool ok) {
    if (!ok) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint8_t type = data[0];
    const uint8_t* body = data + 1;
    size -= 1;
    switch (type % 13) {
    case 0:
        if (auto m = DecodeWelcome(body, size)) {
            Check(m->View.Members.size() <= kMaxMembers);
            auto a = Again(*m, EncodeWelcome, DecodeWelcome);
            Check(a.YourId == m->YourId && a.View.Members == m->View.Members);
        }
        break;
    case 1:
        if (auto m = DecodeMemberAdded(body, size))
            Check(Again(*m, EncodeMemberAdded, DecodeMemberAdded).Member == m->Member);
        break;
    case 2:
        if (auto m = DecodeMemberRemoved(body, size))
            Check(Again(*m, EncodeMemberRemoved, DecodeMemberRemoved).Id == m->Id);
        break;
    case 3:
        if (auto m = DecodeLinks(body, size))
            Check(Again(*m, EncodeLinks, DecodeLinks).Mask == m->Mask);
        break;
    case 4:
        if (auto m = DecodeLinkView(body, size))
            Check(Again(*m, EncodeLinkView, DecodeLinkView).Masks == m->Masks);
        break;
    case 5:
        if (auto m = DecodeNewHost(body, size))
            Check(Again(*m, EncodeNewHost, DecodeNewHost).Members == m->Members);
        break;
    case 6:
        if (auto m = DecodeHostAck(body, size))
            Check(Again(*m, EncodeHostAck, DecodeHostAck) == *m);
        break;
    case 7:
        if (auto m = DecodePeerHello(body, size)) {
            auto a = Again(*m, EncodePeerHello, DecodePeerHello);
            Check(a.FromId == m->FromId && a.TargetId == m->TargetId && a.Secret == m->Secret);
        }
        break;
    case 8:
        if (auto m = DecodeData(body, size)) {
            auto b = Body(EncodeData(m->Seq, m->Block.data(), uint32_t(m->Block.size())));
            auto a = DecodeData(b.data(), b.size());
            Check(a && a->Seq == m->Seq && a->Block == m->Block);
        }
        break;
    case 9:
        if (auto m = DecodeAck(body, size)) Check(Again(*m, EncodeAck, DecodeAck) == *m);
        break;
    case 10:
        if (auto m = DecodeRelay(body, size)) {
            auto b =
                Body(EncodeRelay(m->Peer, m->InnerType, m->InnerBody.data(), m->InnerBody.size()));
            auto a = DecodeRelay(b.data(), b.size());
            Check(a && a->Peer == m->Peer && a->InnerBody == m->InnerBody);
        }
        break;
    case 11:
        if (auto m = DecodeHello(body, size))
            Check(Again(*m, EncodeHello, DecodeHello).Application == m->Application);
        break;
    default:
        DecodeEmpty(body, size);
        break;
    }
    return 0;
}
