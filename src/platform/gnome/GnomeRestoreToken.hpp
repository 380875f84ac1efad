#pragma once

#include <filesystem>
#include <string>

// The portal's restore tokens, which let a later process start a session without a dialog:
// kept in the user's state folder ($XDG_STATE_HOME, else ~/.local/state), private to the
// user, one file each.

// The file called `name` there; empty when neither variable names a folder.
std::filesystem::path restoreTokenFile(const std::string& name);
// The token kept in the file; "" when there is none (or no file).
std::string readRestoreToken(const std::filesystem::path& file);
// Keeps the token: the folder made private (0700), the file (0600) written whole beside it
// and renamed over the old one, so that a crash leaves either token, never half of one.
// Failures leave the old token, or none; a token is only a convenience.
void keepRestoreToken(const std::filesystem::path& file, const std::string& token);
