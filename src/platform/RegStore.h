#pragma once
// The settings store behind TRegistry: two roots, each one text file in the
// REGEDIT4 format (CP932, see RegText.h), under $PARLORA_REGISTRY_DIR or
// $XDG_CONFIG_HOME/parlora (default ~/.config/parlora).
//
// Every change is applied to the file at once: under an exclusive lock the
// file is read again (so a change by another running copy is not lost), the
// change applied, and the whole file replaced atomically (temporary file,
// fsync, rename). Readers pick up changes of other copies when the file
// changes on disk. A damaged file loads what it can; before the first write
// replaces it, the damaged original is kept beside it as "<name>.damaged".
#include "AnsiString.h"
#include "RegText.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

enum class RegRoot { LocalMachine, CurrentUser };

struct RegKeyInfo {
    uint32_t SubKeys = 0;
    uint32_t MaxSubKeyLen = 0;
    uint32_t Values = 0;
    uint32_t MaxValueNameLen = 0;
    uint32_t MaxValueLen = 0;
};

class RegStore {
  public:
    // The store of one root in the current settings folder. Thread-safe.
    static RegStore& For(RegRoot root);
    // The settings folder now in force.
    static std::filesystem::path Directory();
    static const char* RootName(RegRoot root);

    RegStore(std::filesystem::path file, AnsiString rootName);
    ~RegStore();

    // Key paths are backslash-separated below the root; a leading or doubled
    // backslash is ignored. Names compare without regard to ASCII case.
    bool KeyExists(const AnsiString& path);
    bool CreateKey(const AnsiString& path);
    std::optional<RegValue> QueryValue(const AnsiString& path, const AnsiString& name);
    bool SetValue(const AnsiString& path, const AnsiString& name, uint32_t type,
                  const std::string& data);
    bool DeleteValue(const AnsiString& path, const AnsiString& name);
    // Deletes the key with everything below it; false when it does not exist.
    bool DeleteKey(const AnsiString& path);
    // Names in the order they were first written; nullopt when the key is missing.
    std::optional<std::vector<AnsiString>> ValueNames(const AnsiString& path);
    std::optional<std::vector<AnsiString>> SubKeyNames(const AnsiString& path);
    std::optional<RegKeyInfo> KeyInfo(const AnsiString& path);

    const std::filesystem::path& File() const { return file_; }

    // Groups the changes made until the matching EndBatch into one write of
    // the file, holding its lock meanwhile (a history list of a thousand
    // entries is one write, not a thousand). Nests. EndBatch returns false
    // when the grouped write failed.
    void BeginBatch();
    bool EndBatch();
    // Drops every change of the current batch: the outermost EndBatch then
    // writes nothing and the store reads the file as it is.
    void AbandonBatch();

    // Whether a value could be stored and read back exactly as given.
    static bool CanHold(const AnsiString& name, uint32_t type, const std::string& data);

  private:
    void RefreshLocked();
    template <class F> bool Modify(F&& change);
    bool LockFile();
    void UnlockFile();
    bool WriteLocked();
    RegKey* Walk(const AnsiString& path, bool create);

    std::filesystem::path file_;
    AnsiString rootName_;
    std::mutex mutex_;
    RegKey root_;
    struct Stamp {
        bool exists = false;
        uint64_t ino = 0, size = 0;
        int64_t mtimeNs = 0;
        bool operator==(const Stamp&) const = default;
    } stamp_;
    bool damaged_ = false;
    int lockFd_ = -1;
    int batchDepth_ = 0;
    bool batchDirty_ = false;
    bool batchAbandoned_ = false;
};

} // namespace platform
