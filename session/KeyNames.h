#pragma once
// The phone's key names and the X keysyms they stand for. Names are
// case-sensitive: there are no upper-case letters or shifted symbols here, the
// modifier mask brings Shift.
#include <cstdint>
#include <optional>
#include <string>

// Keysym for a key name, or nothing for a name not in the table.
std::optional<unsigned long> keysymForName(const std::string& name);

// Keysym typing one Unicode code point: Latin-1 keysyms equal the code point,
// all others are 0x1000000 + code point. Nothing for control characters and
// values that are no characters.
std::optional<unsigned long> keysymForCodePoint(uint32_t cp);

// Number of names in the table.
size_t keyNameCount();
