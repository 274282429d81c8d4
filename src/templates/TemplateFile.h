#pragma once
// The template file: Shift-JIS text, each template one line "[TEMPLATE]"
// followed by its lines.
#include "platform/AnsiString.h"

#include <filesystem>
#include <vector>

namespace templates {

using TemplateLines = std::vector<AnsiString>; // one template, at least one line

// Where the file lives: the program's path with ".ini" when that folder can
// be written, else $XDG_DATA_HOME/parlora/<program name>.ini. The one place
// that decides it.
std::filesystem::path TemplateFilePath();

// Reads the templates. A missing or unreadable file gives none. Lines end in
// CR LF, CR or LF; lines before the first "[TEMPLATE]" belong to no template.
std::vector<TemplateLines> LoadTemplateFile(const std::filesystem::path& file);

// Parses the file's text (exposed for tests and the fuzz target).
std::vector<TemplateLines> ParseTemplates(const std::string& text);
std::string SerialiseTemplates(const std::vector<TemplateLines>& list);

// Writes the list anew, atomically, with CR LF line ends; an empty list
// writes nothing and leaves the file as it was. Returns an error text, or ""
// on success.
std::string SaveTemplateFile(const std::filesystem::path& file,
                             const std::vector<TemplateLines>& list);

} // namespace templates
