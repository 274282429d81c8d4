#pragma once
// TLS for every link of the session service: TLS 1.3 only, and both ends
// present their user's self-signed certificate. Any certificate is taken
// at this level (there is no authority to vouch for a person's key); what
// a key may do is decided above it: the room accepts a member link only
// from the key its host announced for that member, and a joiner compares
// a host's key with the one it remembered for the address.
#include "dplay/protocol/DPProtocol2.h"

#include <asio.hpp>
#include <asio/ssl.hpp>
#include <memory>
#include <optional>
#include <string>

namespace dplay {

class TDPTls {
  public:
    // The user's key (made at first use beside the settings). When it can be
    // neither read nor made, a key for this run only is made, and Notice()
    // says so; a file that was not a key is set aside and Notice() says where.
    static std::unique_ptr<TDPTls> ForUser();
    // A key for this run only, nothing read or written (tests, tools).
    static std::unique_ptr<TDPTls> Ephemeral();

    asio::ssl::context& Context() { return context_; }
    const proto2::TKeyId& OwnKey() const { return ownKey_; }
    // For the user, "" when the key was read or made as it should be.
    const std::string& Notice() const { return notice_; }
    const std::string& NoticeEnglish() const { return noticeEnglish_; }

    // The key of the peer whose handshake is complete on ssl; nullopt when
    // it presented none that can be read.
    static std::optional<proto2::TKeyId> PeerKey(SSL* ssl);

  private:
    TDPTls();
    bool Use(EVP_PKEY* key);

    asio::ssl::context context_;
    proto2::TKeyId ownKey_{};
    std::string notice_, noticeEnglish_;
};

// Benchmarks compare the same protocol with and without encryption; links
// made while this is set carry frames in the clear and have no keys. Not a
// user setting: no option or variable reaches it.
void SetPlainLinksForBenchmark(bool plain);
bool PlainLinksForBenchmark();

} // namespace dplay
