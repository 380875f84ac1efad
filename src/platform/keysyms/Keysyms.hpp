#pragma once

#include <cstdint>

// Keysyms as the X protocol numbers them (a 32-bit value; 0 is NoSymbol).

// The keysym of a virtual key code of the key tables; Command and Control both give a
// Control key (the left and the right one), Option gives Alt. 0 for a code with no key.
std::uint32_t keysymForVirtualKey(std::uint16_t virtualKey);

// The keysym that types a Unicode character: Latin-1 by its own number, the rest as
// Unicode keysyms; line breaks and tabs as Return and Tab. 0 for the other control
// characters, which are not typed, and for what is no character.
std::uint32_t keysymForCharacter(char32_t character);

// The lower- and upper-case forms of a character's keysym; other keysyms unchanged.
std::uint32_t keysymLower(std::uint32_t keysym);
std::uint32_t keysymUpper(std::uint32_t keysym);
