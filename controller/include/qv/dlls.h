#pragma once
// DLL overrides: which copy of a DLL Wine loads, the prefix's native one or
// its own builtin one, in which order, or none at all. They are REG_SZ values
// named after the DLL under HKCU\Software\Wine\DllOverrides (every program)
// or HKCU\Software\Wine\AppDefaults\NAME.exe\DllOverrides (one program,
// taking precedence), written as Wine's configuration tool writes them.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qv/failure.h"
#include "qv/session.h"

namespace qv {

enum class DllMode {
    native,          // "native"
    builtin,         // "builtin"
    native_builtin,  // "native,builtin": native, else builtin
    builtin_native,  // "builtin,native": builtin, else native
    disabled,        // "": not loaded at all
};

// Every mode, in the order above.
const std::vector<DllMode>& dll_modes();
// The text Wine stores for the mode ("" for disabled).
const char* dll_mode_text(DllMode mode);
// The mode's word for people and command lines ("disabled" for disabled).
const char* dll_mode_word(DllMode mode);
// A mode from its stored text or word, ASCII case ignored: the texts above,
// "disabled", and Wine's short forms "n", "b", "n,b", "b,n". Anything else is
// a Failure of kind refused naming the modes.
Result<DllMode> parse_dll_mode(std::string_view text);

struct DllOverride {
    std::string dll;    // the value name: the DLL's name without ".dll"
    std::string text;   // the stored text, as it is
    // The mode the text means; none for a text that is not one of the
    // modes (written by hand or another tool).
    std::optional<DllMode> mode;
};

// The key that holds the overrides of every program (empty app) or of one.
// Throws qv::Refused for a bad app name (see wineconfig.h).
std::string dll_overrides_key(std::string_view app = {});
// The value name for a DLL: "d3d9.dll" and "d3d9" both give "d3d9" (Wine
// looks overrides up without the extension). Throws qv::Refused for an empty
// name or one with NUL or LF.
std::string dll_override_name(std::string_view dll);

// Every override of the key, in the registry's order; none when the key does
// not exist.
Result<std::vector<DllOverride>> dll_overrides(Channel to, std::string_view app = {});
// One override, its dll the name as stored (found without regard to case);
// kFileNotFound when the DLL has none there.
Result<DllOverride> dll_override(Channel to, std::string_view dll, std::string_view app = {});
// Writes the override (the key is created when missing).
Result<void> set_dll_override(Channel to, std::string_view dll, DllMode mode, std::string_view app = {});
// The same from a mode's text or word; an unknown mode is refused, and
// nothing is sent.
Result<void> set_dll_override(Channel to, std::string_view dll, std::string_view mode, std::string_view app = {});
// Removes the override; kFileNotFound when there was none.
Result<void> remove_dll_override(Channel to, std::string_view dll, std::string_view app = {});

// For batches: the requests (throwing qv::Refused) and the parsers.
Request dll_overrides_request(std::string_view app = {});
Request set_dll_override_request(std::string_view dll, DllMode mode, std::string_view app = {});
Request remove_dll_override_request(std::string_view dll, std::string_view app = {});
Result<std::vector<DllOverride>> parse_dll_overrides(std::string_view answer);

}  // namespace qv
