#pragma once
// Shared by the prefix-operation tests: Wine's own tools run in a prefix
// (output in files), their .reg exports read back, scratch prefixes of their
// own, and the osprobe program run under a chosen file name.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qv/host.h"
#include "qv/process.h"
#include "qv/regfile.h"
#include "qv/session.h"
#include "qv/text.h"
#include "support.h"

namespace opstest {

using qv::read_file;

// A Wine tool ("winecfg", "regedit", "reg") or program run to its end in
// prefix; extra environment as given.
inline qv::RunResult run_in(const std::string& prefix, const std::string& exe, const std::vector<std::string>& args,
                            std::vector<std::pair<std::string, std::string>> env = {}) {
    qv::LaunchOptions o = qvtest::options_for(exe);
    o.wine = qv::default_wine_loader();
    o.prefix = prefix;
    o.args = args;
    o.env = std::move(env);
    return qvtest::run_wine_tool(o, qvtest::patience(qv::Millis(120000)));
}

// The values of exactly this key (not its subkeys) in a `regedit /E` export
// of it, sorted by name; what a test compares between two prefixes.
struct ExportedKey {
    bool found = false;
    std::vector<qv::RegFileValue> values;
    const qv::RegFileValue* find(const std::string& name) const {
        for (const qv::RegFileValue& v : values)
            if (qv::iequals(v.name, name))
                return &v;
        return nullptr;
    }
};

inline ExportedKey regedit_export(const std::string& prefix, const std::string& key) {
    std::string file = prefix + ".export.reg";
    std::remove(file.c_str());
    qv::RunResult r = run_in(prefix, "regedit", {"/E", file, key});
    ExportedKey out;
    if (r.exit_code != 0) {
        ADD_FAILURE() << "regedit /E " << key << " exited " << r.exit_code << "\nstdout: " << r.out
                      << "\nstderr: " << r.err;
        return out;
    }
    qv::RegFile parsed = qv::parse_regfile(read_file(file));
    for (qv::RegFileKey& k : parsed.keys)
        if (qv::iequals(k.path, key)) {
            out.found = true;
            out.values = std::move(k.values);
        }
    std::sort(out.values.begin(), out.values.end(), [](const qv::RegFileValue& a, const qv::RegFileValue& b) {
        return qv::ascii_lower(a.name) < qv::ascii_lower(b.name);
    });
    return out;
}

// The values that differ between two exports of a key, one line each as
// "name: A | B" in .reg syntax; empty when they are the same.
inline std::string differences(const ExportedKey& a, const ExportedKey& b) {
    if (a.found != b.found)
        return std::string("the key is ") + (a.found ? "only in the first export" : "only in the second export") + "\n";
    auto text = [](const ExportedKey& k, const std::string& name) {
        const qv::RegFileValue* v = k.find(name);
        return v ? qv::regfile_value_text(*v, qv::RegFileFormat::v5_utf8) : std::string("(none)");
    };
    std::string out;
    std::vector<std::string> names;
    for (const ExportedKey* k : {&a, &b})
        for (const qv::RegFileValue& v : k->values)
            if (std::find(names.begin(), names.end(), qv::ascii_lower(v.name)) == names.end())
                names.push_back(qv::ascii_lower(v.name));
    for (const std::string& n : names)
        if (text(a, n) != text(b, n))
            out += n + ": " + text(a, n) + " | " + text(b, n) + "\n";
    return out;
}

// A copy of the pristine prefix for one test suite, its wineserver kept
// alive, stopped and removed at the end. The folder is dir and the process
// id, so that tests that ctest runs side by side do not share it.
class ScratchPrefix {
public:
    explicit ScratchPrefix(const std::string& dir) : dir_(dir + "." + std::to_string(::getpid())) {
        std::string cmd = std::string(QV_SOURCE_DIR) + "/scripts/wine-prefix.sh clone '" + dir_ + "' >/dev/null 2>&1";
        ok_ = std::system(cmd.c_str()) == 0;
    }
    ~ScratchPrefix() {
        std::string cmd = std::string(QV_SOURCE_DIR) + "/scripts/wine-prefix.sh stop '" + dir_ + "' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) == 0)
            std::system(("rm -rf '" + dir_ + "' '" + dir_ + ".export.reg' '" + dir_ + ".start.log'").c_str());
    }
    bool ok() const { return ok_; }
    const std::string& dir() const { return dir_; }
    qv::SessionOptions session_options() const {
        qv::SessionOptions o;
        o.launch = qvtest::options_for(qvtest::program64("qvmanip.exe"));
        o.launch.wine = qv::default_wine_loader();
        o.launch.prefix = dir_;
        o.start_timeout = qvtest::patience(qv::Millis(60000));
        o.answer_timeout = qvtest::patience(qv::Millis(60000));
        return o;
    }

private:
    std::string dir_;
    bool ok_ = false;
};

// osprobe.exe (and, when asked, the non-Wine test DLL under a builtin DLL's
// name) copied into a folder of the prefix under a chosen file name, so that
// per-program settings for that name apply to it.
inline std::string place_probe(const std::string& prefix, const std::string& folder, const std::string& exe_name,
                               const std::string& native_dll_name = "") {
    std::string dir = prefix + "/drive_c/" + folder;
    std::string cmd = "mkdir -p '" + dir + "' && cp '" + qvtest::test_program64("osprobe.exe") + "' '" + dir + "/" +
                      exe_name + "'";
    if (!native_dll_name.empty())
        cmd += " && cp '" + qvtest::test_program64("qvprobe.dll") + "' '" + dir + "/" + native_dll_name + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    return dir + "/" + exe_name;
}

inline std::string first_line(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

// The global version `winecfg -v` shows for prefix: Wine 8 prints the word
// on stdout, Wine 10 on stderr, among messages of its own.
inline std::string shown_version(const std::string& prefix) {
    qv::RunResult r = run_in(prefix, "winecfg", {"-v"});
    std::istringstream lines(r.out + "\n" + r.err);
    for (std::string line; std::getline(lines, line);) {
        line = first_line(line);
        if (!line.empty() && line.find_first_of(" :") == std::string::npos)
            return line;
    }
    return "(no version in: " + r.out + r.err + ")";
}

}  // namespace opstest
