#include "SettingsTestBase.h"

#include "settings/SettingsHistory.h"
#include "settings/SettingsKeys.h"
#include "settings/SettingsView.h"

#include "platform/Cp932.h"
#include "platform/RegStore.h"
#include "platform/TRegistry.h"

#include <QComboBox>
#include <string>

using Names = std::vector<AnsiString>;

namespace {

const char* kHandlesKey = "\\SOFTWARE\\Parlora3\\handles";

Names Numbered(size_t n) {
    Names names;
    for (size_t i = 0; i < n; ++i)
        names.push_back(std::to_string(i));
    return names;
}

} // namespace

class History : public TSettingsTest {};

TEST_F(History, SaveLeavesExactlyTheNumberedValues) {
    // Whatever the key held before, values and sub-keys, goes.
    for (int i = 0; i < 20; ++i)
        PutString(kHandlesKey, std::to_string(i).c_str(), "old");
    PutString(kHandlesKey, "x", "old");
    ASSERT_TRUE(Machine().CreateKey(std::string(kHandlesKey) + "\\sub\\deeper"));

    Names entries;
    for (int i = 0; i < 12; ++i)
        entries.push_back("entry" + std::to_string(i));
    settings::SaveHistory(settings::kHandlesList, entries);
    EXPECT_EQ(*Machine().ValueNames(kHandlesKey), Numbered(12));
    EXPECT_TRUE(Machine().SubKeyNames(kHandlesKey)->empty());
    EXPECT_EQ(Machine().QueryValue(kHandlesKey, "11")->Data, "entry11");
    EXPECT_EQ(settings::LoadHistory(settings::kHandlesList), entries);

    settings::SaveHistory(settings::kHandlesList, Names{});
    EXPECT_TRUE(Machine().KeyExists(kHandlesKey));
    EXPECT_TRUE(Machine().ValueNames(kHandlesKey)->empty());
}

TEST_F(History, LoadTakesEveryStringWhateverItsName) {
    // A missing key is created and gives an empty list.
    EXPECT_TRUE(settings::LoadHistory(settings::kRoomNamesList).empty());
    EXPECT_TRUE(Machine().KeyExists("\\SOFTWARE\\Parlora3\\RoomNames"));

    PutString(kHandlesKey, "7", "seven");
    PutString(kHandlesKey, "x", "ex");
    // A value edited to another type is passed over, not the end of the list.
    PutDword(kHandlesKey, "3", 3);
    PutString(kHandlesKey, "", platform::Utf8ToCp932("花子"));
    ASSERT_TRUE(Machine().SetValue(kHandlesKey, "e", platform::REG_EXPAND_SZ, "%HOME%"));
    EXPECT_EQ(settings::LoadHistory(settings::kHandlesList),
              (Names{"seven", "ex", platform::Utf8ToCp932("花子"), "%HOME%"}));
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(History, ComboBoxesRoundTripJapaneseText) {
    QComboBox box;
    box.addItem(QStringLiteral("花子"));
    box.addItem(QStringLiteral("表示ソ"));
    box.addItem(QStringLiteral("smile 😀 ok")); // CP932 cannot hold the emoji
    box.setEditText(QStringLiteral("typed but not listed"));
    settings::SaveHistory(settings::kIPaddressList, &box);

    QComboBox back;
    settings::LoadHistory(settings::kIPaddressList, &back);
    ASSERT_EQ(back.count(), 3);
    EXPECT_EQ(back.itemText(0), QStringLiteral("花子"));
    EXPECT_EQ(back.itemText(1), QStringLiteral("表示ソ"));
    EXPECT_EQ(back.itemText(2), QStringLiteral("smile ? ok"));
}

TEST_F(History, ThousandEntriesSurviveARoundTrip) {
    Names entries;
    for (int i = 0; i < 1000; ++i)
        entries.push_back("host-" + std::to_string(999 - i));
    settings::SaveHistory(settings::kIPaddressList, entries);
    EXPECT_EQ(*Machine().ValueNames("\\SOFTWARE\\Parlora3\\IPaddress"), Numbered(1000));
    EXPECT_EQ(settings::LoadHistory(settings::kIPaddressList), entries);
}

TEST_F(History, AListIsSavedWholeOrNotAtAll) {
    const Names before{"alpha", "beta"};
    settings::SaveHistory(settings::kHandlesList, before);
    const AnsiString tooLarge(2u << 20, 'x');
    EXPECT_FALSE(settings::HistoryCanHold(tooLarge));
    EXPECT_TRUE(settings::HistoryCanHold(AnsiString(4000, 'x')));

    const Names after{"one", tooLarge, "three"};
    EXPECT_THROW(settings::SaveHistory(settings::kHandlesList, after),
                 platform::ERegistryException);
    EXPECT_EQ(settings::LoadHistory(settings::kHandlesList), before) << "the old list stays whole";
    // Also as another running copy reads the file.
    platform::RegStore fresh(platform::RegStore::Directory() / "HKEY_LOCAL_MACHINE.reg",
                             "HKEY_LOCAL_MACHINE");
    EXPECT_EQ(*fresh.ValueNames(kHandlesKey), Numbered(2));

    // The store goes on working after the dropped save.
    settings::SaveHistory(settings::kHandlesList, Names{"gamma"});
    EXPECT_EQ(settings::LoadHistory(settings::kHandlesList), Names{"gamma"});
}

class ViewSettings : public TSettingsTest {};

TEST_F(ViewSettings, AbsentKeyLeavesTheDesignAndBadValuesAreSkipped) {
    settings::TViewSettings view{10, 20, 300, 400, true, true, false};
    EXPECT_FALSE(settings::LoadViewSettings(view));
    EXPECT_FALSE(
        platform::RegStore::For(platform::RegRoot::CurrentUser).KeyExists(settings::kCustomKey));

    settings::SaveViewSettings({-5, 7, 640, 480, false, true, true});
    auto& user = platform::RegStore::For(platform::RegRoot::CurrentUser);
    EXPECT_EQ(
        *user.ValueNames(settings::kCustomKey),
        (Names{"Top", "left", "width", "height", "ShowMember", "ShowRoomName", "MessageTmp"}));
    EXPECT_FALSE(Machine().KeyExists(settings::kCustomKey)); // per user only

    ASSERT_TRUE(user.SetValue(settings::kCustomKey, "width", platform::REG_SZ, "wide"));
    ASSERT_TRUE(user.DeleteValue(settings::kCustomKey, "height"));
    settings::TViewSettings loaded{1, 2, 3, 4, true, true, false};
    EXPECT_TRUE(settings::LoadViewSettings(loaded));
    EXPECT_EQ(loaded.Top, -5);
    EXPECT_EQ(loaded.Left, 7);
    EXPECT_EQ(loaded.Width, 3);
    EXPECT_EQ(loaded.Height, 4);
    EXPECT_FALSE(loaded.ShowMember);
    EXPECT_TRUE(loaded.ShowRoomName);
    EXPECT_FALSE(loaded.MessageTmp); // never read back
}
