#pragma once
// Host keys seen at each address (trust on first use): a text file beside
// the settings, known_hosts, one "address fingerprint" pair a line, where
// the address is the one a room was entered at as KnownHostAddress gives it
// and the fingerprint the host key's full form.
//
// The file is read as outside input: at most kMaxKnownHostsBytes; a line
// that is not a pair is skipped when looking up but kept, as it was, when
// the file is rewritten, so no entry is ever lost to a rewrite. Every
// change is made under a lock beside the file and written atomically
// (mode 0600).
#include "Keys.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace identity {

inline constexpr size_t kMaxKnownHostsBytes = 1 << 20;
// No typed address comes near this; a longer one is not an address.
inline constexpr size_t kMaxKnownHostAddress = 300;

// The address as stored: `host` as the reader of typed addresses gives it
// (host names in lower case here, as names match without regard to case; an
// IPv6 address in brackets), then ":port" when `port` is not 0.
std::string KnownHostAddress(std::string_view host, uint16_t port);

// One line of the file. Address and Fingerprint are set for a valid pair.
struct TKnownHostLine {
    std::string Text; // as read, without its line end
    std::string Address;
    std::optional<TFingerprint> Fingerprint;
};

// The file's lines; a last line without a line end counts.
std::vector<TKnownHostLine> ParseKnownHosts(std::string_view text);
// The lines back as text, each ended by "\n".
std::string RenderKnownHosts(const std::vector<TKnownHostLine>& lines);
// The fingerprint of the first valid line for the address.
std::optional<TFingerprint> FindKnownHost(const std::vector<TKnownHostLine>& lines,
                                          std::string_view address);
// Sets the address's fingerprint: the first valid line for it is replaced,
// later ones for it dropped, or a line is added at the end. False (nothing
// changed) for an address that cannot be stored (empty, too long, blanks or
// control characters).
bool SetKnownHost(std::vector<TKnownHostLine>& lines, std::string_view address,
                  const TFingerprint& fingerprint);

enum class TTrust {
    FirstTime, // no key known for the address
    Same,      // the key known for it
    Changed,   // another key than the one known: Old holds it
    Unreadable // the file cannot be read (Error says why): no decision
};

struct TTrustCheck {
    TTrust Result = TTrust::FirstTime;
    std::optional<TFingerprint> Old;
    std::string Error;
};

class TKnownHosts {
  public:
    explicit TKnownHosts(std::filesystem::path file);
    // known_hosts in the settings folder now in force.
    static std::filesystem::path DefaultFile();

    TTrustCheck Check(std::string_view address, const TFingerprint& fingerprint) const;
    // Remembers the key for the address, the first time or after the user
    // accepted a change. Returns "" on success, else the error text.
    std::string Remember(std::string_view address, const TFingerprint& fingerprint);

    const std::filesystem::path& File() const { return file_; }

  private:
    std::filesystem::path file_;
};

} // namespace identity
