#pragma once
// The app counts keys in the platform's virtual key codes and device-independent modifier bits; X11
// counts them in keysyms and modifier masks. This is the one place the two meet.
//
// Modifiers: Shift is Shift, Option is Alt (Mod1), and Command, the key of shortcuts, is Control, as
// on this desktop (so the paste shortcut Command+V is Control+V); the Control bit is the Super key (Mod4).
#include <cstdint>
#include <optional>

namespace desktop {

// The X keysym of a virtual key code; nothing for a key without one here.
std::optional<unsigned long> keysymForKeyCode(int64_t keyCode);
// The virtual key code of a keysym (letters in either case); nothing for a key without one.
std::optional<int64_t> keyCodeForKeysym(unsigned long keysym);

// Device-independent modifier bits (0x20000 Shift, 0x40000 Control, 0x80000 Option, 0x100000 Command)
// to an X modifier mask, and back (lock modifiers and buttons are dropped).
unsigned int xModifiersForFlags(uint64_t flags);
uint64_t flagsForXModifiers(unsigned int state);

// True for keysyms of modifier keys themselves (Shift_L, Control_R, Caps_Lock, ...).
bool isModifierKeysym(unsigned long keysym);

}  // namespace desktop
