#include "TRegistry.h"

#include "Cp932.h"

#include <algorithm>
#include <utility>

namespace platform {
namespace {

AnsiString Format(const char* pattern, const AnsiString& name) {
    AnsiString out = pattern;
    out.replace(out.find("%s"), 2, name);
    return out;
}

// The texts are UTF-8 in the source and CP932 at run time.
const AnsiString& SetFailed() {
    static const AnsiString s = Utf8ToCp932("'%s' の設定に失敗しました");
    return s;
}
const AnsiString& GetFailed() {
    static const AnsiString s = Utf8ToCp932("'%s' の取得に失敗しました");
    return s;
}
const AnsiString& BadType() {
    static const AnsiString s = Utf8ToCp932("'%s' のデータ型が不正です");
    return s;
}

} // namespace

AnsiString TRegistry::Resolve(const AnsiString& key) const {
    if (!key.empty() && key[0] == '\\') return key;
    return open_ ? currentPath_ + "\\" + key : key;
}

bool TRegistry::OpenKey(const AnsiString& key, bool canCreate) {
    AnsiString path = Resolve(key);
    bool ok = canCreate ? Store().CreateKey(path) : Store().KeyExists(path);
    if (ok) {
        currentPath_ = path;
        open_ = true;
    }
    return ok;
}

void TRegistry::CloseKey() {
    currentPath_.clear();
    open_ = false;
}

bool TRegistry::KeyExists(const AnsiString& key) {
    return Store().KeyExists(Resolve(key));
}

bool TRegistry::ValueExists(const AnsiString& name) {
    return open_ && Store().QueryValue(currentPath_, name).has_value();
}

bool TRegistry::DeleteKey(const AnsiString& key) {
    return Store().DeleteKey(Resolve(key));
}

bool TRegistry::DeleteValue(const AnsiString& name) {
    return open_ && Store().DeleteValue(currentPath_, name);
}

bool TRegistry::HasSubKeys() {
    auto info = open_ ? Store().KeyInfo(currentPath_) : std::nullopt;
    return info && info->SubKeys > 0;
}

std::vector<AnsiString> TRegistry::GetValueNames() {
    if (!open_) return {};
    return Store().ValueNames(currentPath_).value_or(std::vector<AnsiString>{});
}

std::vector<AnsiString> TRegistry::GetKeyNames() {
    if (!open_) return {};
    return Store().SubKeyNames(currentPath_).value_or(std::vector<AnsiString>{});
}

uint32_t TRegistry::GetDataType(const AnsiString& name) {
    if (!open_) return REG_NONE;
    auto v = Store().QueryValue(currentPath_, name);
    return v ? v->Type : REG_NONE;
}

void TRegistry::Put(const AnsiString& name, uint32_t type, const std::string& data) {
    if (!open_ || !Store().SetValue(currentPath_, name, type, data))
        throw ERegistryException(Format(SetFailed().c_str(), name));
}

RegValue TRegistry::Get(const AnsiString& name, std::initializer_list<uint32_t> types) {
    auto v = open_ ? Store().QueryValue(currentPath_, name) : std::nullopt;
    if (!v) throw ERegistryException(Format(GetFailed().c_str(), name));
    if (std::find(types.begin(), types.end(), v->Type) == types.end())
        throw ERegistryException(Format(BadType().c_str(), name));
    return *v;
}

bool TRegistry::ReadBool(const AnsiString& name) {
    return ReadInteger(name) != 0;
}

int32_t TRegistry::ReadInteger(const AnsiString& name) {
    RegValue v = Get(name, {REG_DWORD});
    if (v.Data.size() != 4) throw ERegistryException(Format(GetFailed().c_str(), name));
    uint32_t n = 0;
    for (int i = 3; i >= 0; --i)
        n = (n << 8) | static_cast<unsigned char>(v.Data[i]);
    return static_cast<int32_t>(n);
}

AnsiString TRegistry::ReadString(const AnsiString& name) {
    if (!open_ || !Store().QueryValue(currentPath_, name)) return {};
    return Get(name, {REG_SZ, REG_EXPAND_SZ}).Data;
}

std::string TRegistry::ReadBinaryData(const AnsiString& name) {
    return Get(name, {REG_BINARY}).Data;
}

void TRegistry::WriteBool(const AnsiString& name, bool value) {
    WriteInteger(name, value ? 1 : 0);
}

void TRegistry::WriteInteger(const AnsiString& name, int32_t value) {
    auto n = static_cast<uint32_t>(value);
    std::string data;
    for (int i = 0; i < 4; ++i)
        data += static_cast<char>((n >> (8 * i)) & 0xFF);
    Put(name, REG_DWORD, data);
}

void TRegistry::WriteString(const AnsiString& name, const AnsiString& value) {
    Put(name, REG_SZ, value.substr(0, value.find('\0')));
}

void TRegistry::WriteExpandString(const AnsiString& name, const AnsiString& value) {
    Put(name, REG_EXPAND_SZ, value.substr(0, value.find('\0')));
}

void TRegistry::WriteBinaryData(const AnsiString& name, const std::string& data) {
    Put(name, REG_BINARY, data);
}

TRegistryBatch::TRegistryBatch(RegRoot root) : store_(&RegStore::For(root)) {
    store_->BeginBatch();
}

TRegistryBatch::~TRegistryBatch() {
    // Not committed (a write failed half-way): nothing of it is kept.
    if (store_) {
        store_->AbandonBatch();
        store_->EndBatch();
    }
}

void TRegistryBatch::Commit(const AnsiString& what) {
    RegStore* store = std::exchange(store_, nullptr);
    if (store && !store->EndBatch()) throw ERegistryException(Format(SetFailed().c_str(), what));
}

} // namespace platform
