#pragma once
// The host's own files and environment, read the one way every layer (and the
// benchmark) reads them.
#include <string>

namespace qv {

// The whole file as bytes; empty when it cannot be read.
std::string read_file(const std::string& path);

// The variable's value when it is set and not empty, else the fallback.
std::string env_or(const char* name, const std::string& fallback);

}  // namespace qv
