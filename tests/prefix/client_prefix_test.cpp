// qvctl winver, dll and info: what they write, read back by an independent
// checker program, and their refusals.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>

#include "client_support.h"
#include "qv/registry.h"
#include "qv/text.h"
#include "registry_support.h"

namespace {

using clienttest::lines;
using clienttest::qvctl;
using nlohmann::json;

std::vector<std::string> with_json() { return {"--prefix", qvtest::prefix(), "--json"}; }

// The checker's "1 HEX" for a REG_SZ holding text.
std::string sz(const std::string& text) { return "1 " + qv::to_hex(qv::utf8_to_utf16le(text) + std::string(2, '\0')); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(ClientPrefix, WindowsVersionSetGloballyAndPerProgram) {
    regtest::Checker checker;
    const std::string nt = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    json before = json::parse(qvctl({"winver"}, with_json()).out);
    ASSERT_TRUE(before["exact"].get<bool>()) << before;

    qv::RunResult list = qvctl({"winver", "list"}, with_json());
    std::vector<std::string> words;
    json versions = json::parse(list.out)["versions"];  // kept: the loop must not read a destroyed temporary
    for (const json& v : versions)
        words.push_back(v["name"]);
    ASSERT_FALSE(words.empty());
    for (std::string w : {"win7", "vista"}) {
        ASSERT_NE(std::find(words.begin(), words.end(), w), words.end()) << w;
        qv::RunResult set = qvctl({"winver", "set", w});
        ASSERT_EQ(set.exit_code, 0) << set.err;
        EXPECT_EQ(lines(qvctl({"winver"}).out)[0].substr(0, w.size() + 1), w + " ");
        EXPECT_EQ(checker.query(nt, "CurrentVersion", "64"), sz(w == "win7" ? "6.1" : "6.0"));
        EXPECT_EQ(checker.query(nt, "CurrentVersion", "32"), sz(w == "win7" ? "6.1" : "6.0"));
    }
    // One program's version leaves the global one alone.
    ASSERT_EQ(qvctl({"winver", "set", "win7", "--app", "Game.exe"}).exit_code, 0);
    EXPECT_EQ(checker.query("HKCU\\Software\\Wine\\AppDefaults\\Game.exe", "Version", "64"), sz("win7"));
    json app = json::parse(qvctl({"winver", "--app", "game.exe"}, with_json()).out);
    EXPECT_EQ(app["version"], "win7");
    EXPECT_EQ(app["source"], "app");
    EXPECT_EQ(json::parse(qvctl({"winver"}, with_json()).out)["version"], "vista");

    // Refused before anything is written.
    qv::RunResult bad = qvctl({"winver", "set", "win95x"});
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_TRUE(contains(bad.err, "unknown Windows version")) << bad.err;
    EXPECT_EQ(qvctl({"winver", "set", "win7", "--app", "a\\b.exe"}).exit_code, 2);
    EXPECT_EQ(checker.query(nt, "CurrentVersion", "64"), sz("6.0"));

    checker.rmtree("HKCU\\Software\\Wine\\AppDefaults\\Game.exe", "64");
    ASSERT_EQ(qvctl({"winver", "set", before["version"].get<std::string>()}).exit_code, 0);
}

TEST(ClientPrefix, DllOverridesAsWineStoresThem) {
    regtest::Checker checker;
    const std::string global = "HKCU\\Software\\Wine\\DllOverrides";
    const std::string app = "HKCU\\Software\\Wine\\AppDefaults\\tool.exe\\DllOverrides";
    ASSERT_EQ(qvctl({"dll", "set", "qvtestdll.dll", "n,b"}).exit_code, 0);
    EXPECT_EQ(checker.query(global, "qvtestdll", "64"), sz("native,builtin"));
    ASSERT_EQ(qvctl({"dll", "set", "qvtestdll", "disabled", "--app", "tool.exe"}).exit_code, 0);
    EXPECT_EQ(checker.query(app, "qvtestdll", "64"), sz(""));

    json one = json::parse(qvctl({"dll", "get", "QVTESTDLL.DLL"}, with_json()).out);
    EXPECT_EQ(one["mode"], "native,builtin");
    EXPECT_EQ(qvctl({"dll", "get", "qvtestdll", "--app", "tool.exe"}).out, "qvtestdll  disabled\n");
    bool listed = false;
    json overrides = json::parse(qvctl({"dll", "list"}, with_json()).out)["overrides"];
    for (const json& o : overrides)
        listed = listed || (o["dll"] == "qvtestdll" && o["mode"] == "native,builtin");
    EXPECT_TRUE(listed);

    qv::RunResult bad = qvctl({"dll", "set", "qvtestdll", "nativ"});
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_TRUE(contains(bad.err, "native, builtin")) << bad.err;
    EXPECT_EQ(checker.query(global, "qvtestdll", "64"), sz("native,builtin"));

    ASSERT_EQ(qvctl({"dll", "rm", "qvtestdll"}).exit_code, 0);
    EXPECT_EQ(checker.query(global, "qvtestdll", "64"), "value 2");
    qv::RunResult gone = qvctl({"dll", "get", "qvtestdll"});
    EXPECT_EQ(gone.exit_code, 1);
    EXPECT_TRUE(contains(gone.err, "no override")) << gone.err;
    checker.rmtree("HKCU\\Software\\Wine\\AppDefaults\\tool.exe", "64");
}

TEST(ClientPrefix, InfoAgreesWithTheOtherCommands) {
    qv::RunResult r = qvctl({"info"}, with_json());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    json i = json::parse(r.out);
    EXPECT_EQ(i["prefix"], qvtest::prefix());
    EXPECT_EQ(i["windows_version"]["version"], json::parse(qvctl({"winver"}, with_json()).out)["version"]);
    json drives = json::parse(qvctl({"drive", "list"}, with_json()).out)["drives"];
    ASSERT_EQ(i["drives"].size(), drives.size());
    for (size_t n = 0; n < drives.size(); n++)
        EXPECT_EQ(i["drives"][n]["target"], drives[n]["target"]);
    std::string windows;
    for (const json& f : i["folders"])
        if (f["name"] == "windows")
            windows = f["windows_path"];
    EXPECT_EQ(windows + "\n", qvctl({"dir", "windows"}).out);
}

}  // namespace
