#pragma once
// Text as the program stores and exchanges it: CP932 (Shift-JIS) bytes.
// Conversion to and from Unicode happens only where a widget shows or takes
// text (see QtText.h).
#include <string>

using AnsiString = std::string;
