// "getsystemdir", "getwindowsdir", "getexpandedstr" and "expandstr" against
// what the prefix really has: its registry files, its drive_c, and what
// Wine's own cmd expands.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "files_support.h"
#include "qv/escape.h"

namespace {

using qvtest::reg_file_string;

const std::string kShellFolders = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const std::string kCurrentVersion = "Software\\Microsoft\\Windows\\CurrentVersion";

std::string reg(const std::string& file, const std::string& key, const std::string& name) {
    return reg_file_string(file, key, name).value_or("<no " + key + "\\" + name + " in " + file + ">");
}

// What the server answers for a folder keyword, or `none` when it has no answer.
std::string folder(qv::Server& server, const std::string& name, const std::string& none) {
    qv::Result<std::string> f = qv::expanded_string(server, name);
    return f ? *f : none;
}

// The folder exists in the prefix as a directory.
void expect_folder_exists(qv::Server& server, const std::string& windows_path) {
    qv::Result<std::string> mapped = qv::unix_path(server, windows_path);
    ASSERT_TRUE(mapped) << windows_path;
    EXPECT_TRUE(qvtest::is_dir(*mapped)) << windows_path << " -> " << *mapped;
}

TEST(Folders, SystemAndWindowsDirectoriesAreThePrefixs) {
    qv::Server server = qvtest::start_server();
    qv::Result<std::string> windows = qv::windows_dir(server), system = qv::system_dir(server);
    ASSERT_TRUE(windows && system);
    EXPECT_EQ(*windows, reg("system.reg", "Software\\Microsoft\\Windows NT\\CurrentVersion", "SystemRoot"));
    EXPECT_EQ(*system, *windows + "\\system32");
    EXPECT_EQ(qvtest::real_path(*qv::unix_path(server, *system)),
              qvtest::real_path(qvtest::prefix() + "/drive_c/windows/" + qvtest::server_system_folder()));
    // The argument is ignored.
    EXPECT_EQ(server.request("getsystemdir", "anything at all"), *system);
    EXPECT_EQ(server.quit(), 0);
}

TEST(Folders, EveryKeywordAnswersThePrefixsFolder) {
    qv::Server server = qvtest::start_server();
    const std::string windows = *qv::windows_dir(server);
    const std::string profile = reg("system.reg",
                                    "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\S-1-5-21-0-0-0-1000",
                                    "ProfileImagePath");
    const std::string temp = reg("user.reg", "Environment", "TEMP");
    struct Case {
        std::string keyword, folder;
    } cases[] = {
        {"appdata", reg("user.reg", kShellFolders, "AppData")},
        {"desktop", reg("user.reg", kShellFolders, "Desktop")},
        {"localappdata", reg("user.reg", kShellFolders, "Local AppData")},
        {"programfiles", reg("system.reg", kCurrentVersion, "ProgramFilesDir (x86)")},
        // A 32-bit program is shown the 32-bit folder for both.
        {"programfiles64",
         reg("system.reg", kCurrentVersion, qvtest::testing_32bit_build() ? "ProgramFilesDir (x86)" : "ProgramFilesDir")},
        {"startmenu", reg("user.reg", kShellFolders, "Start Menu")},
        {"systemroot", windows},
        {"temp", temp + "\\"},  // as GetTempPathW gives it, with its '\'
        {"userprofile", profile},
        {"windir", windows},
        {"winsysdir", windows + "\\syswow64"},  // the 32-bit system folder, seen from a 64-bit process
        {"winsysdir64", *qv::system_dir(server)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(folder(server, c.keyword, "<empty>"), c.folder) << c.keyword;
        expect_folder_exists(server, c.folder);
    }
    // Start menu's programs folder: its last component.
    std::string programs = reg("user.reg", kShellFolders, "Programs");
    EXPECT_EQ(folder(server, "programs", "<empty>"),
              programs.substr(programs.rfind('\\') + 1));
    EXPECT_EQ(folder(server, "programs", ""), "Programs");
    EXPECT_EQ(folder(server, "accessories", ""), "Programs\\Accessories");
    EXPECT_EQ(server.quit(), 0);
}

TEST(Folders, AccessoriesInFrenchUnderAFrenchLocale) {
    // LC_ALL switches Wine's UI language here; LANG alone does not when
    // LC_ALL is unset and the locale is not generated (measured).
    qv::LaunchOptions options = qvtest::options_for(qvtest::program("qvmanip.exe"));
    options.env = {{"LC_ALL", "fr_FR.UTF-8"}};
    qv::Server server = qvtest::start_server(options);
    EXPECT_EQ(server.request("getexpandedstr", "programs"), "Programmes");
    EXPECT_EQ(server.request("getexpandedstr", "accessories"), "Programmes\\Accessoires");
    EXPECT_EQ(server.quit(), 0);
}

TEST(Folders, OtherNamesComeFromTheEnvironment) {
    qv::LaunchOptions options = qvtest::options_for(qvtest::program("qvmanip.exe"));
    const std::string v259(259, 'v'), v260(260, 'w'), v261(261, 'x');
    options.env = {{"QV_259", v259}, {"QV_260", v260}, {"QV_261", v261}, {"QV_LF", "a\nend\nb"},
                   {"QV_PLAIN", "some value"}, {"QV_ACCENT", "\xc3\xa9"}};
    qv::Server server = qvtest::start_server(options);
    EXPECT_EQ(server.request("getexpandedstr", "QV_259"), v259);
    EXPECT_EQ(server.request("getexpandedstr", "QV_260"), "");
    EXPECT_EQ(server.request("getexpandedstr", "QV_261"), "");
    EXPECT_EQ(server.request("getexpandedstr", "QV_PLAIN"), "some value");
    EXPECT_EQ(server.request("getexpandedstr", "qv_plain"), "some value");  // names are case-blind
    EXPECT_EQ(server.request("getexpandedstr", "QV_UNSET"), "");
    EXPECT_EQ(server.request("getexpandedstr"), "");
    // No variable has a name this long (Wine faulted on names of 32,767 to 65,535).
    for (size_t n : {32767, 40000, 65535, 70000})
        EXPECT_EQ(server.request("getexpandedstr", std::string(n, 'p')), "") << n;
    EXPECT_EQ(server.request("getexpandedstr", "QV_PLAIN"), "some value");
    // ANSI bytes as the platform gives them, not UTF-8.
    qv::LaunchOptions probe_options = qvtest::options_for(qvtest::test_program64("fs_probe.exe"));
    probe_options.env = options.env;
    qvtest::Probe probe(probe_options);
    EXPECT_EQ(qvtest::hex(server.request("getexpandedstr", "QV_ACCENT")), probe.ask("env QV_ACCENT"));
    EXPECT_EQ(server.request("getexpandedstr", "QV_ACCENT"), "\xe9");
    // A value holding LF cannot be framed: answered like an unset one, and
    // the server stays in step although the value holds "\nend\n".
    EXPECT_EQ(probe.ask("env QV_LF"), qvtest::hex("a\nend\nb"));
    EXPECT_EQ(server.request("getexpandedstr", "QV_LF"), "");
    EXPECT_EQ(server.request("getexpandedstr", "QV_PLAIN"), "some value");

    // Upper case is not a keyword: TEMP is the variable, temp the folder.
    std::string temp_var = server.request("getexpandedstr", "TEMP");
    EXPECT_EQ(temp_var, qvtest::from_hex(probe.ask("env TEMP")));
    EXPECT_EQ(server.request("getexpandedstr", "temp"), temp_var + "\\");
    EXPECT_EQ(server.request("getexpandedstr", "WINDIR"), qvtest::from_hex(probe.ask("env WINDIR")));
    EXPECT_EQ(server.request("getexpandedstr", "Programs"), "");
    EXPECT_EQ(server.quit(), 0);
}

TEST(Folders, TextsExpandAsWinesCmdExpandsThem) {
    qv::LaunchOptions options = qvtest::options_for(qvtest::program("qvmanip.exe"));
    const std::string long_value(5000, 'l');
    options.env = {{"QV_PLAIN", "some value"}, {"QV_LF", "a\nend\nb"}, {"QV_LONG", long_value}};
    qv::Server server = qvtest::start_server(options);
    auto expand = [&](const std::string& text) { return server.request("expandstr", qv::escape(text)); };

    // The same text through `cmd /c echo`, as winetricks expands it (no
    // blanks: the command line would quote them). A 32-bit server sees the
    // 32-bit Program Files, which a 64-bit cmd does not.
    std::string text = "%windir%;%USERPROFILE%\\x;%QV_PLAIN_UNSET%;%TEMP%;%APPDATA%";
    if (!qvtest::testing_32bit_build())
        text += ";%ProgramFiles%\\Foo";
    text += ";100%;%windir%";  // a lone '%' starts a name all the same
    qv::LaunchOptions cmd = qvtest::options_for("cmd");
    cmd.args = {"/c", "echo", text};
    qv::RunResult echoed = qv::run_program(cmd, qv::Millis(120000)).value;
    ASSERT_EQ(echoed.exit_code, 0) << echoed.err;
    ASSERT_GE(echoed.out.size(), 2u);
    EXPECT_EQ(expand(text), "text " + qv::escape(echoed.out.substr(0, echoed.out.size() - 2)));

    struct Case {
        std::string text, answer;
    } cases[] = {
        {"%QV_PLAIN%\\Foo", "text some value\\\\Foo"},
        {"%qv_plain%", "text some value"},  // names are case-blind
        {"%QV_UNSET% and %QV_PLAIN%", "text %QV_UNSET% and some value"},
        {"%QV_PLAIN", "text %QV_PLAIN"},
        {"", "text "},
        {"error %QV_PLAIN%", "text error some value"},
        // LF in the text and in a value travels escaped, so it cannot end the answer
        {"%QV_LF%", "text a\\nend\\nb"},
        {"one\ntwo", "text one\\ntwo"},
        // longer than the first buffer, and as long as Wine expands
        {"%QV_LONG%%QV_LONG%", "text " + long_value + long_value},
        {std::string(32766, 't'), "text " + std::string(32766, 't')},
        {std::string(32767, 't'), "error text too long"},
        {std::string(7, 'x') + "%QV_LONG%%QV_LONG%%QV_LONG%%QV_LONG%%QV_LONG%%QV_LONG%%QV_LONG%", "error text too long"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(expand(c.text), c.answer) << qvtest::shown(c.text.substr(0, 40));
    EXPECT_EQ(server.quit(), 0);
}

// Wine refuses paths holding LF for files (ERROR_INVALID_NAME), so shell
// folders cannot have one; the temporary path is taken from TMP unchecked,
// though. Such a path cannot be framed: "temp" then answers like a keyword
// whose lookup failed, from the variable of that name.
TEST(Folders, FolderPathsHoldingLineFeedsFallBackToTheEnvironment) {
    const std::string original = reg("user.reg", "Environment", "TMP");
    ASSERT_EQ(original.find('<'), std::string::npos) << original;
    auto set_tmp = [](const std::string& value) {
        qv::LaunchOptions reg = qvtest::options_for("reg");
        reg.args = {"add", "HKCU\\Environment", "/v", "TMP", "/t", "REG_SZ", "/d", value, "/f"};
        return qv::run_program(reg, qv::Millis(60000)).value.exit_code;
    };
    struct Restore {
        std::function<int(const std::string&)> set;
        std::string value;
        ~Restore() { EXPECT_EQ(set(value), 0); }
    } restore{set_tmp, original};
    const std::string lf_path = "C:\\qv\nend\ntmp";
    ASSERT_EQ(set_tmp(lf_path), 0);

    qvtest::Probe probe;
    ASSERT_EQ(probe.ask("env TMP"), qvtest::hex(lf_path));
    const std::string temp_var = qvtest::from_hex(probe.ask("env TEMP"));
    qv::Server server = qvtest::start_server();
    EXPECT_EQ(server.request("getexpandedstr", "temp"), temp_var);
    EXPECT_EQ(server.request("getexpandedstr", "TMP"), "");
    EXPECT_EQ(server.request("getwindowsdir"), "C:\\windows");
    EXPECT_EQ(server.quit(), 0);
}

// A keyword whose folder cannot be found falls back to the variable of the
// same name.
TEST(Folders, FailedLookupFallsBackToTheEnvironment) {
    qv::Server probe_server = qvtest::start_server();
    std::string desktop = *qv::expanded_string(probe_server, "desktop");
    std::string unix_desktop = *qv::unix_path(probe_server, desktop);
    probe_server.quit();
    const std::string parked = unix_desktop + ".parked-" + std::to_string(::getpid());
    ASSERT_EQ(std::rename(unix_desktop.c_str(), parked.c_str()), 0) << unix_desktop;

    qv::LaunchOptions options = qvtest::options_for(qvtest::program("qvmanip.exe"));
    options.env = {{"DESKTOP", "from the environment"}};
    std::string with_variable, without;
    {
        qv::Server server = qvtest::start_server(options);
        with_variable = server.request("getexpandedstr", "desktop");
        server.quit();
    }
    {
        qv::Server server = qvtest::start_server();
        without = server.request("getexpandedstr", "desktop");
        server.quit();
    }
    std::rename(parked.c_str(), unix_desktop.c_str());
    EXPECT_EQ(with_variable, "from the environment");
    EXPECT_EQ(without, "");
    qv::Server server = qvtest::start_server();
    EXPECT_EQ(folder(server, "desktop", ""), desktop);
    server.quit();
}

}  // namespace
