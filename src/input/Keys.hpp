#pragma once

#include "platform/InputEvents.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A key by its virtual key code; a modifier key also carries the flag it sets.
struct Key {
    std::uint16_t code = 0;
    std::optional<EventFlags> modifier;

    friend bool operator==(const Key&, const Key&) = default;
};

// Key names as callers write them ("return", "cmd", "f5", "a") to virtual key codes of the
// US keyboard and modifier flags. Pure lookup; the tables are built once and then only
// read, so any thread may look up without a lock.
class Keys {
public:
    // An unknown name, exactly as the caller gave it.
    struct Failure {
        std::string name;
    };

    static constexpr EventFlags shiftFlag = 0x20000;
    static constexpr EventFlags controlFlag = 0x40000;
    static constexpr EventFlags optionFlag = 0x80000;
    static constexpr EventFlags commandFlag = 0x100000;

    static constexpr std::uint16_t command = 55;
    static constexpr std::uint16_t shift = 56;
    static constexpr std::uint16_t option = 58;
    static constexpr std::uint16_t control = 59;
    static constexpr std::uint16_t returnKey = 36;
    static constexpr std::uint16_t tab = 48;

    // Throws Keys::Failure for a name in neither table.
    static Key lookup(std::string_view name);

    // The key codes of the modifiers set in `flags`, always in the order Command, Control,
    // Option, Shift; other bits are ignored.
    static std::vector<std::uint16_t> modifierCodes(EventFlags flags);
};
