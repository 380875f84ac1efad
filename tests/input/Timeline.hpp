#pragma once

#include "platform/fake/FakeInputEvents.hpp"
#include "platform/fake/FakePlatform.hpp"

#include <chrono>
#include <string>
#include <vector>

// The posted events and the pauses between them as one list of short lines, in the order
// they happened: "key 55 down f=100000", "text down 'ab'", "mouse 1 (10,20) b0 n1 f=-",
// "scroll -120 first f=-", "30ms".
inline std::string utf8(const std::u16string& units)
{
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

inline std::string describe(const FakeInputEvents::Event& event)
{
    char flags[32] = "-";
    if (event.flags)
        std::snprintf(flags, sizeof flags, "%llx", static_cast<unsigned long long>(*event.flags));
    const char* direction = event.direction == KeyDirection::down ? "down" : "up";
    char line[160];
    switch (event.kind) {
    case FakeInputEvents::Kind::mouse:
        std::snprintf(line, sizeof line, "mouse %d (%g,%g) b%d n%lld f=%s", static_cast<int>(event.mouseType),
                      event.position.x, event.position.y, event.button, static_cast<long long>(event.clickState), flags);
        return line;
    case FakeInputEvents::Kind::key:
        std::snprintf(line, sizeof line, "key %u %s f=%s", event.keyCode, direction, flags);
        return line;
    case FakeInputEvents::Kind::text:
        return std::string("text ") + direction + " '" + utf8(event.text) + "'";
    case FakeInputEvents::Kind::scroll:
        std::snprintf(line, sizeof line, "scroll %d %s f=%s", event.verticalPixels,
                      event.scrollPart == ScrollPart::first ? "first" : "continued", flags);
        return line;
    case FakeInputEvents::Kind::relinquish:
        return "relinquish";
    }
    return "?";
}

inline std::vector<std::string> timeline(FakePlatform& fake)
{
    const auto sleeps = fake.clock.sleeps();
    std::vector<std::string> lines;
    std::size_t nextSleep = 0;
    const auto pausesUntil = [&](std::size_t end) {
        for (; nextSleep < end && nextSleep < sleeps.size(); ++nextSleep) {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sleeps[nextSleep]).count();
            lines.push_back(std::to_string(ms) + "ms");
        }
    };
    for (const auto& event : fake.inputEvents.events()) {
        pausesUntil(event.sleepsBefore);
        lines.push_back(describe(event));
    }
    pausesUntil(sleeps.size());
    return lines;
}

// Only the events, without pauses.
inline std::vector<std::string> eventLines(FakePlatform& fake)
{
    std::vector<std::string> lines;
    for (const auto& event : fake.inputEvents.events())
        lines.push_back(describe(event));
    return lines;
}
