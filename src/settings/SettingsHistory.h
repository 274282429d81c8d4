#pragma once
// The start dialog's history lists (handles, host addresses, room names):
// one key per list under the main key, one string value per entry, named
// "0", "1", ... in list order.
#include "SettingsKeys.h"

#include "platform/AnsiString.h"

#include <vector>

class QComboBox;

namespace settings {

// The entries in the store's enumeration order, whatever their value names.
// Creates the key when missing; never reports a failure. A value that is
// not a string is skipped, so one bad value does not cost the entries after it.
std::vector<AnsiString> LoadHistory(const AnsiString& listName);
// Appends the entries to the box's list; the box keeps its own order.
void LoadHistory(const AnsiString& listName, QComboBox* box);

// Whether the store can hold `entry` as a list entry; one it cannot is
// refused before it reaches a list.
bool HistoryCanHold(const AnsiString& entry);

// Replaces the key by the entries, in order, whole or not at all: a value
// that cannot be written raises platform::ERegistryException and the key
// keeps the list it held before.
void SaveHistory(const AnsiString& listName, const std::vector<AnsiString>& entries);
// The box's list entries (not its edit text), in list order.
void SaveHistory(const AnsiString& listName, const QComboBox* box);

} // namespace settings
