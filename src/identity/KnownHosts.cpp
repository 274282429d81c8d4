#include "KnownHosts.h"

#include "platform/AtomicFile.h"
#include "platform/RegStore.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace identity {
namespace {

// Printable ASCII without blanks: what a typed address with its port holds,
// and nothing that could end a line or split one.
bool StorableAddress(std::string_view a) {
    if (a.empty() || a.size() > kMaxKnownHostAddress) return false;
    return std::all_of(a.begin(), a.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

TKnownHostLine LineOf(std::string_view text) {
    TKnownHostLine line{std::string(text), {}, std::nullopt};
    size_t space = text.find(' ');
    if (space == std::string_view::npos) return line;
    std::string_view address = text.substr(0, space);
    if (!StorableAddress(address)) return line;
    if (auto f = TFingerprint::FromFull(text.substr(space + 1))) {
        line.Address = std::string(address);
        line.Fingerprint = f;
    }
    return line;
}

// The file's text: "" when it does not exist; nullopt (with the error) when
// it cannot be read or is larger than the bound.
std::optional<std::string> ReadStore(const std::filesystem::path& file, std::string& error) {
    int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::string();
        error = file.string() + ": " + std::strerror(errno);
        return std::nullopt;
    }
    struct stat st {};
    std::string text;
    int err = ::fstat(fd, &st) != 0 ? errno : !S_ISREG(st.st_mode) ? EINVAL : 0;
    if (!err) err = platform::ReadAtMost(fd, kMaxKnownHostsBytes, text);
    ::close(fd);
    if (err) {
        error = file.string() + ": " + std::strerror(err);
        return std::nullopt;
    }
    if (text.size() > kMaxKnownHostsBytes) {
        error = file.string() + ": larger than " + std::to_string(kMaxKnownHostsBytes) + " bytes";
        return std::nullopt;
    }
    return text;
}

} // namespace

std::string KnownHostAddress(std::string_view host, uint16_t port) {
    std::string a;
    bool v6 = host.find(':') != std::string_view::npos;
    if (v6) a += '[';
    for (char c : host) a += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (v6) a += ']';
    if (port) a += ":" + std::to_string(port);
    return a;
}

std::vector<TKnownHostLine> ParseKnownHosts(std::string_view text) {
    std::vector<TKnownHostLine> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        lines.push_back(LineOf(text.substr(0, end)));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

std::string RenderKnownHosts(const std::vector<TKnownHostLine>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line.Text;
        text += '\n';
    }
    return text;
}

std::optional<TFingerprint> FindKnownHost(const std::vector<TKnownHostLine>& lines,
                                          std::string_view address) {
    for (const auto& line : lines)
        if (line.Fingerprint && line.Address == address) return line.Fingerprint;
    return std::nullopt;
}

bool SetKnownHost(std::vector<TKnownHostLine>& lines, std::string_view address,
                  const TFingerprint& fingerprint) {
    if (!StorableAddress(address)) return false;
    TKnownHostLine entry{std::string(address) + " " + fingerprint.Full(), std::string(address),
                         fingerprint};
    auto first = std::find_if(lines.begin(), lines.end(), [&](const TKnownHostLine& l) {
        return l.Fingerprint && l.Address == address;
    });
    if (first == lines.end()) {
        lines.push_back(std::move(entry));
        return true;
    }
    *first = std::move(entry);
    lines.erase(std::remove_if(std::next(first), lines.end(),
                               [&](const TKnownHostLine& l) {
                                   return l.Fingerprint && l.Address == address;
                               }),
                lines.end());
    return true;
}

TKnownHosts::TKnownHosts(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path TKnownHosts::DefaultFile() {
    return platform::RegStore::Directory() / "known_hosts";
}

TTrustCheck TKnownHosts::Check(std::string_view address, const TFingerprint& fingerprint) const {
    TTrustCheck check;
    std::optional<std::string> text = ReadStore(file_, check.Error);
    if (!text) {
        check.Result = TTrust::Unreadable;
        return check;
    }
    check.Old = FindKnownHost(ParseKnownHosts(*text), address);
    check.Result = !check.Old                ? TTrust::FirstTime
                   : *check.Old == fingerprint ? TTrust::Same
                                               : TTrust::Changed;
    if (check.Result != TTrust::Changed) check.Old.reset();
    return check;
}

std::string TKnownHosts::Remember(std::string_view address, const TFingerprint& fingerprint) {
    if (!StorableAddress(address)) return "not an address that can be stored";
    int lock = platform::LockBeside(file_);
    std::string error;
    // Read again under the lock, so that what another process remembered
    // meanwhile is kept.
    std::optional<std::string> text = ReadStore(file_, error);
    if (text) {
        std::vector<TKnownHostLine> lines = ParseKnownHosts(*text);
        SetKnownHost(lines, address, fingerprint);
        std::string out = RenderKnownHosts(lines);
        if (out.size() > kMaxKnownHostsBytes)
            error = file_.string() + ": would grow beyond " + std::to_string(kMaxKnownHostsBytes) +
                    " bytes";
        else
            error = platform::WriteFileAtomically(file_, out, 0600);
    }
    if (lock >= 0) ::close(lock);
    return error;
}

} // namespace identity
