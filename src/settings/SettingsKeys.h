#pragma once
// Where each group of settings lives in the settings store. Key paths are
// absolute (leading backslash); value names keep their exact case.
namespace settings {

// Machine-wide (RegRoot::LocalMachine): options and start dialog histories.
inline constexpr const char* kMainKey = "\\SOFTWARE\\Parlora3";
inline constexpr const char* kNotifyKey = "\\SOFTWARE\\Parlora3\\Notify";
// History lists: kMainKey + "\\" + one of these names.
inline constexpr const char* kHandlesList = "handles";
inline constexpr const char* kIPaddressList = "IPaddress";
inline constexpr const char* kRoomNamesList = "RoomNames";
// Per user (RegRoot::CurrentUser): the chat windows' view.
inline constexpr const char* kCustomKey = "\\SOFTWARE\\Parlora3\\Custom";

} // namespace settings
