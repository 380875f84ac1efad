#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The version compiled in from the build, or "0" when the build gave none.
std::string bundleVersion();

// The value after the first argument equal to `name` (index 0 included), unchanged even
// when it starts with "--". Nothing when the name is absent or is the last argument.
std::optional<std::string> argument(const std::vector<std::string>& arguments, std::string_view name);

// The trimmed content of the --token-file file; empty when there is no option, the file
// cannot be read, it is not UTF-8, or nothing is left after trimming.
std::string readToken(const std::vector<std::string>& arguments);

// {"port":P,"pid":N,"version":"V"}, the version copied verbatim.
std::string readyLine(std::uint16_t port, long pid, std::string_view version);

// Replaces the file in one step: a reader sees the old file or the whole new one.
// Throws std::runtime_error with a description of the failure.
void writeFileAtomically(const std::string& path, std::string_view bytes);

// The --parent-pid to watch: a whole signed 32-bit decimal greater than 1, or nothing.
std::optional<std::int32_t> watchedParent(const std::vector<std::string>& arguments);

// Checks every 2 seconds, first 2 seconds from now, on a thread of its own, whether the
// process still exists; calls `gone` there once it does not, and stops watching.
void startParentWatch(std::int32_t pid, std::function<void()> gone);
