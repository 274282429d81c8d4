#include "DPNameGuidList.h"

#include "platform/Cp932.h"

bool SameTextCp932(const AnsiString& a, const AnsiString& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (platform::IsLeadByte(x)) {
            // A double-byte character: both bytes exactly (a trail byte may look like a letter).
            if (x != y) return false;
            if (i + 1 == a.size()) return true; // a lone lead byte may end a name
            ++i;
            if (a[i] != b[i]) return false;
            continue;
        }
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

int TDPNameGuidList::IndexOfName(const AnsiString& name) const {
    for (size_t i = 0; i < items_.size(); ++i)
        if (SameTextCp932(items_[i].Name, name)) return static_cast<int>(i);
    return -1;
}

void TDPNameGuidList::Add(const AnsiString& name, const dplay::TGuid& guid) {
    items_.push_back({name, guid});
}

void TDPNameGuidList::Clear() {
    items_.clear();
}
