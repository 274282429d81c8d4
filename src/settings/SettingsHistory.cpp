#include "SettingsHistory.h"

#include "platform/QtText.h"
#include "platform/RegStore.h"
#include "platform/TRegistry.h"

#include <QComboBox>
#include <cstdint>
#include <string>

namespace settings {
namespace {

AnsiString KeyOf(const AnsiString& listName) {
    return AnsiString(kMainKey) + "\\" + listName;
}

} // namespace

std::vector<AnsiString> LoadHistory(const AnsiString& listName) {
    std::vector<AnsiString> entries;
    try {
        platform::TRegistry reg(platform::RegRoot::LocalMachine);
        if (!reg.OpenKey(KeyOf(listName), true)) return entries;
        for (const AnsiString& name : reg.GetValueNames()) {
            try {
                entries.push_back(reg.ReadString(name));
            } catch (const platform::ERegistryException&) {
                // A hand-edited value of another type; the next save drops it.
            }
        }
        reg.CloseKey();
    } catch (...) {
        // The list keeps what was read.
    }
    return entries;
}

void LoadHistory(const AnsiString& listName, QComboBox* box) {
    for (const AnsiString& entry : LoadHistory(listName))
        box->addItem(platform::ToQString(entry));
}

bool HistoryCanHold(const AnsiString& entry) {
    // Under the longest value name a list can have.
    return platform::RegStore::CanHold(std::to_string(SIZE_MAX), platform::REG_SZ, entry);
}

void SaveHistory(const AnsiString& listName, const std::vector<AnsiString>& entries) {
    // One write of the settings file for the whole list, however long.
    platform::TRegistryBatch batch(platform::RegRoot::LocalMachine);
    platform::TRegistry reg(platform::RegRoot::LocalMachine);
    reg.DeleteKey(KeyOf(listName));
    reg.OpenKey(KeyOf(listName), true);
    for (size_t i = 0; i < entries.size(); ++i)
        reg.WriteString(std::to_string(i), entries[i]);
    reg.CloseKey();
    batch.Commit(listName);
}

void SaveHistory(const AnsiString& listName, const QComboBox* box) {
    std::vector<AnsiString> entries;
    entries.reserve(static_cast<size_t>(box->count()));
    for (int i = 0; i < box->count(); ++i)
        entries.push_back(platform::FromQString(box->itemText(i)));
    SaveHistory(listName, entries);
}

} // namespace settings
