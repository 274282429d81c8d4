#pragma once
// Typed access to the settings store, one open key at a time, in the manner
// of the registry class the settings code was designed against.
#include "Exception.h"
#include "RegStore.h"

#include <string>
#include <vector>

namespace platform {

// Raised by the typed reads and writes; the message names the value.
class ERegistryException : public Exception {
  public:
    using Exception::Exception;
};

class TRegistry {
  public:
    explicit TRegistry(RegRoot root = RegRoot::CurrentUser) : RootKey(root) {}

    RegRoot RootKey;

    // A path starting with "\" is absolute; otherwise it is below the open key.
    bool OpenKey(const AnsiString& key, bool canCreate);
    void CloseKey();
    bool KeyExists(const AnsiString& key);
    bool ValueExists(const AnsiString& name);
    bool DeleteKey(const AnsiString& key);
    bool DeleteValue(const AnsiString& name);
    bool HasSubKeys();
    std::vector<AnsiString> GetValueNames();
    std::vector<AnsiString> GetKeyNames();
    // The stored type of a value, or REG_NONE when it is missing.
    uint32_t GetDataType(const AnsiString& name);
    const AnsiString& CurrentPath() const { return currentPath_; }
    bool IsOpen() const { return open_; }

    // Booleans are DWORDs, non-zero reading as true.
    bool ReadBool(const AnsiString& name);
    // Signed 32-bit, stored as a DWORD. Missing: "取得に失敗"; other type: "データ型が不正".
    int32_t ReadInteger(const AnsiString& name);
    // REG_SZ or REG_EXPAND_SZ taken literally; a missing value reads as "".
    AnsiString ReadString(const AnsiString& name);
    std::string ReadBinaryData(const AnsiString& name);

    void WriteBool(const AnsiString& name, bool value);
    void WriteInteger(const AnsiString& name, int32_t value);
    void WriteString(const AnsiString& name, const AnsiString& value);
    void WriteExpandString(const AnsiString& name, const AnsiString& value);
    void WriteBinaryData(const AnsiString& name, const std::string& data);

  private:
    AnsiString Resolve(const AnsiString& key) const;
    RegStore& Store() const { return RegStore::For(RootKey); }
    void Put(const AnsiString& name, uint32_t type, const std::string& data);
    RegValue Get(const AnsiString& name, std::initializer_list<uint32_t> types);

    AnsiString currentPath_;
    bool open_ = false;
};

// Groups the writes to one root made during its life into one write of the
// settings file (for long lists). Commit writes and raises
// "'%s' の設定に失敗しました" naming `what` when that fails; without Commit
// (a write inside failed and threw), the destructor drops every change of
// the batch, so the file keeps what it held before.
class TRegistryBatch {
  public:
    explicit TRegistryBatch(RegRoot root);
    ~TRegistryBatch();
    TRegistryBatch(const TRegistryBatch&) = delete;
    TRegistryBatch& operator=(const TRegistryBatch&) = delete;
    void Commit(const AnsiString& what);

  private:
    RegStore* store_;
};

} // namespace platform
