#pragma once
// Byte strings made readable: for messages, logs and the checker programs'
// hex fields.
#include <string>
#include <string_view>

namespace qv {

// Lower-case hex, two digits a byte.
std::string to_hex(std::string_view bytes);
// C-style escapes for LF, CR, TAB, backslash and other control bytes;
// everything else (UTF-8 included) as it is. Without escape_backslash a
// backslash stays as it is, for Windows paths shown to people.
std::string visible(std::string_view bytes, bool escape_backslash = true);

}  // namespace qv
