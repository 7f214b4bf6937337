#pragma once
// Where Wine keeps its own settings for the user: HKCU\Software\Wine for every
// program, and HKCU\Software\Wine\AppDefaults\NAME.exe for one program
// (what Wine reads for a program whose file name is NAME.exe, in any case).
// HKCU\Software is shared by both registry views, so one write reaches both.
#include <string>
#include <string_view>

namespace qv {

inline constexpr std::string_view kWineSettingsKey = "HKCU\\Software\\Wine";

// kWineSettingsKey for an empty app, else its AppDefaults key. Throws
// qv::Refused for an app name Wine could not look up: one with a backslash
// or slash (it names a file, not a path), NUL or LF, or "." / "..".
std::string wine_settings_key(std::string_view app);

}  // namespace qv
