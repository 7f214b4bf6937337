#pragma once
#include <string>

namespace qvctl {

// The --help text of a command ("" for the overview, "reg", "reg get", ...).
std::string help_text(const std::string& command);
// Its usage line(s) alone.
std::string usage_line(const std::string& command);

}  // namespace qvctl
