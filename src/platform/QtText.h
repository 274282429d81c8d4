#pragma once
// The edge between CP932 bytes and the Unicode strings of the widgets.
#include "AnsiString.h"

#include <QString>

namespace platform {

QString ToQString(const AnsiString& text);
AnsiString FromQString(const QString& text);

} // namespace platform
