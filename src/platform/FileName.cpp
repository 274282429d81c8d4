#include "FileName.h"

#include "Cp932.h"

namespace platform {

std::filesystem::path FileSystemPath(const AnsiString& cp932Path) {
    return std::filesystem::path(Cp932ToUtf8(cp932Path));
}

bool Cp932PathText(const std::filesystem::path& path, AnsiString& text) {
    const std::string& native = path.native();
    text = Utf8ToCp932(native);
    // Only a name that comes back unchanged opens the same file again.
    return Cp932ToUtf8(text) == native;
}

} // namespace platform
