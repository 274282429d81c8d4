#pragma once
// What the user is told when a room's host key is not the one remembered for
// its address, before entering.
#include "Keys.h"

#include <string>
#include <string_view>

namespace identity {

// Japanese (UTF-8), for the warning shown before entering.
std::string KeyChangedWarning(std::string_view address, const TFingerprint& old,
                              const TFingerprint& now);
// English, for parlora-cli's standard error.
std::string KeyChangedEnglish(std::string_view address, const TFingerprint& old,
                              const TFingerprint& now);

} // namespace identity
