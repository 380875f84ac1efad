#include "input/Keyboard.hpp"

#include "input/Graphemes.hpp"
#include "input/Input.hpp"
#include "input/Keys.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

constexpr std::int64_t afterKeyEvent = 8;
constexpr std::int64_t textDownToUp = 4;
constexpr std::int64_t afterText = 8;
constexpr std::size_t chunkUnits = 16;

} // namespace

void pause(Clock& clock, std::int64_t milliseconds)
{
    clock.sleep(std::chrono::milliseconds(milliseconds));
}

void pauseAfter(Clock& clock, Clock::TimePoint posted, std::int64_t milliseconds)
{
    const Clock::Duration left = posted + std::chrono::milliseconds(milliseconds) - clock.now();
    if (left > Clock::Duration::zero())
        clock.sleep(left);
}

Keyboard::Keyboard(InputEvents& events, Clock& clock)
    : events_(events), clock_(clock)
{
}

std::vector<std::uint16_t> Keyboard::Chord::allCodes() const
{
    auto codes = Keys::modifierCodes(flags);
    codes.insert(codes.end(), plainKeys.begin(), plainKeys.end());
    return codes;
}

Keyboard::Chord Keyboard::resolve(const std::vector<std::string>& names)
{
    Chord chord;
    for (const auto& name : names) {
        try {
            const Key key = Keys::lookup(name);
            if (key.modifier)
                chord.flags |= *key.modifier;
            else
                chord.plainKeys.push_back(key.code);
        } catch (const Keys::Failure& failure) {
            throw Input::Failure{"unknown key '" + failure.name + "'"};
        }
    }
    return chord;
}

void Keyboard::postKey(std::uint16_t code, KeyDirection direction, EventFlags flags)
{
    const Clock::TimePoint posted = clock_.now();
    events_.postKey(code, direction, flags);
    pauseAfter(clock_, posted, afterKeyEvent);
}

void Keyboard::tap(std::uint16_t code, EventFlags flags)
{
    const EventFlags all = flags | heldFlags_;
    postKey(code, KeyDirection::down, all);
    postKey(code, KeyDirection::up, all);
}

void Keyboard::flushText(std::u16string& chunk)
{
    if (chunk.empty())
        return;
    // A chunk the platform cannot post stays pending and goes out with the next one.
    const Clock::TimePoint down = clock_.now();
    if (!events_.postText(chunk, KeyDirection::down))
        return;
    pauseAfter(clock_, down, textDownToUp);
    const Clock::TimePoint up = clock_.now();
    events_.postText(chunk, KeyDirection::up);
    pauseAfter(clock_, up, afterText);
    chunk.clear();
}

void Keyboard::type(std::string_view text)
{
    const std::u32string codePoints = Graphemes::decodeUTF8(text);
    std::u16string chunk;
    std::u16string units;
    for (const auto cluster : Graphemes::clusters(codePoints)) {
        if (cluster == U"\n" || cluster == U"\r\n" || cluster == U"\t") {
            flushText(chunk);
            tap(cluster == U"\t" ? Keys::tab : Keys::returnKey, 0);
            continue;
        }
        units.clear();
        Graphemes::appendUTF16(cluster, units);
        if (!chunk.empty() && chunk.size() + units.size() > chunkUnits)
            flushText(chunk);
        chunk += units;
    }
    flushText(chunk);
}

void Keyboard::checkTypable(std::string_view text)
{
    std::u16string units;
    Graphemes::appendUTF16(Graphemes::decodeUTF8(text), units);
    if (const auto character = events_.untypable(units)) {
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(*character));
        throw Input::Failure{std::string("cannot type ") + code + ": the keyboard has no key for it and none to spare"};
    }
}

void Keyboard::hotkey(const std::vector<std::string>& names)
{
    const Chord chord = resolve(names);
    const auto modifiers = Keys::modifierCodes(chord.flags);
    const EventFlags flags = heldFlags_ | chord.flags;
    std::size_t down = 0;
    try {
        for (; down < modifiers.size(); ++down)
            postKey(modifiers[down], KeyDirection::down, flags);
        for (const auto code : chord.plainKeys) {
            postKey(code, KeyDirection::down, flags);
            postKey(code, KeyDirection::up, flags);
        }
    } catch (...) {
        // A key the desktop would not take must not leave the chord's modifiers down.
        for (; down > 0; --down) {
            try {
                events_.postKey(modifiers[down - 1], KeyDirection::up, heldFlags_);
            } catch (...) {
            }
        }
        throw;
    }
    for (auto code = modifiers.rbegin(); code != modifiers.rend(); ++code)
        postKey(*code, KeyDirection::up, heldFlags_);
}

void Keyboard::press(const std::vector<std::string>& names)
{
    const Chord chord = resolve(names);
    heldFlags_ |= chord.flags;
    for (const auto code : chord.allCodes()) {
        if (std::find(heldCodes_.begin(), heldCodes_.end(), code) != heldCodes_.end())
            continue;
        heldCodes_.push_back(code);
        postKey(code, KeyDirection::down, heldFlags_);
    }
}

void Keyboard::release(const std::vector<std::string>& names)
{
    const Chord chord = resolve(names);
    heldFlags_ &= ~chord.flags;
    const auto codes = chord.allCodes();
    for (auto code = codes.rbegin(); code != codes.rend(); ++code) {
        const auto held = std::find(heldCodes_.begin(), heldCodes_.end(), *code);
        if (held == heldCodes_.end())
            continue;
        heldCodes_.erase(held);
        postKey(*code, KeyDirection::up, heldFlags_);
    }
}

void Keyboard::releaseAll()
{
    heldFlags_ = 0;
    for (auto code = heldCodes_.rbegin(); code != heldCodes_.rend(); ++code)
        postKey(*code, KeyDirection::up, 0);
    heldCodes_.clear();
}
