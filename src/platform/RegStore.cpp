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

} // namespace

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
    root_ = RegKey{};
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
    if (ParseRegText(text, rootName_, root_) > 0) damaged_ = true;
}

RegKey* RegStore::Walk(const AnsiString& path, bool create) {
    RegKey* k = &root_;
    for (const auto& part : SplitRegPath(path)) {
        k = create ? k->FindOrAdd(part) : k->Find(part);
        if (!k) return nullptr;
    }
    return k;
}

bool RegStore::LockFile() {
    lockFd_ = LockBeside(file_);
    if (lockFd_ < 0) return false;
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
    bool ok = WriteFileAtomically(file_, SerialiseRegText(root_, rootName_), 0600).empty();
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
        root_ = RegKey{};
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
    RegKey probe, back;
    probe.Values.push_back(RegValue{name, type, data});
    return ParseRegText(SerialiseRegText(probe, "X"), "X", back) == 0 && back.Values.size() == 1 &&
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
    RegKey* k = Walk(path, false);
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
        RegKey* k = Walk(path, false);
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
        RegKey* k = Walk(path, false);
        if (!k) return false;
        auto it = std::find_if(k->Values.begin(), k->Values.end(),
                               [&](const RegValue& v) { return RegNamesEqual(v.Name, name); });
        if (it == k->Values.end()) return false;
        k->Values.erase(it);
        return true;
    });
}

bool RegStore::DeleteKey(const AnsiString& path) {
    auto parts = SplitRegPath(path);
    if (parts.empty()) return false; // the root itself cannot go
    return Modify([&] {
        RegKey* parent = &root_;
        for (size_t i = 0; i + 1 < parts.size() && parent; ++i)
            parent = parent->Find(parts[i]);
        if (!parent) return false;
        auto& subs = parent->SubKeys;
        auto it = std::find_if(subs.begin(), subs.end(),
                               [&](const auto& k) { return RegNamesEqual(k->Name, parts.back()); });
        if (it == subs.end()) return false;
        subs.erase(it);
        return true;
    });
}

std::optional<std::vector<AnsiString>> RegStore::ValueNames(const AnsiString& path) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    RegKey* k = Walk(path, false);
    if (!k) return std::nullopt;
    std::vector<AnsiString> names;
    for (const auto& v : k->Values)
        names.push_back(v.Name);
    return names;
}

std::optional<std::vector<AnsiString>> RegStore::SubKeyNames(const AnsiString& path) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    RegKey* k = Walk(path, false);
    if (!k) return std::nullopt;
    std::vector<AnsiString> names;
    for (const auto& s : k->SubKeys)
        names.push_back(s->Name);
    return names;
}

std::optional<RegKeyInfo> RegStore::KeyInfo(const AnsiString& path) {
    std::lock_guard lock(mutex_);
    RefreshLocked();
    RegKey* k = Walk(path, false);
    if (!k) return std::nullopt;
    RegKeyInfo info;
    info.SubKeys = static_cast<uint32_t>(k->SubKeys.size());
    info.Values = static_cast<uint32_t>(k->Values.size());
    for (const auto& s : k->SubKeys)
        info.MaxSubKeyLen = std::max(info.MaxSubKeyLen, static_cast<uint32_t>(s->Name.size()));
    for (const auto& v : k->Values) {
        info.MaxValueNameLen = std::max(info.MaxValueNameLen, static_cast<uint32_t>(v.Name.size()));
        size_t len = v.Data.size() + (IsRegStringType(v.Type) ? 1 : 0);
        info.MaxValueLen = std::max(info.MaxValueLen, static_cast<uint32_t>(len));
    }
    return info;
}

} // namespace platform
