#pragma once
// The chat windows' view (position, size and two panel switches), kept per
// user and shared by all chat windows.
#include "SettingsKeys.h"

#include <cstdint>

namespace settings {

struct TViewSettings {
    int32_t Top = 0;
    int32_t Left = 0;
    int32_t Width = 0;
    int32_t Height = 0;
    bool ShowMember = true;
    bool ShowRoomName = true;
    bool MessageTmp = false; // written for the record, never read back
};

// Writes all seven values; raises platform::ERegistryException on failure.
void SaveViewSettings(const TViewSettings& view);

// Without the key: returns false and leaves `view` alone. Otherwise applies
// each stored value onto `view`; a value that is missing or of another type
// leaves its field as it was.
bool LoadViewSettings(TViewSettings& view);

} // namespace settings
