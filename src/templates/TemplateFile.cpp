#include "TemplateFile.h"

#include "platform/AtomicFile.h"
#include "platform/ProgramPath.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace templates {
namespace {

const char kMarker[] = "[TEMPLATE]";
// A template file is a few kilobytes; a huge one is not ours.
constexpr std::streamsize kMaxFileBytes = 64 << 20;

} // namespace

std::filesystem::path TemplateFilePath() {
    return platform::WritableBesideProgram(platform::ProgramPathWithExt(".ini").filename());
}

std::vector<TemplateLines> ParseTemplates(const std::string& text) {
    std::vector<TemplateLines> list;
    TemplateLines current;
    bool inTemplate = false;
    auto finish = [&] {
        if (inTemplate && !current.empty()) list.push_back(std::move(current));
        current.clear();
    };
    size_t i = 0;
    while (i < text.size()) {
        size_t end = text.find_first_of("\r\n", i);
        if (end == std::string::npos) end = text.size();
        AnsiString line = text.substr(i, end - i);
        i = end;
        if (i < text.size() && text[i] == '\r') ++i; // CR LF, CR or LF end a line
        if (i < text.size() && text[i] == '\n' && (i == end || text[end] == '\r')) ++i;
        if (line == kMarker) {
            finish();
            inTemplate = true;
        } else if (inTemplate) {
            current.push_back(std::move(line));
        }
    }
    finish();
    return list;
}

std::string SerialiseTemplates(const std::vector<TemplateLines>& list) {
    std::string out;
    for (const auto& t : list) {
        out += kMarker;
        out += "\r\n";
        for (const auto& line : t)
            out += line + "\r\n";
    }
    return out;
}

std::vector<TemplateLines> LoadTemplateFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return {};
    // Read as it comes: the bound must not cost every start its allocation.
    std::string text;
    char chunk[64 * 1024];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        text.append(chunk, static_cast<size_t>(in.gcount()));
        if (static_cast<std::streamsize>(text.size()) > kMaxFileBytes) return {};
    }
    return ParseTemplates(text);
}

std::string SaveTemplateFile(const std::filesystem::path& file,
                             const std::vector<TemplateLines>& list) {
    if (list.empty()) return {};
    return platform::WriteFileAtomically(file, SerialiseTemplates(list), 0644);
}

} // namespace templates
