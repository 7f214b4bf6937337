#pragma once
// The ANSI code page Wine uses here (Windows-1252), for REGEDIT4 files: every
// byte maps to one UTF-16 unit and back, so 8-bit text converts exactly both
// ways (the five bytes the code page leaves undefined map to U+0081, U+008D,
// U+008F, U+0090 and U+009D, as the platform maps them).
#include <string>
#include <string_view>

namespace qv {

// Each byte as one UTF-16LE unit.
std::string cp1252_to_utf16le(std::string_view bytes);
// UTF-16LE units back to bytes; false when a unit has no byte (or the length is odd).
bool utf16le_to_cp1252(std::string_view utf16le, std::string* bytes);

}  // namespace qv
