#pragma once
// The desktop's own event sound for a new instant message, from the
// freedesktop sound theme (libcanberra), where the X bell is silent. The
// bell stands in when no sound can be played. Never blocks the caller: the
// sound server is reached from a thread of its own.
namespace platform {

// Plays "message-new-instant" unless the user switched event sounds off
// (GNOME's org.gnome.desktop.sound event-sounds); the bell otherwise, and
// when the sound cannot be played. Call on the GUI thread.
void PlayArrivalSound();

// How the last request ended (tests): what was played.
enum class TArrivalSound { None, EventSound, Bell };
TArrivalSound LastArrivalSound();

} // namespace platform
