// qvctl as a user runs it: typed commands in, readable answers or JSON out,
// exit codes that say what went wrong.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "client_support.h"
#include "registry_support.h"

namespace {

using clienttest::lines;
using clienttest::qvctl;
using nlohmann::json;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(Client, RegistryCommandsRoundTripThroughTheServer) {
    const std::string key = "HKCU\\Software\\QvTest\\Client";
    EXPECT_EQ(qvctl({"reg", "rm", key}).exit_code, 0);
    qv::RunResult set = qvctl({"reg", "set", key, "Count", "dword", "0x1f"});
    EXPECT_EQ(set.exit_code, 0) << set.err;
    EXPECT_EQ(set.out, "");
    EXPECT_EQ(qvctl({"reg", "set", key, "Lines", "multi", "a b", "c\\d"}).exit_code, 0);
    EXPECT_EQ(qvctl({"reg", "set", key + "\\Sub", "", "sz", "x"}).exit_code, 0);
    qv::RunResult list = qvctl({"reg", "get", key});
    EXPECT_EQ(list.exit_code, 0) << list.err;
    EXPECT_EQ(list.out,
              "HKEY_CURRENT_USER\\Software\\QvTest\\Client\n"
              "  Count  REG_DWORD     0x0000001f (31)\n"
              "  Lines  REG_MULTI_SZ  \"a b\" \"c\\\\d\"\n"
              "  Sub\\\n");
    EXPECT_EQ(qvctl({"reg", "get", key, "Count"}).out, "Count  REG_DWORD  0x0000001f (31)\n");
    EXPECT_EQ(qvctl({"reg", "rm-value", key, "Count"}).exit_code, 0);
    qv::RunResult missing_value = qvctl({"reg", "rm-value", key, "Count"});
    EXPECT_EQ(missing_value.exit_code, 1);
    EXPECT_TRUE(contains(missing_value.err, "unable to delete value")) << missing_value.err;
    EXPECT_EQ(qvctl({"reg", "rm", key}).exit_code, 0);
    qv::RunResult gone = qvctl({"reg", "get", key});
    EXPECT_EQ(gone.exit_code, 1);
    EXPECT_EQ(gone.err, "qvctl: no such key: HKEY_CURRENT_USER\\Software\\QvTest\\Client (Win32 error 2)\n");
}

TEST(Client, RawRequestsAndBadUsage) {
    qv::RunResult dir = qvctl({"request", "getwindowsdir"});
    EXPECT_EQ(dir.exit_code, 0) << dir.err;
    EXPECT_EQ(dir.out, "C:\\windows\n");
    EXPECT_EQ(qvctl({"reg", "set", "HKCU\\Software\\QvTest\\Client", "x", "nosuchtype", "1"}).exit_code, 2);
    EXPECT_EQ(qvctl({"nosuchcommand"}).exit_code, 2);
}

// Every field of the JSON form shows in the readable form, line for line.
TEST(Client, JsonParsesAndMatchesTheReadableOutput) {
    const std::string key = "HKCU\\Software\\QvTest\\ClientJson";
    qvctl({"reg", "rm", key});
    ASSERT_EQ(qvctl({"reg", "set", key, "", "sz", "dëfault \"q\""}).exit_code, 0);
    ASSERT_EQ(qvctl({"reg", "set", key, "Path", "expand", "%SystemRoot%\\x"}).exit_code, 0);
    ASSERT_EQ(qvctl({"reg", "set", key, "N", "dword", "4294967295"}).exit_code, 0);
    ASSERT_EQ(qvctl({"reg", "set", key, "Blob", "binary", "00,7f,ff"}).exit_code, 0);
    ASSERT_EQ(qvctl({"reg", "set", key, "List", "multi", "one", "two words"}).exit_code, 0);
    ASSERT_EQ(qvctl({"reg", "set", key + "\\Child", "v", "sz", ""}).exit_code, 0);

    qv::RunResult human = qvctl({"reg", "get", key});
    qv::RunResult machine = qvctl({"reg", "get", key}, {"--prefix", qvtest::prefix(), "--json"});
    ASSERT_EQ(machine.exit_code, 0) << machine.err;
    json j = json::parse(machine.out);
    EXPECT_EQ(j["ok"], true);
    EXPECT_EQ(j["key"], "HKEY_CURRENT_USER\\Software\\QvTest\\ClientJson");
    std::vector<std::string> shown = lines(human.out);
    ASSERT_EQ(shown.size(), 1 + j["values"].size() + j["subkeys"].size()) << human.out;
    EXPECT_EQ(shown[0], j["key"]);
    std::map<std::string, std::string> expect_data = {
        {"", "dëfault \"q\""},
        {"Path", "%SystemRoot%\\x"},
        {"N", "0xffffffff (4294967295)"},
        {"Blob", "00 7f ff"},
        {"List", "\"one\" \"two words\""},
    };
    ASSERT_EQ(j["values"].size(), expect_data.size());
    for (size_t i = 0; i < j["values"].size(); i++) {
        const json& v = j["values"][i];
        std::string name = v["name"], line = shown[1 + i];
        SCOPED_TRACE(line);
        EXPECT_EQ(line.rfind("  " + (name.empty() ? std::string("(default)") : name) + " ", 0), 0u);
        EXPECT_TRUE(contains(line, " " + v["type"].get<std::string>() + " "));
        ASSERT_TRUE(expect_data.count(name));
        EXPECT_EQ(line.substr(line.size() - expect_data[name].size()), expect_data[name]);
    }
    const json* n = nullptr;
    for (const json& v : j["values"])
        if (v["name"] == "N")
            n = &v;
    ASSERT_TRUE(n);
    EXPECT_EQ((*n)["data"], 4294967295u);
    EXPECT_EQ((*n)["hex"], "ffffffff");
    EXPECT_EQ(j["subkeys"], json::array({"Child"}));
    EXPECT_EQ(shown.back(), "  Child\\");

    // Single answers: the JSON path is the readable line.
    for (std::vector<std::string> cmd : {std::vector<std::string>{"path", "unix", "C:\\windows\\ü x"},
                                         {"path", "windows", "/tmp"},
                                         {"folder", "appdata"},
                                         {"dir", "system"},
                                         {"dir", "windows"}}) {
        qv::RunResult h = qvctl(cmd), m = qvctl(cmd, {"--prefix", qvtest::prefix(), "--json"});
        ASSERT_EQ(h.exit_code, 0) << cmd[0] << " " << h.err;
        json p = json::parse(m.out);
        const json& answer = p.contains("paths") ? p["paths"][0] : p;
        EXPECT_EQ(answer["path"].get<std::string>() + "\n", h.out) << cmd[0];
    }
    qv::RunResult hf = qvctl({"find", "C:\\windows\\*", "--max", "6"});
    json jf = json::parse(qvctl({"find", "C:\\windows\\*", "--max", "6"}, {"--prefix", qvtest::prefix(), "--json"}).out);
    std::vector<std::string> found = lines(hf.out);
    ASSERT_EQ(found.size(), jf["entries"].size());
    ASSERT_EQ(found.size(), 6u);
    for (size_t i = 0; i < found.size(); i++)
        EXPECT_EQ(found[i], (jf["entries"][i]["directory"] ? "dir  " : "file ") +
                                jf["entries"][i]["name"].get<std::string>());
    // Failures come as JSON too, with the exit code.
    qv::RunResult bad = qvctl({"reg", "get", key + "\\Nope"}, {"--prefix", qvtest::prefix(), "--json"});
    EXPECT_EQ(bad.exit_code, 1);
    json e = json::parse(bad.out);
    EXPECT_EQ(e["ok"], false);
    EXPECT_EQ(e["exit"], 1);
    EXPECT_TRUE(contains(e["error"]["message"], "no such key"));
    EXPECT_EQ(e["error"]["code"], 2);
    qvctl({"reg", "rm", key});
}

TEST(Client, DrivesListFromThePrefixAndAddAndRemove) {
    std::string dir = clienttest::scratch("drive");
    mkdir(dir.c_str(), 0755);
    char* real = realpath(dir.c_str(), nullptr);
    std::string abs = real;
    free(real);
    qv::RunResult add = qvctl({"drive", "add", abs});
    ASSERT_EQ(add.exit_code, 0) << add.err;
    ASSERT_EQ(add.out.size(), 3u) << add.out;  // "X:\n"
    std::string letter = add.out.substr(0, 1);
    qv::RunResult again = qvctl({"drive", "add", abs});
    EXPECT_EQ(again.out, letter + ": (already mapped to " + abs + ")\n");
    json list = json::parse(qvctl({"drive", "list"}, {"--prefix", qvtest::prefix(), "--json"}).out);
    bool listed = false;
    for (const json& d : list["drives"])
        listed |= d["letter"] == letter && d["target"] == abs;
    EXPECT_TRUE(listed) << list.dump();
    EXPECT_TRUE(contains(qvctl({"drive", "list"}).out, letter + ":  " + abs + "\n"));
    EXPECT_EQ(qvctl({"drive", "rm", letter + ":"}).exit_code, 0);
    EXPECT_FALSE(contains(qvctl({"drive", "list"}).out, abs));
    EXPECT_EQ(qvctl({"drive", "rm", "DD"}).exit_code, 2);
    EXPECT_EQ(qvctl({"drive", "add", abs + "/missing"}).exit_code, 2);
    rmdir(dir.c_str());
}

TEST(Client, AMissingEnvironmentGetsClearErrors) {
    // A missing prefix is never made: Wine would create one silently.
    std::string none = clienttest::scratch("no-prefix");
    qv::RunResult r = qvctl({"dir", "windows"}, {"--prefix", none});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_TRUE(contains(r.err, "no Wine prefix at " + none)) << r.err;
    EXPECT_NE(access(none.c_str(), F_OK), 0);
    mkdir(none.c_str(), 0755);
    r = qvctl({"reg", "get", "HKCU\\Software"}, {"--prefix", none});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_TRUE(contains(r.err, "no system.reg")) << r.err;
    EXPECT_NE(access((none + "/system.reg").c_str(), F_OK), 0);
    rmdir(none.c_str());
    r = qvctl({"dir", "windows"}, {"--prefix", qvtest::prefix(), "--wine", "/nonexistent/wine64"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_TRUE(contains(r.err, "no Wine loader at /nonexistent/wine64")) << r.err;
    r = qvctl({"dir", "windows"}, {"--prefix", qvtest::prefix(), "--wine", "/bin/false"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_TRUE(contains(r.err, "the server did not start")) << r.err;
    // The default prefix is WINEPREFIX, then ~/.wine.
    qv::LaunchOptions o;
    o.wine = QV_QVCTL;
    o.exe = "dir";
    o.args = {"windows"};
    o.env = {{"WINEPREFIX", ""}, {"HOME", none}};
    qv::RunResult home = qv::run_program(o, qv::Millis(60000)).value;
    EXPECT_EQ(home.exit_code, 3);
    EXPECT_TRUE(contains(home.err, "no Wine prefix at " + none + "/.wine")) << home.err;
    o.env = {{"WINEPREFIX", qvtest::prefix()}};
    EXPECT_EQ(qv::run_program(o, qvtest::patience(qv::Millis(120000))).value.out, "C:\\windows\n");
}

TEST(Client, EveryCommandHasHelp) {
    for (std::vector<std::string> cmd :
         {std::vector<std::string>{"reg"}, {"reg", "get"}, {"reg", "set"}, {"reg", "rm"}, {"reg", "rm-value"},
          {"reg", "export"}, {"reg", "import"}, {"path"}, {"drive"}, {"find"}, {"folder"}, {"dir"},
          {"printer"}, {"batch"}}) {
        std::string name = cmd.size() > 1 ? cmd[0] + " " + cmd[1] : cmd[0];
        cmd.push_back("--help");
        // Help needs no prefix at all.
        qv::RunResult r = qvctl(cmd, {"--prefix", "/nonexistent"});
        EXPECT_EQ(r.exit_code, 0) << name;
        EXPECT_EQ(r.out.rfind("usage: qvctl " + name, 0), 0u) << r.out;
        EXPECT_TRUE(contains(r.out, "Exit codes: 0")) << name;
    }
    qv::RunResult top = qvctl({"--help"}, {"--prefix", "/nonexistent"});
    EXPECT_EQ(top.exit_code, 0);
    for (const char* word : {"reg get", "reg export", "path unix", "drive list", "batch", "--json", "WINEPREFIX"})
        EXPECT_TRUE(contains(top.out, word)) << word;
}

TEST(Client, BatchAnswersEveryLineThroughOneServer) {
    // A loader that counts its starts, then runs the real one.
    std::string counter = clienttest::scratch("starts"), loader = clienttest::scratch("loader.sh");
    unlink(counter.c_str());
    clienttest::write_file(loader, "#!/bin/sh\necho start >> '" + counter + "'\nexec " + qv::default_wine_loader() +
                                       " \"$@\"\n");
    chmod(loader.c_str(), 0755);
    const std::string key = "HKCU\\Software\\QvTest\\ClientBatch";
    std::string script = clienttest::scratch("batch.txt");
    clienttest::write_file(script,
                           "# set up\n"
                           "reg set " + key + " Name sz 'two words'\n"
                           "reg set \"" + key + "\" Count dword 7\n"
                           "\n"
                           "reg get " + key + " Name\n"
                           "reg get HKXX\\nope\n"
                           "folder nosuchfolderorvariable\n"
                           "reg get " + key + " Count\n"
                           "reg rm " + key + "\n");
    std::vector<std::string> global = {"--prefix", qvtest::prefix(), "--wine", loader};
    qv::RunResult r = qvctl({"batch", script}, global);
    EXPECT_EQ(r.exit_code, 2) << r.err;  // the worst line: a usage error
    EXPECT_EQ(r.out, "Name  REG_SZ  two words\nCount  REG_DWORD  0x00000007 (7)\n");
    EXPECT_TRUE(contains(r.err, "line 6: reg get: bad registry path")) << r.err;
    EXPECT_TRUE(contains(r.err, "line 7: folder: no folder is called")) << r.err;
    EXPECT_EQ(clienttest::read_file(counter), "start\n");

    global.push_back("--json");
    unlink(counter.c_str());
    r = qvctl({"batch", script, "--stop-on-error"}, global);
    EXPECT_EQ(r.exit_code, 2);
    std::vector<std::string> out = lines(r.out);
    ASSERT_EQ(out.size(), 4u) << r.out;  // lines 2, 3, 5, 6: it stops at the first failure
    std::vector<int> numbers;
    for (const std::string& l : out)
        numbers.push_back(json::parse(l)["line"]);
    EXPECT_EQ(numbers, (std::vector<int>{2, 3, 5, 6}));
    EXPECT_EQ(json::parse(out[2])["value"]["data"], "two words");
    json failure = json::parse(out[3]);
    EXPECT_EQ(failure["ok"], false);
    EXPECT_EQ(failure["exit"], 2);
    EXPECT_EQ(clienttest::read_file(counter), "start\n");
    qvctl({"reg", "rm", key});
    unlink(counter.c_str());
    unlink(loader.c_str());
    unlink(script.c_str());
}

}  // namespace
