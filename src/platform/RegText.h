#pragma once
// The REGEDIT4 text of the settings files (CP932): a tree of keys and typed
// values read from text and written back as the Windows registry editor
// writes it. Only text here; RegStore keeps the files.
#include "AnsiString.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

enum RegType : uint32_t {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
};

struct RegValue {
    AnsiString Name;
    uint32_t Type = REG_NONE;
    std::string Data; // strings without their terminating zero; DWORD as 4 bytes little-endian
};

// A key with its values and subkeys, each in the order first written. Names
// compare as RegNamesEqual does.
struct RegKey {
    AnsiString Name;
    std::vector<RegValue> Values;
    std::vector<std::unique_ptr<RegKey>> SubKeys;
    RegKey* Find(const AnsiString& name) const;
    RegKey* FindOrAdd(const AnsiString& name);
    RegValue* FindValue(const AnsiString& name);
};

// Names equal but for the case of ASCII letters; both bytes of a
// double-byte character must match.
bool RegNamesEqual(const AnsiString& a, const AnsiString& b);
// A key path's names: split at the backslashes that are characters of their
// own (never the second byte of a double-byte character), empty ones dropped.
std::vector<AnsiString> SplitRegPath(const AnsiString& path);
// REG_SZ and REG_EXPAND_SZ, whose data is text.
bool IsRegStringType(uint32_t type);

// Reads REGEDIT4 text for the root named `rootName` into `into`, skipping
// what it cannot read (sections of other roots, malformed or overlong lines).
// Returns the number of lines skipped.
size_t ParseRegText(const std::string& text, const AnsiString& rootName, RegKey& into);
// The tree as REGEDIT4 text, CR LF line ends, hex data wrapped as Windows does.
std::string SerialiseRegText(const RegKey& root, const AnsiString& rootName);

} // namespace platform
