#include "FontAliases.h"

#include "ProgramPath.h"

#include <fontconfig/fontconfig.h>

namespace platform {

QStringList GothicFamilies() {
    return {QString::fromUtf8("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"),
            QStringLiteral("IPAGothic"), QStringLiteral("sans-serif")};
}

std::filesystem::path FontAliasFile() {
    std::error_code ec;
    auto beside = ProgramPath().parent_path() / "parlora-fonts.conf";
    if (std::filesystem::is_regular_file(beside, ec)) return beside;
    auto installed = InstalledDataDir(ProgramPath().parent_path()) / "fonts.conf";
    if (std::filesystem::is_regular_file(installed, ec)) return installed;
    return {};
}

bool ApplyFontAliases(const std::filesystem::path& file) {
    if (file.empty() || !FcInit()) return false;
    FcConfig* config = FcConfigGetCurrent();
    return FcConfigParseAndLoad(config, reinterpret_cast<const FcChar8*>(file.c_str()), FcTrue) ==
           FcTrue;
}

std::string MatchFontFamily(const std::string& family) {
    if (!FcInit()) return {};
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(family.c_str()));
    if (!pattern) return {};
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    std::string name;
    FcChar8* value = nullptr;
    if (match && FcPatternGetString(match, FC_FAMILY, 0, &value) == FcResultMatch)
        name = reinterpret_cast<const char*>(value);
    if (match) FcPatternDestroy(match);
    FcPatternDestroy(pattern);
    return name;
}

} // namespace platform
