#pragma once
#include "dplay/protocol/DPGuid.h"
#include "platform/AnsiString.h"

#include <vector>

// A list of (name, 16-byte GUID) pairs in the order the service reported
// them: the providers, or the sessions found at a host. Duplicate names are
// kept; lookups by name ignore the case of ASCII letters and take the first.
class TDPNameGuidList {
  public:
    int Count() const { return static_cast<int>(items_.size()); }
    const AnsiString& Names(int index) const { return items_.at(static_cast<size_t>(index)).Name; }
    const dplay::TGuid& Guids(int index) const {
        return items_.at(static_cast<size_t>(index)).Guid;
    }
    int IndexOfName(const AnsiString& name) const;
    void Add(const AnsiString& name, const dplay::TGuid& guid);
    void Clear();

    // False until filled from the network, and again after a close.
    bool Valid() const { return valid_; }
    void SetValid(bool valid) { valid_ = valid; }

  private:
    struct Item {
        AnsiString Name;
        dplay::TGuid Guid;
    };
    std::vector<Item> items_;
    bool valid_ = false;
};

// Compares CP932 texts ignoring the case of single-byte letters; bytes of
// double-byte characters must match exactly.
bool SameTextCp932(const AnsiString& a, const AnsiString& b);
