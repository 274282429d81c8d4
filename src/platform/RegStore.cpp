#include "RegStore.h"

#include "AtomicFile.h"
#include "Cp932.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr size_t kMaxFileBytes = 64u << 20; // a settings file is tiny; refuse to slurp more
constexpr size_t kMaxLogicalLine = 1u << 20;

// A lead byte pairs with the next byte only when that is a possible second
// byte; so a lone lead byte before a closing quote does not swallow it.
bool Pairs(const std::string& s, size_t i) {
    if (!IsLeadByte(static_cast<unsigned char>(s[i])) || i + 1 >= s.size()) return false;
    auto t = static_cast<unsigned char>(s[i + 1]);
    return (t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFC);
}

unsigned char Lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + 32 : c;
}

// ASCII case folding that leaves both bytes of a double-byte character alone.
bool EqualNoCase(const AnsiString& a, const AnsiString& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (IsLeadByte(x)) {
            if (x != y) return false;
            if (i + 1 == a.size()) return true; // a lone lead byte may end a name
            ++i;
            if (a[i] != b[i]) return false;
            continue;
        }
        if (Lower(x) != Lower(y)) return false;
    }
    return true;
}

// Splits at "\" characters that are characters of their own (never the
// second byte of a double-byte character); empty pieces are dropped.
std::vector<AnsiString> SplitPath(const AnsiString& path) {
    std::vector<AnsiString> parts;
    AnsiString cur;
    for (size_t i = 0; i < path.size(); ++i) {
        auto c = static_cast<unsigned char>(path[i]);
        if (IsLeadByte(c) && i + 1 < path.size()) {
            cur += path[i];
            cur += path[++i];
        } else if (c == '\\') {
            if (!cur.empty()) parts.push_back(std::move(cur));
            cur.clear();
        } else {
            cur += path[i];
        }
    }
    if (!cur.empty()) parts.push_back(std::move(cur));
    return parts;
}

// Reads a quoted REGEDIT4 string starting at s[pos] == '"'. On success pos is
// just past the closing quote. A lead byte takes the next byte as its second
// one (so the 0x5C in "ソ" is no escape), unless `loneBeforeEscape`: then a
// lead byte before a backslash stands alone. Only files written before lone
// lead bytes were escaped need that reading (see Quote).
std::optional<std::string> ReadQuoted(const std::string& s, size_t& pos,
                                      bool loneBeforeEscape = false) {
    if (pos >= s.size() || s[pos] != '"') return std::nullopt;
    std::string out;
    size_t i = pos + 1;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (Pairs(s, i) && !(loneBeforeEscape && s[i + 1] == '\\')) {
            out += s[i];
            out += s[i + 1];
            i += 2;
        } else if (c == '\\') {
            if (i + 1 >= s.size()) return std::nullopt;
            out += s[i + 1];
            i += 2;
        } else if (c == '"') {
            pos = i + 1;
            return out;
        } else {
            out += s[i++];
        }
    }
    return std::nullopt;
}

// Quotes as the Windows registry editor does: backslash and quote escaped,
// double-byte characters whole. A lead byte without its second byte (Windows
// never stores one) is escaped too; unescaped, it would take the backslash of
// a following \" for its second byte and the string would end there.
std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        if (Pairs(s, i)) {
            out += s[i];
            out += s[++i];
            continue;
        }
        if (c == '\\' || c == '"' || IsLeadByte(c)) out += '\\';
        out += s[i];
    }
    return out + "\"";
}

// Reads a quoted string that must be followed, after blanks, by `next` (or
// end the line when `next` is 0). Files written before lone lead bytes were
// escaped hold them as lead byte, backslash, quote; when the usual reading
// leaves the line malformed, the reading that lets the lead byte stand alone
// is tried.
std::optional<std::string> ReadQuotedBefore(const std::string& line, size_t& pos, char next) {
    auto endsWell = [&](size_t p) {
        while (p < line.size() && line[p] == ' ')
            ++p;
        return next ? p < line.size() && line[p] == next : p == line.size();
    };
    size_t p = pos;
    auto text = ReadQuoted(line, p);
    if (!text || !endsWell(p)) {
        size_t q = pos;
        if (auto old = ReadQuoted(line, q, true); old && endsWell(q)) {
            pos = q;
            return old;
        }
    }
    if (text) pos = p;
    return text;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(Lower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::optional<std::string> ParseHexBytes(std::string_view s) {
    std::string out;
    size_t i = 0;
    auto skipBlanks = [&] {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\\'))
            ++i;
    };
    skipBlanks();
    while (i < s.size()) {
        if (i + 1 >= s.size()) return std::nullopt;
        int hi = HexDigit(s[i]), lo = HexDigit(s[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        skipBlanks();
        if (i < s.size()) {
            if (s[i] != ',') return std::nullopt;
            ++i;
            skipBlanks();
        }
    }
    return out;
}

bool IsStringType(uint32_t t) {
    return t == REG_SZ || t == REG_EXPAND_SZ;
}

// One value line: name=data. Returns nullopt for anything malformed.
std::optional<RegValue> ParseValueLine(const std::string& line) {
    RegValue v;
    size_t pos = 0;
    if (line[0] == '@') {
        pos = 1;
    } else {
        auto name = ReadQuotedBefore(line, pos, '=');
        if (!name) return std::nullopt;
        v.Name = *name;
    }
    while (pos < line.size() && line[pos] == ' ')
        ++pos;
    if (pos >= line.size() || line[pos] != '=') return std::nullopt;
    ++pos;
    while (pos < line.size() && line[pos] == ' ')
        ++pos;
    std::string_view rest(line.data() + pos, line.size() - pos);
    if (!rest.empty() && rest[0] == '"') {
        size_t p = pos;
        auto data = ReadQuotedBefore(line, p, 0);
        if (!data) return std::nullopt;
        v.Type = REG_SZ;
        v.Data = data->substr(0, data->find('\0')); // a string ends at its first zero byte
        return v;
    }
    if (rest.starts_with("dword:")) {
        auto digits = rest.substr(6);
        while (!digits.empty() && (digits.back() == ' ' || digits.back() == '\t'))
            digits.remove_suffix(1);
        if (digits.empty() || digits.size() > 8) return std::nullopt;
        uint32_t n = 0;
        for (char c : digits) {
            int d = HexDigit(c);
            if (d < 0) return std::nullopt;
            n = n * 16 + static_cast<uint32_t>(d);
        }
        v.Type = REG_DWORD;
        for (int i = 0; i < 4; ++i)
            v.Data += static_cast<char>((n >> (8 * i)) & 0xFF);
        return v;
    }
    if (rest.starts_with("hex")) {
        size_t colon = rest.find(':');
        if (colon == std::string_view::npos) return std::nullopt;
        auto kind = rest.substr(3, colon - 3);
        uint32_t type = REG_BINARY;
        if (!kind.empty()) {
            if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' || kind.size() > 10)
                return std::nullopt;
            type = 0;
            for (char c : kind.substr(1, kind.size() - 2)) {
                int d = HexDigit(c);
                if (d < 0) return std::nullopt;
                type = type * 16 + static_cast<uint32_t>(d);
            }
        }
        auto bytes = ParseHexBytes(rest.substr(colon + 1));
        if (!bytes) return std::nullopt;
        if (type == REG_DWORD && bytes->size() != 4) return std::nullopt;
        if (IsStringType(type)) bytes->resize(std::min(bytes->size(), bytes->find('\0')));
        v.Type = type;
        v.Data = std::move(*bytes);
        return v;
    }
    return std::nullopt;
}

std::string HexLine(const std::string& head, const std::string& data) {
    std::string out = head;
    size_t width = out.size();
    static const char* digits = "0123456789abcdef";
    for (size_t i = 0; i < data.size(); ++i) {
        auto b = static_cast<unsigned char>(data[i]);
        out += digits[b >> 4];
        out += digits[b & 15];
        width += 2;
        if (i + 1 < data.size()) {
            out += ',';
            ++width;
            if (width > 76) {
                out += "\\\r\n  ";
                width = 2;
            }
        }
    }
    return out;
}

void SerialiseKey(const RegStore::Key& key, const std::string& path, bool writeHeader,
                  std::string& out) {
    if (writeHeader) {
        out += "[" + path + "]\r\n";
        for (const auto& v : key.Values) {
            std::string head = v.Name.empty() ? "@=" : Quote(v.Name) + "=";
            bool plain = v.Type == REG_SZ && std::none_of(v.Data.begin(), v.Data.end(), [](char c) {
                             return static_cast<unsigned char>(c) < 0x20;
                         });
            if (plain) {
                out += head + Quote(v.Data);
            } else if (v.Type == REG_DWORD && v.Data.size() == 4) {
                uint32_t n = 0;
                for (int i = 3; i >= 0; --i)
                    n = (n << 8) | static_cast<unsigned char>(v.Data[i]);
                char buf[16];
                std::snprintf(buf, sizeof buf, "dword:%08x", n);
                out += head + buf;
            } else {
                std::string data = v.Data;
                if (IsStringType(v.Type)) data += '\0';
                char kind[24] = "hex:";
                if (v.Type != REG_BINARY) std::snprintf(kind, sizeof kind, "hex(%x):", v.Type);
                out += HexLine(head + kind, data);
            }
            out += "\r\n";
        }
        out += "\r\n";
    }
    for (const auto& sub : key.SubKeys)
        SerialiseKey(*sub, path + "\\" + sub->Name, true, out);
}

} // namespace

RegStore::Key* RegStore::Key::Find(const AnsiString& name) const {
    for (const auto& k : SubKeys)
        if (EqualNoCase(k->Name, name)) return k.get();
    return nullptr;
}

RegStore::Key* RegStore::Key::FindOrAdd(const AnsiString& name) {
    if (Key* k = Find(name)) return k;
    SubKeys.push_back(std::make_unique<Key>());
    SubKeys.back()->Name = name;
    return SubKeys.back().get();
}

RegValue* RegStore::Key::FindValue(const AnsiString& name) {
    for (auto& v : Values)
        if (EqualNoCase(v.Name, name)) return &v;
    return nullptr;
}

size_t RegStore::Parse(const std::string& text, const AnsiString& rootName, Key& into) {
    size_t skipped = 0;
    Key* current = nullptr;
    size_t i = 0;
    auto nextPhysical = [&](std::string& line) {
        size_t start = i;
        while (i < text.size() && text[i] != '\r' && text[i] != '\n')
            ++i;
        line.assign(text, start, i - start);
        if (i < text.size() && text[i] == '\r') ++i;
        if (i < text.size() && text[i] == '\n') ++i;
    };
    std::string line, more;
    while (i < text.size()) {
        nextPhysical(line);
        // Hex data may continue over several lines, each ending in a backslash.
        bool tooLong = line.size() > kMaxLogicalLine;
        while (!line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos &&
               i < text.size()) {
            nextPhysical(more);
            size_t lead = more.find_first_not_of(" \t");
            if (!tooLong) line.append(more, lead == std::string::npos ? more.size() : lead);
            if (line.size() > kMaxLogicalLine) tooLong = true;
        }
        if (tooLong) {
            ++skipped;
            continue;
        }
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos) continue;
        line.erase(0, first);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        if (line[0] == ';' || line == "REGEDIT4") continue;
        if (line[0] == '[') {
            current = nullptr;
            if (line.back() != ']' || line.size() < 2 || line[1] == '-') {
                ++skipped;
                continue;
            }
            AnsiString path = line.substr(1, line.size() - 2);
            if (path.size() < rootName.size() ||
                !EqualNoCase(path.substr(0, rootName.size()), rootName) ||
                (path.size() > rootName.size() && path[rootName.size()] != '\\')) {
                ++skipped;
                continue;
            }
            current = &into;
            for (const auto& part : SplitPath(path.substr(rootName.size())))
                current = current->FindOrAdd(part);
            continue;
        }
        auto value = (line[0] == '"' || line[0] == '@') ? ParseValueLine(line) : std::nullopt;
        if (!value || !current) {
            ++skipped;
            continue;
        }
        if (RegValue* old = current->FindValue(value->Name))
            *old = std::move(*value);
        else
            current->Values.push_back(std::move(*value));
    }
    return skipped;
}

std::string RegStore::Serialise(const Key& root, const AnsiString& rootName) {
    std::string out = "REGEDIT4\r\n\r\n";
    SerialiseKey(root, rootName, !root.Values.empty(), out);
    return out;
}

std::filesystem::path RegStore::Directory() {
    if (const char* d = std::getenv("PARLORA_REGISTRY_DIR"); d && *d) return d;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x)
        return std::filesystem::path(x) / "parlora";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/tmp") / ".config" / "parlora";
}

const char* RegStore::RootName(RegRoot root) {
    return root == RegRoot::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

RegStore& RegStore::For(RegRoot root) {
    // One store per (folder, root); tests switch folders through the environment.
    static std::mutex m;
    static std::map<std::string, std::unique_ptr<RegStore>> stores;
    std::lock_guard lock(m);
    auto file = Directory() / (std::string(RootName(root)) + ".reg");
    auto& slot = stores[file.string()];
    if (!slot) slot = std::make_unique<RegStore>(file, RootName(root));
    return *slot;
}

RegStore::RegStore(std::filesystem::path file, AnsiString rootName)
    : file_(std::move(file)), rootName_(std::move(rootName)) {}

RegStore::~RegStore() = default;

void RegStore::RefreshLocked() {
    if (batchDepth_ > 0 && lockFd_ >= 0 && stamp_.exists) return; // pending changes are ours
    struct stat st {};
    Stamp now;
    if (::stat(file_.c_str(), &st) == 0) {
        now.exists = true;
        now.ino = st.st_ino;
        now.size = static_cast<uint64_t>(st.st_size);
        now.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
    if (now == stamp_) return;
    stamp_ = now;
    root_ = Key{};
    damaged_ = false;
    if (!now.exists) return;
    int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        damaged_ = true;
        return;
    }
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > kMaxFileBytes) {
            damaged_ = true;
            break;
        }
    }
    ::close(fd);
    if (Parse(text, rootName_, root_) > 0) damaged_ = true;
}

RegStore::Key* RegStore::Walk(const AnsiString& path, bool create) {
    Key* k = &root_;
    for (const auto& part : SplitPath(path)) {
        k = create ? k->FindOrAdd(part) : k->Find(part);
        if (!k) return nullptr;
    }
    return k;
}

bool RegStore::LockFile() {
    std::error_code ec;
    // A folder we create holds the FTP password: private. One that exists
    // already (the user's choice) keeps its mode.
    if (std::filesystem::create_directories(file_.parent_path(), ec))
        ::chmod(file_.parent_path().c_str(), 0700);
    std::string lockName = file_.string() + ".lock";
    lockFd_ = ::open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0) return false;
    while (::flock(lockFd_, LOCK_EX) < 0 && errno == EINTR) {
    }
    stamp_ = Stamp{}; // always re-read under the lock: another copy may have just written
    RefreshLocked();
    return true;
}

void RegStore::UnlockFile() {
    if (lockFd_ >= 0) ::close(lockFd_); // closing releases the lock
    lockFd_ = -1;
}

bool RegStore::WriteLocked() {
    std::error_code ec;
    if (damaged_ && stamp_.exists) {
        auto keep = file_.string() + ".damaged";
        if (!std::filesystem::exists(keep, ec)) std::filesystem::copy_file(file_, keep, ec);
    }
    bool ok = WriteFileAtomically(file_, Serialise(root_, rootName_), 0600).empty();
    if (ok) damaged_ = false;
    // Re-read: on failure our tree holds a change that did not reach the disk.
    stamp_ = Stamp{};
    RefreshLocked();
    return ok;
}

template <class F> bool RegStore::Modify(F&& change) {
    std::lock_guard lock(mutex_);
    if (batchDepth_ > 0) {
        if (!change()) return false;
        batchDirty_ = true;
        return true;
    }
    if (!LockFile()) return false;
    bool ok = change() && WriteLocked();
    UnlockFile();
    return ok;
}

void RegStore::BeginBatch() {
    std::lock_guard lock(mutex_);
    if (batchDepth_++ > 0) return;
    batchDirty_ = false;
    batchAbandoned_ = false;
    LockFile(); // without the lock EndBatch still writes what was changed
}

bool RegStore::EndBatch() {
    std::lock_guard lock(mutex_);
    if (batchDepth_ == 0 || --batchDepth_ > 0) return true;
    if (batchAbandoned_) {
        // A stamp no file has: the next read loads the file again.
        stamp_ = Stamp{true, 0, UINT64_MAX, 0};
        root_ = Key{};
        batchDirty_ = batchAbandoned_ = false;
        UnlockFile();
        return true;
    }
    bool ok = !batchDirty_ || WriteLocked();
    batchDirty_ = false;
    UnlockFile();
    return ok;
}

void RegStore::AbandonBatch() {
    std::lock_guard lock(mutex_);
    if (batchDepth_ > 0) batchAbandoned_ = true;
}

bool RegStore::CanHold(const AnsiString& name, uint32_t type, const std::string& data) {
    // It must read back as given: the reader skips a line too long, a line
    // break in a name splits the line, a string ends at a zero byte.
    Key probe, back;
    probe.Values.push_back(RegValue{name, type, data});
    return Parse(Serialise(probe, "X"), "X", back) == 0 && back.Values.size() == 1 &&
           back.Values[0].Name == name && back.Values[0].Type == type &&
           back.Values[0].Data == data;
}

bool RegStore::KeyExists(const AnsiString& path) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    return Walk(path, false) != nullptr;
}

bool RegStore::CreateKey(const AnsiString& path) {
    if (path.find_first_of("\r\n") != AnsiString::npos) return false; // a key is one line
    {
        std::lock_guard lock(mutex_);
        RefreshLocked();
        if (Walk(path, false)) return true;
    }
    return Modify([&] { return Walk(path, true) != nullptr; });
}

std::optional<RegValue> RegStore::QueryValue(const AnsiString& path, const AnsiString& name) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    Key* k = Walk(path, false);
    if (!k) return std::nullopt;
    RegValue* v = k->FindValue(name);
    if (!v) return std::nullopt;
    return *v;
}

bool RegStore::SetValue(const AnsiString& path, const AnsiString& name, uint32_t type,
                        const std::string& data) {
    // Refuse what could not be read back.
    if (!CanHold(name, type, data)) return false;
    return Modify([&] {
        Key* k = Walk(path, false);
        if (!k) return false; // a value needs an existing key, as with an open key handle
        if (RegValue* v = k->FindValue(name)) {
            v->Type = type;
            v->Data = data;
        } else {
            k->Values.push_back(RegValue{name, type, data});
        }
        return true;
    });
}

bool RegStore::DeleteValue(const AnsiString& path, const AnsiString& name) {
    return Modify([&] {
        Key* k = Walk(path, false);
        if (!k) return false;
        auto it = std::find_if(k->Values.begin(), k->Values.end(),
                               [&](const RegValue& v) { return EqualNoCase(v.Name, name); });
        if (it == k->Values.end()) return false;
        k->Values.erase(it);
        return true;
    });
}

bool RegStore::DeleteKey(const AnsiString& path) {
    auto parts = SplitPath(path);
    if (parts.empty()) return false; // the root itself cannot go
    return Modify([&] {
        Key* parent = &root_;
        for (size_t i = 0; i + 1 < parts.size() && parent; ++i)
            parent = parent->Find(parts[i]);
        if (!parent) return false;
        auto& subs = parent->SubKeys;
        auto it = std::find_if(subs.begin(), subs.end(),
                               [&](const auto& k) { return EqualNoCase(k->Name, parts.back()); });
        if (it == subs.end()) return false;
        subs.erase(it);
        return true;
    });
}

std::optional<std::vector<AnsiString>> RegStore::ValueNames(const AnsiString& path) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    Key* k = Walk(path, false);
    if (!k) return std::nullopt;
    std::vector<AnsiString> names;
    for (const auto& v : k->Values)
        names.push_back(v.Name);
    return names;
}

std::optional<std::vector<AnsiString>> RegStore::SubKeyNames(const AnsiString& path) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    Key* k = Walk(path, false);
    if (!k) return std::nullopt;
    std::vector<AnsiString> names;
    for (const auto& s : k->SubKeys)
        names.push_back(s->Name);
    return names;
}

std::optional<RegKeyInfo> RegStore::KeyInfo(const AnsiString& path) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    Key* k = Walk(path, false);
    if (!k) return std::nullopt;
    RegKeyInfo info;
    info.SubKeys = static_cast<uint32_t>(k->SubKeys.size());
    info.Values = static_cast<uint32_t>(k->Values.size());
    for (const auto& s : k->SubKeys)
        info.MaxSubKeyLen = std::max(info.MaxSubKeyLen, static_cast<uint32_t>(s->Name.size()));
    for (const auto& v : k->Values) {
        info.MaxValueNameLen = std::max(info.MaxValueNameLen, static_cast<uint32_t>(v.Name.size()));
        size_t len = v.Data.size() + (IsStringType(v.Type) ? 1 : 0);
        info.MaxValueLen = std::max(info.MaxValueLen, static_cast<uint32_t>(len));
    }
    return info;
}

} // namespace platform
