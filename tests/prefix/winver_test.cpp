// The Windows version: for every version Wine's configuration tool offers, a
// prefix changed by `winecfg -v VERSION` and one changed by the library must
// export the same values (regedit /E, both views); per-program versions are
// checked by what a program running under that name is told.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <memory>

#include "prefixops_support.h"
#include "qv/text.h"
#include "qv/winver.h"

namespace {

using opstest::ExportedKey;
using opstest::regedit_export;

// Every key the tool writes or removes values in, as 64-bit regedit names
// them (the 32-bit view of HKLM\Software is its Wow6432Node).
const std::vector<std::string> kVersionKeys = {
    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion",
    "HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion",
    "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion",
    "HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion",
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\ProductOptions",
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Windows",
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager\\Environment",
    "HKEY_CURRENT_USER\\Software\\Wine",
};

const char* kNt = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion";
const char* k9x = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion";

// The same stale state in both prefixes before each version: every value the
// tool writes holds something else, and every value it removes is there.
void plant_stale_state(qv::Session& s) {
    for (qv::RegView view : {qv::RegView::native, qv::RegView::win32}) {
        for (const char* name : {"CurrentVersion", "CurrentBuild", "CurrentBuildNumber", "ProductName", "CSDVersion"})
            ASSERT_TRUE(qv::set_string(s, kNt, name, "stale", view).ok());
        ASSERT_TRUE(qv::set_dword(s, kNt, "CurrentMajorVersionNumber", 99, view).ok());
        ASSERT_TRUE(qv::set_dword(s, kNt, "CurrentMinorVersionNumber", 99, view).ok());
        ASSERT_TRUE(qv::set_string(s, k9x, "VersionNumber", "4.10.2222", view).ok());
        ASSERT_TRUE(qv::set_string(s, k9x, "SubVersionNumber", " A ", view).ok());
        ASSERT_TRUE(qv::set_string(s, k9x, "ProductName", "stale 9x", view).ok());
    }
    ASSERT_TRUE(qv::set_string(s, "HKLM\\System\\CurrentControlSet\\Control\\ProductOptions", "ProductType", "stale").ok());
    ASSERT_TRUE(qv::set_dword(s, "HKLM\\System\\CurrentControlSet\\Control\\Windows", "CSDVersion", 0xffff).ok());
    ASSERT_TRUE(
        qv::set_string(s, "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment", "OS", "stale").ok());
    ASSERT_TRUE(qv::set_string(s, "HKCU\\Software\\Wine", "Version", "win98").ok());
}

// A scratch prefix the library changes (ctest runs each test in a process of
// its own, so each clones it once).
class WindowsVersionOracle : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        library_ = std::make_unique<opstest::ScratchPrefix>(qvtest::prefix() + "-winver-library");
    }
    static void TearDownTestSuite() { library_.reset(); }
    void SetUp() override {
        if (qvtest::testing_32bit_build())
            GTEST_SKIP() << "the version lives in both views, and a 32-bit server is refused for that";
        ASSERT_TRUE(library_->ok()) << "could not clone a scratch prefix";
    }
    static std::unique_ptr<opstest::ScratchPrefix> library_;
};
std::unique_ptr<opstest::ScratchPrefix> WindowsVersionOracle::library_;

TEST_F(WindowsVersionOracle, EveryVersionWritesWhatTheConfigurationToolWrites) {
    // A second prefix, which the configuration tool changes.
    auto tool = std::make_unique<opstest::ScratchPrefix>(qvtest::prefix() + "-winver-tool");
    ASSERT_TRUE(tool->ok()) << "could not clone a scratch prefix";
    qv::Session tool_session(tool->session_options());
    qv::Session library_session(library_->session_options());
    // The tool's own list, so that a version it offers and the library lacks
    // (or one whose description differs) fails here.
    const qv::WindowsVersionTool& known = qv::windows_version_tool(library_session);
    qv::RunResult help = opstest::run_in(tool->dir(), "winecfg", {"-?"});
    std::vector<std::string> offered;
    std::istringstream lines(help.out + help.err);
    bool listing = false;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string word, description;
        if (line.find("Valid versions") == 0)
            listing = true;
        else if (listing && words >> word) {
            offered.push_back(word);
            std::getline(words >> std::ws, description);
            const qv::WindowsVersion* v = known.find(word);
            EXPECT_EQ(v ? v->description : "(not in the library)", opstest::first_line(description));
        }
    }
    ASSERT_EQ(offered.size(), known.versions.size()) << help.out;
    for (size_t i = 0; i < offered.size(); i++)
        EXPECT_EQ(offered[i], known.versions[i].name);

    for (const std::string& version : offered) {
        SCOPED_TRACE(version);
        ASSERT_NE(known.find(version), nullptr);
        plant_stale_state(tool_session);
        plant_stale_state(library_session);
        qv::RunResult set = opstest::run_in(tool->dir(), "winecfg", {"-v", version});
        ASSERT_EQ(set.exit_code, 0) << set.err;
        qv::Result<void> r = qv::set_windows_version(library_session, version);
        ASSERT_TRUE(r.ok()) << r.error();

        for (const std::string& key : kVersionKeys) {
            ExportedKey by_tool = regedit_export(tool->dir(), key);
            ExportedKey by_library = regedit_export(library_->dir(), key);
            EXPECT_TRUE(by_tool.found) << key;
            EXPECT_EQ(opstest::differences(by_tool, by_library), "")
                << key << " after winecfg -v " << version << " (left) and the library (right)";
            // Not two empty exports: the version's own values are there.
            const qv::WindowsVersion& v = *known.find(version);
            std::string expected_key, name, data;
            switch (v.family) {
            case qv::WindowsVersion::Family::nt:
                expected_key = "Windows NT", name = "CurrentBuildNumber", data = std::to_string(v.build);
                break;
            case qv::WindowsVersion::Family::win9x:
                expected_key = "Windows\\CurrentVersion", name = "VersionNumber", data = v.version_text;
                break;
            case qv::WindowsVersion::Family::win16:
                expected_key = "Software\\Wine", name = "Version", data = version;
                break;
            }
            if (key.find(expected_key) != std::string::npos) {
                const qv::RegFileValue* value = by_library.find(name);
                ASSERT_NE(value, nullptr) << key;
                EXPECT_EQ(value->data, qv::utf8_to_utf16le(data) + std::string(2, '\0'));
            }
        }
        // Read back by the library from the prefix the tool changed.
        qv::Result<qv::WindowsVersionReading> read = qv::windows_version(tool_session);
        ASSERT_TRUE(read.ok()) << read.error();
        EXPECT_EQ(read->name, version);
        EXPECT_TRUE(read->exact);
        EXPECT_EQ(read->source, known.find(version)->family == qv::WindowsVersion::Family::win16
                                    ? qv::WindowsVersionReading::Source::user
                                    : qv::WindowsVersionReading::Source::registry);
    }
    tool_session.quit();
    library_session.quit();
}

TEST_F(WindowsVersionOracle, TheToolReadsTheVersionTheLibrarySet) {
    qv::Session s(library_->session_options());
    for (const char* version : {"win2003", "win10"}) {
        ASSERT_TRUE(qv::set_windows_version(s, version).ok());
        EXPECT_EQ(opstest::shown_version(library_->dir()), version);
    }
    s.quit();
}

// What osprobe prints for a version: what Wine tells a program of it.
std::string told(const qv::WindowsVersionTool& tool, const char* name) {
    const qv::WindowsVersion& v = *tool.find(name);
    return "version " + std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.build) +
           " sp " + std::to_string(v.service_pack >> 8) + "." + std::to_string(v.service_pack & 0xff) +
           " type 1 csd" + (*v.csd_version ? std::string(" ") + v.csd_version : std::string());
}

TEST_F(WindowsVersionOracle, AProgramGetsItsOwnVersionAndOthersTheGlobalOne) {
    qv::Session s(library_->session_options());
    const qv::WindowsVersionTool& tool = qv::windows_version_tool(s);
    ASSERT_TRUE(qv::set_windows_version(s, "win7").ok());
    ASSERT_TRUE(qv::set_windows_version(s, "win10", "oldgame.exe").ok());
    ASSERT_TRUE(qv::set_windows_version(s, "winxp64", "OtherGame.exe").ok());

    // The registry as the platform's own tool shows it.
    std::string app_key =
        opstest::run_in(library_->dir(), "reg", {"query", "HKCU\\Software\\Wine\\AppDefaults\\oldgame.exe"}).out;
    EXPECT_NE(app_key.find("Version    REG_SZ    win10"), std::string::npos) << app_key;

    // What Wine tells programs of each name.
    std::string own = opstest::place_probe(library_->dir(), "winver", "oldgame.exe");
    std::string other = opstest::place_probe(library_->dir(), "winver", "plain.exe");
    std::string xp = opstest::place_probe(library_->dir(), "winver", "othergame.exe");
    EXPECT_EQ(opstest::first_line(opstest::run_in(library_->dir(), own, {"version"}).out), told(tool, "win10"));
    EXPECT_EQ(opstest::first_line(opstest::run_in(library_->dir(), other, {"version"}).out), told(tool, "win7"));
    // App names are matched without regard to case.
    EXPECT_EQ(opstest::first_line(opstest::run_in(library_->dir(), xp, {"version"}).out), told(tool, "winxp64"));

    qv::Result<qv::WindowsVersionReading> app = qv::windows_version(s, "oldgame.exe");
    ASSERT_TRUE(app.ok()) << app.error();
    EXPECT_EQ(app->name, "win10");
    EXPECT_EQ(app->source, qv::WindowsVersionReading::Source::app);
    qv::Result<qv::WindowsVersionReading> none = qv::windows_version(s, "plain.exe");
    ASSERT_TRUE(none.ok()) << none.error();
    EXPECT_EQ(none->name, "win7");
    EXPECT_EQ(none->source, qv::WindowsVersionReading::Source::registry);

    // A user-wide override wins over the registry values, as in Wine.
    ASSERT_TRUE(qv::set_string(s, "HKCU\\Software\\Wine", "Version", "vista").ok());
    EXPECT_EQ(opstest::first_line(opstest::run_in(library_->dir(), other, {"version"}).out), told(tool, "vista"));
    qv::Result<qv::WindowsVersionReading> user = qv::windows_version(s);
    ASSERT_TRUE(user.ok());
    EXPECT_EQ(user->name, "vista");
    EXPECT_EQ(user->source, qv::WindowsVersionReading::Source::user);
    // Setting the global version removes it, as the tool does.
    ASSERT_TRUE(qv::set_windows_version(s, "win8").ok());
    EXPECT_EQ(opstest::first_line(opstest::run_in(library_->dir(), other, {"version"}).out), told(tool, "win8"));
    s.quit();
}

// The 32-bit build of the server reaches only the 32-bit view of a 64-bit
// prefix; it must refuse a global change rather than leave the views apart.
TEST_F(WindowsVersionOracle, The32BitServerRefusesAGlobalChangeAndSetsAProgramsOwn) {
    std::ifstream emulator("/proc/sys/fs/binfmt_misc/qemu-i386");
    if (emulator)
        GTEST_SKIP() << "32-bit programs run emulated here, minutes per start";
    struct stat st;
    if (stat(qv::default_wine32_loader().c_str(), &st) != 0)
        GTEST_SKIP() << "no 32-bit Wine here (" << qv::default_wine32_loader() << ")";
    qv::SessionOptions o = library_->session_options();
    o.launch.exe = qvtest::program32("qvmanip.exe");
    o.launch.wine = qv::default_wine32_loader();
    qv::Session s32(o);
    qv::Session s64(library_->session_options());
    ASSERT_TRUE(qv::set_windows_version(s64, "win8").ok());
    qv::Result<void> r = qv::set_windows_version(s32, "win10");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.failure->kind, qv::Failure::Kind::refused);
    EXPECT_NE(r.failure->message.find("32-bit"), std::string::npos) << r.error();
    for (const char* key : {"HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion",
                            "HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Microsoft\\Windows NT\\CurrentVersion"}) {
        const qv::RegFileValue* v = regedit_export(library_->dir(), key).find("CurrentVersion");
        ASSERT_NE(v, nullptr) << key;
        EXPECT_EQ(v->data, qv::utf8_to_utf16le("6.2") + std::string(2, '\0')) << key;
    }
    ASSERT_TRUE(qv::set_windows_version(s32, "win2003", "old32.exe").ok());
    qv::Result<qv::WindowsVersionReading> app = qv::windows_version(s64, "old32.exe");
    ASSERT_TRUE(app.ok());
    EXPECT_EQ(app->name, "win2003");
    s32.quit();
    s64.quit();
}

TEST_F(WindowsVersionOracle, UnknownVersionsAndBadAppNamesChangeNothing) {
    qv::Session s(library_->session_options());
    ASSERT_TRUE(qv::set_windows_version(s, "win81").ok());
    for (const char* bad : {"win12", "windows10", "", "win10 "}) {
        qv::Result<void> r = qv::set_windows_version(s, bad);
        ASSERT_FALSE(r.ok()) << bad;
        EXPECT_EQ(r.failure->kind, qv::Failure::Kind::refused);
        EXPECT_NE(r.failure->message.find("win10, win81"), std::string::npos) << r.error();
    }
    for (const char* app : {"dir\\game.exe", "a/b.exe", ".."}) {
        qv::Result<void> r = qv::set_windows_version(s, "win7", app);
        ASSERT_FALSE(r.ok()) << app;
        EXPECT_EQ(r.failure->kind, qv::Failure::Kind::refused);
    }
    qv::Result<qv::WindowsVersionReading> still = qv::windows_version(s);
    ASSERT_TRUE(still.ok());
    EXPECT_EQ(still->name, "win81");
    s.quit();
}

}  // namespace
