// qvctl tried as a new user tries it beside Wine's own tools: the prefix
// stays usable, errors come in words with one exit-code rule, options and
// commands behave alike, and text output cannot be misread.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "client_support.h"
#include "qv/text.h"
#include "registry_support.h"

namespace {

using clienttest::lines;
using clienttest::qvctl;
using nlohmann::json;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::vector<std::string> with_json() { return {"--prefix", qvtest::prefix(), "--json"}; }

std::string real(const std::string& path) {
    char* r = realpath(path.c_str(), nullptr);
    std::string out = r ? r : "";
    free(r);
    return out;
}

TEST(ClientCli, NeverBreaksThePrefixsSystemDrive) {
    const std::string c = qvtest::prefix() + "/dosdevices/c:";
    for (const char* letter : {"C", "c:"}) {
        qv::RunResult r = qvctl({"drive", "rm", letter});
        EXPECT_EQ(r.exit_code, 1) << r.err;
        EXPECT_TRUE(contains(r.err, "refusing to remove C:")) << r.err;
        EXPECT_TRUE(contains(r.err, "--force")) << r.err;
    }
    // Any other letter for the prefix's own drive_c is refused as well.
    const std::string q = qvtest::prefix() + "/dosdevices/q:";
    unlink(q.c_str());
    ASSERT_EQ(symlink("../drive_c", q.c_str()), 0);
    qv::RunResult r = qvctl({"drive", "rm", "Q"}, with_json());
    EXPECT_EQ(r.exit_code, 1);
    json j = json::parse(r.out);
    EXPECT_EQ(j["error"]["kind"], "failed");
    EXPECT_TRUE(contains(j["error"]["message"], "drive_c")) << r.out;
    struct stat st;
    EXPECT_EQ(lstat(q.c_str(), &st), 0);
    r = qvctl({"drive", "rm", "Q", "--force"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(lstat(q.c_str(), &st), 0);
    // The prefix still answers.
    EXPECT_EQ(lstat(c.c_str(), &st), 0);
    EXPECT_EQ(qvctl({"dir", "windows"}).out, "C:\\windows\n");

    // A prefix without C: is named as such, with how to put it back.
    std::string broken = clienttest::scratch("no-c");
    mkdir(broken.c_str(), 0755);
    mkdir((broken + "/dosdevices").c_str(), 0755);
    clienttest::write_file(broken + "/system.reg", "WINE REGISTRY Version 2\n");
    r = qvctl({"dir", "windows"}, {"--prefix", broken});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_TRUE(contains(r.err, "has no C: drive")) << r.err;
    EXPECT_TRUE(contains(r.err, "ln -sfn ../drive_c '" + broken + "/dosdevices/c:'")) << r.err;
    r = qvctl({"drive", "list"}, {"--prefix", broken});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "C: is missing")) << r.out;
    unlink((broken + "/system.reg").c_str());
    rmdir((broken + "/dosdevices").c_str());
    rmdir(broken.c_str());
}

TEST(ClientCli, OneFolderMapsToOneLetterHoweverItIsSpelled) {
    std::string dir = clienttest::scratch("one-dir");
    mkdir(dir.c_str(), 0755);
    std::string abs = real(dir);
    qv::RunResult first = qvctl({"drive", "add", abs});
    ASSERT_EQ(first.exit_code, 0) << first.err;
    std::string letter = first.out.substr(0, 1);
    for (const std::string& spelling : {abs + "/", abs + "//", abs + "/."}) {
        qv::RunResult again = qvctl({"drive", "add", spelling}, with_json());
        EXPECT_EQ(again.exit_code, 0) << again.err;
        json j = json::parse(again.out);
        EXPECT_EQ(j["letter"], letter) << spelling;
        EXPECT_EQ(j["new"], false) << spelling;
    }
    qv::RunResult said = qvctl({"drive", "add", abs + "/"});
    EXPECT_EQ(said.out, letter + ": (already mapped to " + abs + ")\n");
    int links = 0;
    std::string listed = qvctl({"drive", "list"}, with_json()).out;
    json drives = json::parse(listed)["drives"];
    for (const json& d : drives)
        links += d["target"] == abs || d["target"] == abs + "/";
    EXPECT_EQ(links, 1) << listed;
    EXPECT_EQ(qvctl({"drive", "rm", letter}).exit_code, 0);
    rmdir(dir.c_str());
}

TEST(ClientCli, OneExitCodeRuleAndMessagesInWords) {
    std::string somedir = clienttest::scratch("somedir");
    mkdir(somedir.c_str(), 0755);
    // kind: the JSON error's, which tells what qvctl refused before sending
    // (usage, refused: exit 2) from what failed or was declined (exit 1).
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string says, kind;
    };
    const std::vector<Case> cases = {
        {{"drive", "rm", "1"}, 2, "\"1\" is not a drive", "usage"},
        {{"drive", "rm", "P"}, 1, "no such drive letter is defined (Win32 error 433)", "win32"},
        {{"drive", "rm", "Z"}, 1, "B: to Y: only", "failed"},
        {{"path", "unix", "a\nb"}, 2, "holds a line feed", "usage"},
        {{"path", "unix", ""}, 2, "path unix: an empty path", "usage"},
        {{"path", "dos", "x"}, 2, "unix or windows", "usage"},
        {{"reg", "import", somedir}, 2, somedir + " is a directory", "usage"},
        {{"reg", "import", "/nonexistent/file.reg"}, 2, "cannot read", "usage"},
        {{"reg", "set", "HKCU\\Software\\QvTest\\Cli", "v", "sz", "a\xff"}, 2, "not UTF-8", "usage"},
        {{"reg", "set", "HKCU\\Software\\QvTest\\Bad", "v", "dword", "1f"}, 2, "decimal number or 0x", "usage"},
        {{"reg", "set", "HKCU\\Software\\QvTest\\Bad", "v", "dword", "0x100000000"}, 2, "32 bits", "usage"},
        {{"reg", "set", "HKCU\\Software\\QvTest\\Bad", "v", "binary", "0g"}, 2, "hex", "usage"},
        {{"reg", "set", "HKCU\\Software\\QvTest\\Bad", "v", "sz"}, 2, "exactly one DATA", "usage"},
        {{"reg", "set", "HKCU\\Software\\QvTest\\Bad", "--default"}, 2, "missing arguments", "usage"},
        {{"reg", "rm-value", "HKCU\\Software\\QvTest\\Bad", "v", "--default"}, 2, "too many", "usage"},
        {{"reg", "get", "HKCC\\Software"}, 2, "HKCC", "usage"},
        {{"reg", "get", "Software\\x"}, 2, "not a registry root", "usage"},
        {{"reg", "get"}, 2, "usage: qvctl reg get", "usage"},
        {{"reg", "get", "HKCU\\Software", "a", "b"}, 2, "too many", "usage"},
        {{"reg", "get", "HKCU\\Software", "a", "--default"}, 2, "too many", "usage"},
        {{"reg", "rm", "HKCU"}, 2, "root key", "usage"},
        {{"reg", "frob"}, 2, "unknown command frob", "usage"},
        {{"reg", "get", "HKCU\\Software\\QvTest\\NoSuchKeyHere"}, 1, "no such key", "win32"},
        {{"request", "bogus"}, 2, "no request \"bogus\"", "usage"},
        {{"folder", "nosuchfolder"}, 2, "qvctl folder --help lists them", "usage"},
        {{"find", "C:\\nosuchdir\\*"}, 1, "a folder on the way does not exist (Win32 error 3)", "win32"},
        {{"find", "C:\\*", "--max", "0"}, 2, "positive", "usage"},
        {{"find", "C:\\*", "--depth", "1"}, 2, "unknown option --depth", "usage"},
        {{"printer", "add", "NoId"}, 2, "NAME,ID", "usage"},
        {{"reg", "get", "HKCU\\Software\\QvTest\\NoSuchKeyHere", "v"}, 1, "no such key", "win32"},
    };
    for (const Case& c : cases) {
        qv::RunResult r = qvctl(c.args);
        EXPECT_EQ(r.exit_code, c.code) << c.args[0] << " " << c.args.back() << ": " << r.err;
        EXPECT_TRUE(contains(r.err, c.says)) << r.err;
        EXPECT_EQ(r.out, "") << c.args[0];
        EXPECT_FALSE(contains(r.err, "errno")) << r.err;
        EXPECT_FALSE(contains(r.err, "basic_filebuf")) << r.err;
        EXPECT_NE(r.err, "qvctl: error\n");
        // The same failure as JSON: the error object carries kind, words and code.
        qv::RunResult j = qvctl(c.args, with_json());
        EXPECT_EQ(j.exit_code, c.code);
        json e = json::parse(j.out);
        EXPECT_EQ(e["exit"], c.code);
        EXPECT_EQ(e["error"]["kind"], c.kind) << j.out;
        EXPECT_TRUE(contains(e["error"]["message"], c.says)) << j.out;
    }
    // Nothing was created under the refused names.
    regtest::Checker checker;
    EXPECT_FALSE(checker.exists("HKCU\\Software\\QvTest\\Bad", "64"));
    json e = json::parse(qvctl({"drive", "rm", "P"}, with_json()).out);
    EXPECT_EQ(e["error"]["code"], 433);
    EXPECT_EQ(e["error"]["kind"], "win32");
    rmdir(somedir.c_str());
}

TEST(ClientCli, ExportOfAKeyWineCannotEnumerateIsAWarning) {
    const std::string key = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    std::string file = clienttest::scratch("cv.reg");
    qv::RunResult r = qvctl({"reg", "export", key, file});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "warning")) << r.err;
    qv::RunResult j = qvctl({"reg", "export", key, file}, with_json());
    EXPECT_EQ(j.exit_code, 0) << j.err;
    EXPECT_FALSE(json::parse(j.out)["warnings"].empty());
    // Without a file: UTF-8 text on standard output.
    qv::RunResult out = qvctl({"reg", "export", key});
    EXPECT_EQ(out.exit_code, 0);
    EXPECT_EQ(out.out.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u) << out.out.substr(0, 40);
    EXPECT_TRUE(contains(out.out, "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion]"));
    unlink(file.c_str());
}

TEST(ClientCli, OptionsStandAnywhereAndTakeTheirValueEitherWay) {
    qv::RunResult a = qvctl({"dir", "windows", "--json", "--prefix=" + qvtest::prefix()}, {"--wine=" + qv::default_wine_loader()});
    EXPECT_EQ(a.exit_code, 0) << a.err;
    EXPECT_EQ(json::parse(a.out)["path"], "C:\\windows");
    qv::RunResult f = qvctl({"find", "C:\\windows\\*", "--max=2"});
    EXPECT_EQ(lines(f.out).size(), 2u) << f.out << f.err;
    qv::RunResult v = qvctl({"--version"}, {"--prefix", "/nonexistent"});
    EXPECT_EQ(v.exit_code, 0);
    EXPECT_EQ(v.out.rfind("qvctl ", 0), 0u);
    EXPECT_TRUE(contains(v.out, "schema version 2")) << v.out;
    // "dir" is a command, not the prefix the user forgot to name.
    qv::RunResult misread = qvctl({"--prefix", "dir", "windows"}, {"--json"});
    EXPECT_EQ(misread.exit_code, 2);
    EXPECT_TRUE(contains(misread.err, "\"dir\" is a command")) << misread.err;
    // Help never needs the server, wherever --help stands.
    for (std::vector<std::string> args : {std::vector<std::string>{"request", "getregkey", "--help"},
                                          {"--help", "reg", "get"},
                                          {"help", "drive", "rm"},
                                          {"demo", "--help"}}) {
        qv::RunResult h = qvctl(args, {"--prefix", "/nonexistent"});
        EXPECT_EQ(h.exit_code, 0) << args[0] << h.err;
        EXPECT_EQ(h.out.rfind("usage: qvctl ", 0), 0u) << h.out;
    }
}

TEST(ClientCli, RawRequestsSayWhereEachAnswerEnds) {
    qv::RunResult bad = qvctl({"request", "rmdrive", "A"});
    EXPECT_EQ(bad.exit_code, 1);
    EXPECT_TRUE(contains(bad.err, "invalid drive letter")) << bad.err;
    std::string input = clienttest::scratch("raw.txt");
    clienttest::write_file(input, "getwindowsdir\nfindfiles 2 C:\\windows\\*\nhelp\ngetregkey HKCU\\NoSuch\\Key\n");
    qv::LaunchOptions o;
    o.wine = "/bin/sh";
    o.exe = "-c";
    o.args = {std::string(QV_QVCTL) + " --prefix '" + qvtest::prefix() + "' < '" + input + "'"};
    qv::RunResult text = qv::run_program(o, qvtest::patience(qv::Millis(120000))).value;
    EXPECT_EQ(text.exit_code, 0) << text.err;
    std::vector<std::string> out = lines(text.out);
    ASSERT_EQ(out.size(), 4u) << text.out;  // one line per answer, the help line included
    EXPECT_EQ(out[0], "C:\\\\windows");  // escaped: a backslash shows doubled
    EXPECT_TRUE(contains(out[1], "\\n")) << out[1];
    EXPECT_EQ(out[3], "errno 2");
    o.args = {std::string(QV_QVCTL) + " --json --prefix '" + qvtest::prefix() + "' < '" + input + "'"};
    qv::RunResult js = qv::run_program(o, qvtest::patience(qv::Millis(120000))).value;
    clienttest::expect_schema_valid(js.out);
    std::vector<std::string> jl = lines(js.out);
    ASSERT_EQ(jl.size(), 3u) << js.out;
    EXPECT_EQ(json::parse(jl[0])["answer"], "C:\\windows");
    EXPECT_EQ(json::parse(jl[2])["ok"], false);
    EXPECT_EQ(json::parse(jl[2])["error"]["code"], 2);
    // As the server does, a last line without its LF is not run; nor is a
    // line the server would cut at a raw NUL. Both are said.
    const std::string key = "HKCU\\Software\\QvRawKept";
    ASSERT_EQ(qvctl({"reg", "set", key, "Kept", "sz", "1"}).exit_code, 0);
    for (const std::string& raw : {"rmregtree " + key + '\0' + "\\Sub\n", "getwindowsdir\nrmregtree " + key}) {
        clienttest::write_file(input, raw);
        o.args = {std::string(QV_QVCTL) + " --prefix '" + qvtest::prefix() + "' < '" + input + "'"};
        qv::RunResult r = qv::run_program(o, qvtest::patience(qv::Millis(120000))).value;
        EXPECT_EQ(r.exit_code, 2) << r.err;
        EXPECT_TRUE(contains(r.err, "raw NUL") || contains(r.err, "no line feed at its end")) << r.err;
        EXPECT_EQ(qvctl({"reg", "get", key, "Kept"}).exit_code, 0) << "deleted by: " << qv::visible(raw);
    }
    qvctl({"reg", "rm", key});
    unlink(input.c_str());
}

TEST(ClientCli, FoldersByKeywordAndVariablesByName) {
    qv::RunResult lower = qvctl({"folder", "programfiles"}), mixed = qvctl({"folder", "ProgramFiles"});
    EXPECT_EQ(lower.exit_code, 0) << lower.err;
    EXPECT_EQ(lower.out, mixed.out);
    // The keyword "temp" is the temporary folder; the variable TEMP its own value.
    qv::RunResult folder = qvctl({"folder", "temp"}), env = qvctl({"env", "temp"});
    EXPECT_EQ(env.exit_code, 0) << env.err;
    EXPECT_EQ(folder.out.substr(folder.out.size() - 2), "\\\n");
    EXPECT_EQ(env.out + "", folder.out.substr(0, folder.out.size() - 2) + "\n");
    EXPECT_EQ(qvctl({"env", "SystemRoot"}).out, "C:\\windows\n");
    EXPECT_EQ(qvctl({"env", "NoSuchVariableHere"}).exit_code, 1);
    // Any text, one request: what `cmd /c echo` prints.
    EXPECT_EQ(qvctl({"expand", "%SystemRoot%\\x %NoSuchVariableHere% 100%"}).out,
              "C:\\windows\\x %NoSuchVariableHere% 100%\n");
    EXPECT_EQ(qvctl({"expand", "a\xff"}).exit_code, 2);
    qv::RunResult help = qvctl({"folder", "--help"});
    for (const char* name : {"appdata", "winsysdir64", "programs", "accessories", "a name, not a path"})
        EXPECT_TRUE(contains(help.out, name)) << name;
    EXPECT_EQ(qvctl({"folder", "programs"}).out, "Programs\n");
}

TEST(ClientCli, BatchLinesWithWindowsPathsEndingInABackslash) {
    std::string script = clienttest::scratch("batch.txt");
    clienttest::write_file(script, "path unix C:\\windows\\\r\npath unix C:\\windows\\ C:\\windows\\system32\\\n");
    qv::RunResult r = qvctl({"batch", script});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> out = lines(r.out);
    ASSERT_EQ(out.size(), 3u) << r.out;
    EXPECT_EQ(out[0], qvtest::prefix() + "/dosdevices/c:/windows/");
    EXPECT_EQ(out[0], out[1]);
    EXPECT_EQ(out[2], out[0] + "system32/");
    qv::RunResult js = qvctl({"batch", script}, with_json());
    EXPECT_EQ(lines(js.out).size(), 2u);
    unlink(script.c_str());
}

TEST(ClientCli, TextOutputCannotBeMisread) {
    const std::string key = "HKCU\\Software\\QvTest\\CliText";
    qvctl({"reg", "rm", key});
    ASSERT_EQ(qvctl({"reg", "set", key, "lf", "sz", "a\nb"}).exit_code, 0);
    ASSERT_EQ(qvctl({"reg", "set", key, "backslash-n", "sz", "a\\nb"}).exit_code, 0);
    ASSERT_EQ(qvctl({"reg", "set", key, "--default", "sz", "the default"}).exit_code, 0);
    ASSERT_EQ(qvctl({"reg", "set", key, "(default)", "sz", "a name"}).exit_code, 0);
    ASSERT_EQ(qvctl({"reg", "set", key, "multi", "multi", "a\" \"b", "c"}).exit_code, 0);
    qv::RunResult r = qvctl({"reg", "get", key});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> out = lines(r.out);
    auto line_of = [&](const std::string& start) {
        for (const std::string& l : out)
            if (l.rfind(start, 0) == 0)
                return l;
        return std::string();
    };
    std::string lf = line_of("  lf "), bn = line_of("  backslash-n "), multi = line_of("  multi ");
    EXPECT_NE(lf.substr(lf.find("REG_SZ")), bn.substr(bn.find("REG_SZ"))) << r.out;
    EXPECT_TRUE(contains(lf, "\"a\\nb\"")) << lf;
    EXPECT_TRUE(contains(bn, "a\\nb") && !contains(bn, "\"")) << bn;
    EXPECT_TRUE(contains(line_of("  (default) "), "the default")) << r.out;
    EXPECT_TRUE(contains(line_of("  \"(default)\" "), "a name")) << r.out;
    EXPECT_TRUE(contains(multi, "\"a\\\" \\\"b\" \"c\"")) << multi;
    // Data alone, and the default value named by its flag.
    EXPECT_EQ(qvctl({"reg", "get", key, "--default", "--data"}).out, "the default\n");
    EXPECT_EQ(qvctl({"reg", "get", key, "lf", "--data"}).out, "a\nb\n");
    EXPECT_EQ(qvctl({"reg", "rm-value", key, "--default"}).exit_code, 0);
    EXPECT_EQ(qvctl({"reg", "get", key, "--default"}).exit_code, 1);
    EXPECT_EQ(qvctl({"reg", "get", key, "(default)", "--data"}).out, "a name\n");
    qvctl({"reg", "rm", key});
}

TEST(ClientCli, RegistryCommandsUsersOfWinesToolsMiss) {
    const std::string key = "HKCU\\Software\\QvTest\\CliMore";
    qvctl({"reg", "rm", key});
    // A QWORD beyond 2^53 keeps every digit, in text and in JSON.
    ASSERT_EQ(qvctl({"reg", "set", key, "big", "qword", "18446744073709551557"}).exit_code, 0);
    ASSERT_EQ(qvctl({"reg", "set", key, "nothing", "none"}).exit_code, 0);
    ASSERT_EQ(qvctl({"reg", "set", key + "\\Sub", "leaf", "dword", "7"}).exit_code, 0);
    qv::RunResult big = qvctl({"reg", "get", key, "big"}, with_json());
    EXPECT_TRUE(contains(big.out, "\"data\":\"18446744073709551557\"")) << big.out;
    EXPECT_EQ(qvctl({"reg", "get", key, "big", "--data"}).out, "18446744073709551557\n");
    json none = json::parse(qvctl({"reg", "get", key, "nothing"}, with_json()).out);
    EXPECT_EQ(none["value"]["type"], "REG_NONE");
    EXPECT_EQ(none["value"]["hex"], "");
    regtest::Checker checker;
    EXPECT_EQ(checker.query(key, "big", "64"), "11 c5ffffffffffffff");

    // Recursive listing.
    qv::RunResult all = qvctl({"reg", "get", key, "-s"});
    EXPECT_EQ(all.exit_code, 0) << all.err;
    EXPECT_TRUE(contains(all.out, "HKEY_CURRENT_USER\\Software\\QvTest\\CliMore\\Sub\n  leaf  REG_DWORD  0x00000007 (7)\n"))
        << all.out;
    json alls = json::parse(qvctl({"reg", "get", key, "-s"}, with_json()).out);
    EXPECT_EQ(alls["keys"].size(), 2u);
    EXPECT_EQ(qvctl({"reg", "get", key, "leaf", "-s", "--data"}).out, "7\n");

    // 400 KB of binary data from a file and from standard input.
    std::string blob;
    for (size_t i = 0; i < 400 * 1024; i++)
        blob += static_cast<char>((i * 7919) >> 3);
    std::string file = clienttest::scratch("blob.bin");
    clienttest::write_file(file, blob);
    qv::RunResult set = qvctl({"reg", "set", key, "blob", "binary", "--data-file", file});
    ASSERT_EQ(set.exit_code, 0) << set.err;
    qv::LaunchOptions o;
    o.wine = "/bin/sh";
    o.exe = "-c";
    o.args = {std::string(QV_QVCTL) + " --prefix '" + qvtest::prefix() + "' reg set '" + key +
              "' blob2 binary --data-file - < '" + file + "'"};
    qv::RunResult piped = qv::run_program(o, qvtest::patience(qv::Millis(120000))).value;
    ASSERT_EQ(piped.exit_code, 0) << piped.err;
    qv::RunResult back = qvctl({"reg", "get", key, "blob2", "--data"});
    EXPECT_EQ(back.out, qv::to_hex(blob) + "\n");

    // --32 on every registry command.
    const std::string k32 = "HKLM\\Software\\QvTest\\Cli32";
    EXPECT_EQ(qvctl({"reg", "set", k32, "v", "sz", "32-bit", "--32"}).exit_code, 0);
    EXPECT_TRUE(checker.exists(k32, "32"));
    EXPECT_FALSE(checker.exists(k32, "64"));
    EXPECT_EQ(qvctl({"reg", "get", k32, "v", "--data", "--32"}).out, "32-bit\n");
    EXPECT_EQ(qvctl({"reg", "get", k32, "v"}).exit_code, 1);
    EXPECT_EQ(qvctl({"reg", "export", k32, "--32"}).exit_code, 0);
    EXPECT_EQ(qvctl({"reg", "rm-value", k32, "v", "--32"}).exit_code, 0);
    EXPECT_EQ(qvctl({"reg", "rm", k32, "--32"}).exit_code, 0);
    EXPECT_FALSE(checker.exists(k32, "32"));

    // Several paths in one call, as winepath takes them.
    qv::RunResult paths = qvctl({"path", "unix", "C:\\windows", "C:\\users"});
    EXPECT_EQ(lines(paths.out).size(), 2u) << paths.out;
    json pj = json::parse(qvctl({"path", "windows", "/tmp", "/"}, with_json()).out);
    EXPECT_EQ(pj["paths"].size(), 2u);
    unlink(file.c_str());
    qvctl({"reg", "rm", key});
}

}  // namespace
