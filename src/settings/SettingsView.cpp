#include "SettingsView.h"

#include "platform/TRegistry.h"

namespace settings {
namespace {

using platform::RegRoot;
using platform::TRegistry;

template <class T, class Read> void ReadInto(T& field, Read read) {
    try {
        field = read();
    } catch (const platform::ERegistryException&) {
        // Keep the current value.
    }
}

} // namespace

void SaveViewSettings(const TViewSettings& view) {
    TRegistry reg(RegRoot::CurrentUser);
    reg.OpenKey(kCustomKey, true);
    reg.WriteInteger("Top", view.Top);
    reg.WriteInteger("left", view.Left);
    reg.WriteInteger("width", view.Width);
    reg.WriteInteger("height", view.Height);
    reg.WriteBool("ShowMember", view.ShowMember);
    reg.WriteBool("ShowRoomName", view.ShowRoomName);
    reg.WriteBool("MessageTmp", view.MessageTmp);
    reg.CloseKey();
}

bool LoadViewSettings(TViewSettings& view) {
    TRegistry reg(RegRoot::CurrentUser);
    if (!reg.KeyExists(kCustomKey) || !reg.OpenKey(kCustomKey, true)) return false;
    ReadInto(view.Top, [&] { return reg.ReadInteger("Top"); });
    ReadInto(view.Left, [&] { return reg.ReadInteger("left"); });
    ReadInto(view.Width, [&] { return reg.ReadInteger("width"); });
    ReadInto(view.Height, [&] { return reg.ReadInteger("height"); });
    ReadInto(view.ShowMember, [&] { return reg.ReadBool("ShowMember"); });
    ReadInto(view.ShowRoomName, [&] { return reg.ReadBool("ShowRoomName"); });
    reg.CloseKey();
    return true;
}

} // namespace settings
