// The prefix operations without a prefix: the version table and what setting
// a version changes, the reading of recorded-style listings (the tool's
// judgement of odd values, measured with winecfg -v), DLL modes and names.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>

#include "qv/dlls.h"
#include "qv/escape.h"
#include "qv/wineconfig.h"
#include "qv/winerelease.h"
#include "qv/winver.h"

namespace {

const qv::WindowsVersionTool& wine8 = qv::windows_version_tool(8);
const qv::WindowsVersionTool& wine10 = qv::windows_version_tool(10);

std::vector<std::string> names_of(const qv::WindowsVersionTool& tool) {
    std::vector<std::string> names;
    for (const qv::WindowsVersion& v : tool.versions)
        names.push_back(v.name);
    return names;
}

TEST(WindowsVersions, EachReleaseGetsItsToolsListAndLookupIgnoresCase) {
    EXPECT_EQ(names_of(wine8), (std::vector<std::string>{"win10", "win81", "win8", "win2008r2", "win7", "win2008",
                                                         "vista", "win2003", "winxp64"}));
    EXPECT_EQ(names_of(wine10).size(), 20u);
    // Releases between the measured ones follow the older; an unknown one
    // (0) gets the older too, later ones the newer.
    EXPECT_EQ(&qv::windows_version_tool(0), &wine8);
    EXPECT_EQ(&qv::windows_version_tool(9), &wine8);
    EXPECT_EQ(&qv::windows_version_tool(11), &wine10);
    // Wine 8's 32-bit tool, in a 32-bit prefix, offers the older versions
    // too, but not Windows XP 64; Wine 10's offers the same list there.
    const qv::WindowsVersionTool& wine8_32 = qv::windows_version_tool(8, true);
    EXPECT_EQ(names_of(wine8_32).size(), 18u);
    EXPECT_EQ(wine8_32.find("winxp64"), nullptr);
    EXPECT_STREQ(wine8_32.find("win10")->version_text, "10.0");
    EXPECT_EQ(wine8_32.find("win98")->family, qv::WindowsVersion::Family::win9x);
    EXPECT_EQ(&qv::windows_version_tool(10, true), &wine10);
    ASSERT_NE(wine8.find("Win2008R2"), nullptr);
    EXPECT_STREQ(wine8.find("Win2008R2")->product_type, "ServerNT");
    EXPECT_EQ(wine8.find("win98"), nullptr);
    EXPECT_NE(wine10.find("WIN98"), nullptr);
    EXPECT_EQ(wine8.find("win10 "), nullptr);
    EXPECT_EQ(wine8.find(""), nullptr);
    // The values that differ by release, as each tool writes them.
    EXPECT_STREQ(wine8.find("win10")->version_text, "10.0");
    EXPECT_STREQ(wine10.find("win10")->version_text, "6.3");
    EXPECT_EQ(wine10.find("win10")->build, 19043u);
}

TEST(WindowsVersions, ReleaseLinesAndTheirNumbers) {
    qv::WineRelease r = qv::parse_wine_release("wine-10.0 (Debian 10.0~repack-6)\n");
    EXPECT_EQ(r.text, "wine-10.0 (Debian 10.0~repack-6)");
    EXPECT_EQ(r.major, 10);
    EXPECT_EQ(r.minor, 0);
    r = qv::parse_wine_release("wine-9.12-rc1 (Staging)");
    EXPECT_EQ(r.major, 9);
    EXPECT_EQ(r.minor, 12);
    for (const char* other : {"", "GNU bash, version 5.2", "wine-", "wine-x.1", "sh: 0: Illegal option --"}) {
        r = qv::parse_wine_release(other);
        EXPECT_EQ(r.major, 0) << other;
        EXPECT_EQ(r.text, other);
    }
    // Asked of something that is no loader at all.
    EXPECT_EQ(qv::wine_release("/nonexistent/wine64").major, 0);
}

TEST(WindowsVersions, GlobalChangesReachBothViewsAndRemoveViewByView) {
    std::vector<qv::RegChange> c = qv::windows_version_changes(*wine8.find("win7"));
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

    std::vector<qv::RegChange> app = qv::windows_version_changes(*wine8.find("win10"), "Game.exe");
    ASSERT_EQ(app.size(), 1u);
    EXPECT_EQ(app[0].key, "HKCU\\Software\\Wine\\AppDefaults\\Game.exe");
    EXPECT_EQ(app[0].name, "Version");
    EXPECT_EQ(app[0].text, "win10");
}

// What each family sets and removes, by value name and view.
std::set<std::string> effects(const char* version) {
    std::set<std::string> out;
    for (const qv::RegChange& r : qv::windows_version_changes(*wine10.find(version))) {
        // The key's last two components: "Windows NT\CurrentVersion".
        std::string key = r.key.substr(r.key.rfind('\\', r.key.rfind('\\') - 1) + 1);
        out.insert((r.op == qv::RegChange::Op::set ? "set " : "rm ") + key + "|" + r.name +
                   (r.view == qv::RegView::win32 ? " (32)" : ""));
    }
    return out;
}

TEST(WindowsVersions, OlderFamiliesRemoveTheNtValuesAsTheToolDoes) {
    std::set<std::string> win98 = effects("win98");
    EXPECT_TRUE(win98.count("set Windows\\CurrentVersion|SubVersionNumber"));
    for (const char* gone : {"rm Windows NT\\CurrentVersion|CurrentVersion (32)",
                             "rm Windows NT\\CurrentVersion|CurrentMajorVersionNumber",
                             "rm Control\\ProductOptions|ProductType", "rm Software\\Wine|Version"})
        EXPECT_TRUE(win98.count(gone)) << gone;
    std::set<std::string> win31 = effects("win31");
    EXPECT_TRUE(win31.count("set Software\\Wine|Version"));
    EXPECT_TRUE(win31.count("rm Windows\\CurrentVersion|VersionNumber (32)"));
    EXPECT_TRUE(win31.count("rm Windows NT\\CurrentVersion|CurrentBuildNumber"));
    // Measured: the 16-bit versions leave the NT version numbers alone.
    EXPECT_FALSE(win31.count("rm Windows NT\\CurrentVersion|CurrentMajorVersionNumber"));
}

std::string sz(const std::string& name, const std::string& text) { return "value " + name + "\\0 1 =" + text + "\\0\n"; }
std::string dw(const std::string& name, uint32_t v) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02x%02x%02x%02x", v & 0xff, (v >> 8) & 0xff, (v >> 16) & 0xff, v >> 24);
    return "value " + name + "\\0 4 " + hex + "\n";
}

// The server's answers to the reading's one-value requests, from a listing of
// each key: the value's line, "errno 2" and LF where the key lacks it, the
// key's own failure where it has one.
qv::Result<qv::WindowsVersionReading> read(const qv::WindowsVersionTool& tool, const std::string& nt,
                                           const std::string& type, const std::string& user = "errno 2",
                                           const std::string& app = "", const std::string& old = "errno 2") {
    const std::string game = app.empty() ? "" : "game.exe";
    std::map<std::string, std::string> listings = {
        {std::string(qv::kWineSettingsKey), user},
        {"HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion", nt},
        {"HKLM\\System\\CurrentControlSet\\Control\\ProductOptions", sz("ProductType", type)},
        {"HKLM\\Software\\Microsoft\\Windows\\CurrentVersion", old}};
    if (!game.empty())
        listings[qv::wine_settings_key(game)] = app;
    std::vector<std::string> answers;
    for (const qv::Request& r : qv::windows_version_requests(game)) {
        std::string fields = qv::unescape(r.args);
        std::string key = fields.substr(0, fields.find('\n')), name = fields.substr(fields.find('\n') + 1);
        const std::string& listing = listings.at(key);
        if (listing.rfind("errno ", 0) == 0 && listing.find('\n') == std::string::npos) {
            answers.push_back(listing);
            continue;
        }
        size_t line = listing.find("value " + name + "\\0 ");
        answers.push_back(line == std::string::npos ? "errno 2\n"
                                                    : listing.substr(line, listing.find('\n', line) + 1 - line));
    }
    return qv::parse_windows_version(tool, answers, game);
}

TEST(WindowsVersions, ReadingJudgesAsTheConfigurationToolDoes) {
    auto exact = read(wine8, sz("CSDVersion", "Service Pack 1") + sz("CurrentBuildNumber", "7601") +
                                 sz("CurrentVersion", "6.1") + sz("ProductName", "Microsoft Windows 7"),
                      "WinNT");
    ASSERT_TRUE(exact.ok()) << exact.error();
    EXPECT_EQ(exact->name, "win7");
    EXPECT_TRUE(exact->exact);
    EXPECT_EQ(exact->build, 7601u);
    EXPECT_EQ(exact->csd_version, "Service Pack 1");
    // Measured: 6.1 with build 7600 is no version of the list; winecfg -v
    // answers the last workstation version of major 6, vista.
    auto near = read(wine8, sz("CurrentBuildNumber", "7600") + sz("CurrentVersion", "6.1"), "WinNT");
    ASSERT_TRUE(near.ok());
    EXPECT_EQ(near->name, "vista");
    EXPECT_FALSE(near->exact);
    auto server = read(wine8, sz("CurrentBuildNumber", "3790") + sz("CurrentVersion", "5.2"), "ServerNT");
    EXPECT_EQ(server->name, "win2003");
    // A major number it offers nothing for: the tool shows its default.
    auto none = read(wine8, sz("CurrentBuildNumber", "1") + sz("CurrentVersion", "3.1"), "WinNT");
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(none->name, "win7");
    EXPECT_FALSE(none->exact);
    auto missing = read(wine8, sz("ProductName", "x"), "WinNT");
    ASSERT_FALSE(missing.ok());
    EXPECT_TRUE(missing.failure->is(qv::kFileNotFound));
}

TEST(WindowsVersions, Wine10JudgesByTheVersionNumbersAndReadsTheOlderFamily) {
    // Wine 10's own Windows 10: CurrentVersion 6.3 with major number 10.
    std::string win10 = sz("CurrentBuildNumber", "19043") + sz("CurrentVersion", "6.3");
    std::string numbers = dw("CurrentMajorVersionNumber", 10) + dw("CurrentMinorVersionNumber", 0);
    auto with = read(wine10, win10 + numbers, "WinNT");
    ASSERT_TRUE(with.ok()) << with.error();
    EXPECT_EQ(with->name, "win10");
    EXPECT_TRUE(with->exact);
    // The same values, judged by Wine 8, and by Wine 10 without the numbers.
    EXPECT_EQ(read(wine8, win10 + numbers, "WinNT")->name, "vista");
    EXPECT_EQ(read(wine10, win10, "WinNT")->name, "vista");
    auto other_build = read(wine10, sz("CurrentBuildNumber", "9600") + sz("CurrentVersion", "6.3") + numbers, "WinNT");
    EXPECT_EQ(other_build->name, "win10");
    EXPECT_FALSE(other_build->exact);
    EXPECT_EQ(read(wine10, sz("CurrentBuildNumber", "1") + sz("CurrentVersion", "7.0"), "WinNT")->name, "win10");

    // Without the NT values, the older family's.
    std::string win98 = sz("VersionNumber", "4.10.2222") + sz("SubVersionNumber", " A ");
    auto old = read(wine10, dw("CurrentMajorVersionNumber", 10), "", "errno 2", "", win98);
    ASSERT_TRUE(old.ok()) << old.error();
    EXPECT_EQ(old->name, "win98");
    EXPECT_TRUE(old->exact);
    EXPECT_EQ(old->csd_version, " A ");
    auto odd = read(wine10, "", "", "errno 2", "", sz("VersionNumber", "4.10.9999"));
    EXPECT_EQ(odd->name, "win95");
    EXPECT_FALSE(odd->exact);
    // The NT values win where both are there; Wine 8 never reads the older ones.
    EXPECT_EQ(read(wine10, sz("CurrentBuildNumber", "7601") + sz("CurrentVersion", "6.1"), "WinNT", "errno 2", "",
                   win98)->name,
              "win7");
    EXPECT_FALSE(read(wine8, "", "", "errno 2", "", win98).ok());
}

TEST(WindowsVersions, OverridesComeFirstAndKeepWhatIsStored) {
    std::string nt = sz("CurrentBuildNumber", "7601") + sz("CurrentVersion", "6.1");
    auto user = read(wine8, nt, "WinNT", sz("Version", "bogus"));
    ASSERT_TRUE(user.ok());
    EXPECT_EQ(user->source, qv::WindowsVersionReading::Source::user);
    EXPECT_EQ(user->name, "bogus");
    EXPECT_FALSE(user->exact);
    auto app = read(wine8, nt, "WinNT", sz("Version", "vista"), sz("Version", "win10"));
    EXPECT_EQ(app->source, qv::WindowsVersionReading::Source::app);
    EXPECT_EQ(app->name, "win10");
    auto no_app = read(wine8, nt, "WinNT", "errno 2", "errno 2");
    EXPECT_EQ(no_app->source, qv::WindowsVersionReading::Source::registry);
    EXPECT_EQ(no_app->name, "win7");
    // A failure other than a missing key is not taken for "no override".
    auto denied = read(wine8, nt, "WinNT", "errno 5");
    ASSERT_FALSE(denied.ok());
    EXPECT_TRUE(denied.failure->is(qv::kAccessDenied));
    // A 16-bit version is a user-wide word the tool knows.
    EXPECT_TRUE(read(wine10, nt, "WinNT", sz("Version", "win31"))->exact);
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
