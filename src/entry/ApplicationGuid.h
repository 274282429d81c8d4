#pragma once
// Rooms are listed and entered only by members that give the same
// application GUID, so Parlora never meets another program's rooms.

namespace entry {

inline constexpr char kApplicationGuid[] = "{5BFFE6A0-4D9C-11D2-B2C6-0080C83D719A}";

} // namespace entry
