#pragma once
// Reads the few facts of a PE file that the deliverable checks need.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qvtest {

struct PeImage {
    uint16_t machine = 0;    // 0x14c i386, 0x8664 x86-64
    uint16_t magic = 0;      // 0x10b PE32, 0x20b PE32+
    uint16_t subsystem = 0;  // 2 GUI, 3 console
    std::vector<std::string> imports;  // DLL names as stored
    // String-table resources: block id -> language -> the block's 16 strings (UTF-16).
    std::map<uint32_t, std::map<uint32_t, std::vector<std::u16string>>> string_blocks;
};

// Parses the file; std::nullopt with *error set when it is not a readable PE image.
std::optional<PeImage> read_pe_image(const std::string& path, std::string* error);

}  // namespace qvtest
