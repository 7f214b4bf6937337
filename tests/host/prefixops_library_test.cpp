// The prefix operations without a prefix: the version table and what setting
// a version changes, the reading of recorded-style listings (the tool's
// judgement of odd values, measured with winecfg -v), DLL modes and names.
#include <gtest/gtest.h>

#include <set>

#include "qv/dlls.h"
#include "qv/wineconfig.h"
#include "qv/winver.h"

namespace {

TEST(WindowsVersions, TheTableIsTheToolsListAndLookupIgnoresCase) {
    std::vector<std::string> names;
    for (const qv::WindowsVersion& v : qv::windows_versions())
        names.push_back(v.name);
    EXPECT_EQ(names, (std::vector<std::string>{"win10", "win81", "win8", "win2008r2", "win7", "win2008", "vista",
                                               "win2003", "winxp64"}));
    ASSERT_NE(qv::find_windows_version("Win2008R2"), nullptr);
    EXPECT_STREQ(qv::find_windows_version("Win2008R2")->product_type, "ServerNT");
    EXPECT_EQ(qv::find_windows_version("win98"), nullptr);
    EXPECT_EQ(qv::find_windows_version("win10 "), nullptr);
    EXPECT_EQ(qv::find_windows_version(""), nullptr);
}

TEST(WindowsVersions, GlobalChangesReachBothViewsAndRemoveViewByView) {
    std::vector<qv::RegChange> c = qv::windows_version_changes(*qv::find_windows_version("win7"));
    ASSERT_EQ(c.size(), 17u);
    EXPECT_EQ(c[0].key, "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion");
    EXPECT_EQ(c[0].text, "6.1");
    EXPECT_EQ(c[0].view, qv::RegView::both);
    EXPECT_EQ(qv::change_request(c[0]).command, "setregkey");
    EXPECT_EQ(qv::change_request(c[0]).args,
              "3264\\\\HKLM\\\\Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion\\nCurrentVersion\\nstr:6.1");
    EXPECT_EQ(qv::change_request(c[8]).args,
              "HKLM\\\\System\\\\CurrentControlSet\\\\Control\\\\Windows\\nCSDVersion\\ndword:100");
    std::set<std::pair<std::string, int>> removals;
    for (const qv::RegChange& r : c)
        if (r.op == qv::RegChange::Op::remove) {
            EXPECT_NE(r.view, qv::RegView::both) << r.name;
            EXPECT_EQ(qv::change_request(r).command, "rmregvalue");
            removals.insert({r.key + "|" + r.name, static_cast<int>(r.view)});
        }
    EXPECT_EQ(removals.size(), 7u);
    EXPECT_TRUE(removals.count({"HKCU\\Software\\Wine|Version", static_cast<int>(qv::RegView::native)}));

    std::vector<qv::RegChange> app = qv::windows_version_changes(*qv::find_windows_version("win10"), "Game.exe");
    ASSERT_EQ(app.size(), 1u);
    EXPECT_EQ(app[0].key, "HKCU\\Software\\Wine\\AppDefaults\\Game.exe");
    EXPECT_EQ(app[0].name, "Version");
    EXPECT_EQ(app[0].text, "win10");
}

std::string sz(const std::string& name, const std::string& text) { return "value " + name + "\\0 1 =" + text + "\\0\n"; }

qv::Result<qv::WindowsVersionReading> read(const std::string& nt, const std::string& type,
                                           const std::string& user = "errno 2", const std::string& app = "") {
    std::vector<std::string> answers;
    if (!app.empty())
        answers.push_back(app);
    answers.insert(answers.end(), {user, nt, sz("ProductType", type)});
    return qv::parse_windows_version(answers, app.empty() ? "" : "game.exe");
}

TEST(WindowsVersions, ReadingJudgesAsTheConfigurationToolDoes) {
    auto exact = read(sz("CSDVersion", "Service Pack 1") + sz("CurrentBuildNumber", "7601") +
                          sz("CurrentVersion", "6.1") + sz("ProductName", "Microsoft Windows 7"),
                      "WinNT");
    ASSERT_TRUE(exact.ok()) << exact.error();
    EXPECT_EQ(exact->name, "win7");
    EXPECT_TRUE(exact->exact);
    EXPECT_EQ(exact->build, 7601u);
    EXPECT_EQ(exact->csd_version, "Service Pack 1");
    // Measured: 6.1 with build 7600 is no version of the list; winecfg -v
    // answers the last workstation version of major 6, vista.
    auto near = read(sz("CurrentBuildNumber", "7600") + sz("CurrentVersion", "6.1"), "WinNT");
    ASSERT_TRUE(near.ok());
    EXPECT_EQ(near->name, "vista");
    EXPECT_FALSE(near->exact);
    auto server = read(sz("CurrentBuildNumber", "3790") + sz("CurrentVersion", "5.2"), "ServerNT");
    EXPECT_EQ(server->name, "win2003");
    auto none = read(sz("CurrentBuildNumber", "1") + sz("CurrentVersion", "3.1"), "WinNT");
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(none->name, "");
    auto missing = read(sz("ProductName", "x"), "WinNT");
    ASSERT_FALSE(missing.ok());
    EXPECT_TRUE(missing.failure->is(qv::kFileNotFound));
}

TEST(WindowsVersions, OverridesComeFirstAndKeepWhatIsStored) {
    std::string nt = sz("CurrentBuildNumber", "7601") + sz("CurrentVersion", "6.1");
    auto user = read(nt, "WinNT", sz("Version", "bogus"));
    ASSERT_TRUE(user.ok());
    EXPECT_EQ(user->source, qv::WindowsVersionReading::Source::user);
    EXPECT_EQ(user->name, "bogus");
    EXPECT_FALSE(user->exact);
    auto app = read(nt, "WinNT", sz("Version", "vista"), sz("Version", "win10"));
    EXPECT_EQ(app->source, qv::WindowsVersionReading::Source::app);
    EXPECT_EQ(app->name, "win10");
    auto no_app = read(nt, "WinNT", "errno 2", "errno 2");
    EXPECT_EQ(no_app->source, qv::WindowsVersionReading::Source::registry);
    EXPECT_EQ(no_app->name, "win7");
    // A failure other than a missing key is not taken for "no override".
    auto denied = read(nt, "WinNT", "errno 5");
    ASSERT_FALSE(denied.ok());
    EXPECT_TRUE(denied.failure->is(qv::kAccessDenied));
}

TEST(DllModes, TheFiveModesTheirWordsAndShortFormsAndNothingElse) {
    for (qv::DllMode m : qv::dll_modes()) {
        EXPECT_EQ(qv::parse_dll_mode(qv::dll_mode_text(m)).value, m);
        EXPECT_EQ(qv::parse_dll_mode(qv::dll_mode_word(m)).value, m);
    }
    EXPECT_STREQ(qv::dll_mode_text(qv::DllMode::disabled), "");
    EXPECT_EQ(qv::parse_dll_mode("N,B").value, qv::DllMode::native_builtin);
    EXPECT_EQ(qv::parse_dll_mode("Builtin").value, qv::DllMode::builtin);
    for (const char* bad : {"nativ", " native", "native,", "native, builtin", "b;n", "n,b,n", "default", "none"}) {
        qv::Result<qv::DllMode> r = qv::parse_dll_mode(bad);
        ASSERT_FALSE(r.ok()) << bad;
        EXPECT_EQ(r.failure->kind, qv::Failure::Kind::refused);
        EXPECT_NE(r.failure->message.find(bad), std::string::npos);
    }
}

TEST(DllModes, NamesKeysAndTheirRefusals) {
    EXPECT_EQ(qv::dll_override_name("D3D9.DLL"), "D3D9");
    EXPECT_EQ(qv::dll_override_name("*comctl32"), "*comctl32");
    EXPECT_THROW(qv::dll_override_name(".dll"), qv::Refused);
    EXPECT_THROW(qv::dll_override_name(std::string("a\nb")), qv::Refused);
    EXPECT_EQ(qv::dll_overrides_key(), "HKCU\\Software\\Wine\\DllOverrides");
    EXPECT_EQ(qv::dll_overrides_key("x.exe"), "HKCU\\Software\\Wine\\AppDefaults\\x.exe\\DllOverrides");
    for (const char* bad : {"a\\b.exe", "a/b.exe", ".", ".."})
        EXPECT_THROW(qv::wine_settings_key(bad), qv::Refused) << bad;
    EXPECT_EQ(qv::set_dll_override_request("d3d9", qv::DllMode::disabled).args,
              "HKCU\\\\Software\\\\Wine\\\\DllOverrides\\nd3d9\\nstr:");
    // The key's default value and non-text values are no overrides.
    qv::Result<std::vector<qv::DllOverride>> list =
        qv::parse_dll_overrides(sz("", "native") + sz("ddraw", "n,b") + "value d\\0 4 01000000\n");
    ASSERT_TRUE(list.ok());
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ((*list)[0].dll, "ddraw");
    EXPECT_EQ((*list)[0].text, "n,b");
    EXPECT_EQ((*list)[0].mode, qv::DllMode::native_builtin);
    EXPECT_TRUE(qv::parse_dll_overrides("errno 2").ok());
    EXPECT_FALSE(qv::parse_dll_overrides("errno 5").ok());
}

}  // namespace
