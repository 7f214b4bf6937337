#pragma once
// Shared by the file-system tests: the prefix's own state seen from the
// host (dosdevices links, registry files) and from inside (fs_probe.exe).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>

#include "qv/files.h"
#include "support.h"

namespace qvtest {

// Target of a symlink, or none when it is not one.
inline std::optional<std::string> read_link(const std::string& path) {
    char buf[8192];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    if (n < 0)
        return std::nullopt;
    return std::string(buf, static_cast<size_t>(n));
}

inline bool is_dir(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

inline std::string real_path(const std::string& path) {
    char* r = ::realpath(path.c_str(), nullptr);
    if (!r)
        return "<no such path " + path + ">";
    std::string out = r;
    std::free(r);
    return out;
}

// The drive letters of the prefix (upper case) and their link targets.
inline std::map<char, std::string> dosdevice_drives() {
    std::map<char, std::string> out;
    for (char c = 'a'; c <= 'z'; c++)
        if (auto target = read_link(prefix() + "/dosdevices/" + c + ":"))
            out[static_cast<char>(c - 32)] = *target;
    return out;
}

// Removes the drive letters that a test added, so that the prefix is left as
// it was found; fails the test when it cannot.
class DriveRestorer {
public:
    DriveRestorer() : before_(dosdevice_drives()) {}
    ~DriveRestorer() {
        std::map<char, std::string> now = dosdevice_drives();
        if (now == before_)
            return;
        qv::Server server = start_server();
        for (const auto& [letter, target] : now)
            if (!before_.count(letter))
                (void)qv::remove_drive(server, letter);  // checked below, all at once
        server.quit();
        EXPECT_EQ(dosdevice_drives(), before_) << "the prefix's drives were not restored";
    }
    const std::map<char, std::string>& before() const { return before_; }

private:
    std::map<char, std::string> before_;
};

// fs_probe.exe, long-lived: asks the platform directly.
class Probe : public LineProgram {
public:
    explicit Probe(const qv::LaunchOptions& options = options_for(test_program64("fs_probe.exe")))
        : LineProgram(options) {}
    // wine_get_unix_file_name's result, or none.
    std::optional<std::string> unix_name(const std::string& windows_path) {
        std::string r = ask("unix " + windows_path);
        if (r == "null")
            return std::nullopt;
        return from_hex(r);
    }
};

// A string value of a key in one of the prefix's registry files (user.reg,
// system.reg), as the wineserver saved it; key as written there, e.g.
// "Software\\Microsoft\\...", with single backslashes.
inline std::optional<std::string> reg_file_string(const std::string& file, const std::string& key,
                                                  const std::string& name) {
    std::ifstream in(prefix() + "/" + file);
    std::string escaped_key;
    for (char c : key)
        escaped_key += c == '\\' ? std::string("\\\\") : std::string(1, c);
    const std::string head = "[" + escaped_key + "]";
    const std::string value_head = "\"" + name + "\"=\"";
    std::string line;
    bool in_key = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '[') {
            in_key = line.compare(0, head.size(), head) == 0;
            continue;
        }
        if (!in_key || line.compare(0, value_head.size(), value_head) != 0)
            continue;
        std::string out;
        for (size_t i = value_head.size(); i < line.size() && line[i] != '"'; i++) {
            if (line[i] == '\\' && i + 1 < line.size())
                i++;
            out += line[i];
        }
        return out;
    }
    return std::nullopt;
}

}  // namespace qvtest
