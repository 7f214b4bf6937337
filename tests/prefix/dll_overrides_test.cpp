// DLL overrides: what the library writes is what `wine64 reg query` shows, and
// what Wine then loads (+loaddll) follows it, for every program or for one.
#include <gtest/gtest.h>

#include "prefixops_support.h"
#include "qv/dlls.h"
#include "registry_support.h"

namespace {

// A DLL that Wine has a builtin copy of and that a console program does not
// load by itself; the test folder holds a non-Wine DLL of that name.
const char* kDll = "msimg32";

struct Load {
    std::string answer;  // osprobe's line
    std::string trace;   // the +loaddll line for the DLL, or empty
};

Load load_in(const std::string& exe) {
    qv::RunResult r = opstest::run_in(qvtest::prefix(), exe, {"load", std::string(kDll) + ".dll"},
                                      {{"WINEDEBUG", "-all,+loaddll"}});
    Load l{opstest::first_line(r.out), {}};
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);)
        if (line.find("Loaded") != std::string::npos && line.find(std::string(kDll) + ".dll") != std::string::npos)
            l.trace = opstest::first_line(line);
    return l;
}

// Wine names a builtin DLL after the file it stands in for, so the path is
// the test folder's either way; the log and the module's exports tell.
bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}
bool loaded_native(const Load& l) {
    return ends_with(l.answer, "\\dllprobe\\msimg32.dll test-dll yes") && ends_with(l.trace, ": native");
}
bool loaded_builtin(const Load& l) {
    return ends_with(l.answer, "msimg32.dll test-dll no") && ends_with(l.trace, ": builtin");
}

class DllOverrides : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = qvtest::start_server();
        clear();
    }
    void TearDown() override {
        clear();
        server_.quit();
    }
    void clear() {
        (void)qv::delete_value(server_, qv::dll_overrides_key(), kDll);
        (void)qv::delete_tree(server_, "HKCU\\Software\\Wine\\AppDefaults\\dllgame.exe");
    }
    std::string reg_line(const std::string& key) {
        std::string out = regtest::reg_query(key, "64");
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);)
            if (line.find(std::string("    ") + kDll + "    ") == 0)
                return opstest::first_line(line);
        return "<no " + std::string(kDll) + " in>\n" + out;
    }
    qv::Server server_;
};

TEST_F(DllOverrides, EveryModeIsStoredAsWineReadsItAndDecidesWhatLoads) {
    std::string exe = opstest::place_probe(qvtest::prefix(), "dllprobe", "plain.exe", std::string(kDll) + ".dll");
    struct Case {
        qv::DllMode mode;
        const char* stored;
        bool (*loads)(const Load&);
    };
    const Case cases[] = {
        {qv::DllMode::native, "native", loaded_native},
        {qv::DllMode::builtin, "builtin", loaded_builtin},
        {qv::DllMode::native_builtin, "native,builtin", loaded_native},
        {qv::DllMode::builtin_native, "builtin,native", loaded_builtin},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored);
        ASSERT_TRUE(qv::set_dll_override(server_, kDll, c.mode).ok());
        EXPECT_EQ(reg_line("HKCU\\Software\\Wine\\DllOverrides"), std::string("    ") + kDll + "    REG_SZ    " + c.stored);
        Load l = load_in(exe);
        EXPECT_TRUE(c.loads(l)) << l.answer << "\n" << l.trace;
        qv::Result<qv::DllOverride> got = qv::dll_override(server_, std::string(kDll) + ".DLL");
        ASSERT_TRUE(got.ok()) << got.error();
        EXPECT_EQ(got->text, c.stored);
        EXPECT_EQ(got->mode, c.mode);
    }
    // Disabled: an empty text, and the DLL is not loaded at all.
    ASSERT_TRUE(qv::set_dll_override(server_, kDll, "disabled").ok());
    EXPECT_EQ(reg_line("HKCU\\Software\\Wine\\DllOverrides"), std::string("    ") + kDll + "    REG_SZ");
    Load off = load_in(exe);
    EXPECT_EQ(off.answer.rfind("failed ", 0), 0u) << off.answer;
    EXPECT_EQ(off.trace, "");
    qv::Result<qv::DllOverride> got = qv::dll_override(server_, kDll);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(got->text, "");
    EXPECT_EQ(got->mode, qv::DllMode::disabled);
}

TEST_F(DllOverrides, AProgramsOwnOverrideWinsForItAlone) {
    std::string game = opstest::place_probe(qvtest::prefix(), "dllprobe", "dllgame.exe", std::string(kDll) + ".dll");
    std::string plain = opstest::place_probe(qvtest::prefix(), "dllprobe", "plain.exe");
    ASSERT_TRUE(qv::set_dll_override(server_, kDll, "builtin").ok());
    ASSERT_TRUE(qv::set_dll_override(server_, kDll, "native", "dllgame.exe").ok());
    EXPECT_EQ(reg_line("HKCU\\Software\\Wine\\AppDefaults\\dllgame.exe\\DllOverrides"),
              std::string("    ") + kDll + "    REG_SZ    native");
    Load g = load_in(game);
    EXPECT_TRUE(loaded_native(g)) << g.answer << "\n" << g.trace;
    Load p = load_in(plain);
    EXPECT_TRUE(loaded_builtin(p)) << p.answer << "\n" << p.trace;

    qv::Result<std::vector<qv::DllOverride>> app = qv::dll_overrides(server_, "dllgame.exe");
    ASSERT_TRUE(app.ok()) << app.error();
    ASSERT_EQ(app->size(), 1u);
    EXPECT_EQ((*app)[0].dll, kDll);
    EXPECT_EQ((*app)[0].mode, qv::DllMode::native);
}

TEST_F(DllOverrides, ListGetAndRemove) {
    ASSERT_TRUE(qv::set_dll_override(server_, "msimg32.dll", "n,b").ok());
    qv::Result<std::vector<qv::DllOverride>> all = qv::dll_overrides(server_);
    ASSERT_TRUE(all.ok()) << all.error();
    bool seen = false;
    for (const qv::DllOverride& o : *all)
        if (o.dll == kDll) {
            seen = true;
            EXPECT_EQ(o.text, "native,builtin");
        }
    EXPECT_TRUE(seen);
    // A text another tool wrote is listed as it is, without a mode.
    ASSERT_TRUE(qv::set_string(server_, qv::dll_overrides_key(), kDll, "native, builtin").ok());
    qv::Result<qv::DllOverride> odd = qv::dll_override(server_, kDll);
    ASSERT_TRUE(odd.ok());
    EXPECT_EQ(odd->text, "native, builtin");
    EXPECT_FALSE(odd->mode.has_value());

    ASSERT_TRUE(qv::remove_dll_override(server_, kDll).ok());
    EXPECT_NE(reg_line("HKCU\\Software\\Wine\\DllOverrides").find("<no msimg32 in>"), std::string::npos);
    qv::Result<qv::DllOverride> gone = qv::dll_override(server_, kDll);
    ASSERT_FALSE(gone.ok());
    EXPECT_TRUE(gone.failure->is(qv::kFileNotFound));
    qv::Result<void> again = qv::remove_dll_override(server_, kDll);
    ASSERT_FALSE(again.ok());
    EXPECT_TRUE(again.failure->is(qv::kFileNotFound));
    // A program without overrides has an empty list, not a failure.
    qv::Result<std::vector<qv::DllOverride>> none = qv::dll_overrides(server_, "nosuchgame.exe");
    ASSERT_TRUE(none.ok()) << none.error();
    EXPECT_TRUE(none->empty());
}

TEST_F(DllOverrides, UnknownModesAreRefusedAndChangeNothing) {
    ASSERT_TRUE(qv::set_dll_override(server_, kDll, qv::DllMode::builtin).ok());
    for (const char* mode : {"nativ", "native, builtin", "builtin;native", "default", "native,builtin,native", "n b"}) {
        qv::Result<void> r = qv::set_dll_override(server_, kDll, std::string_view(mode));
        ASSERT_FALSE(r.ok()) << mode;
        EXPECT_EQ(r.failure->kind, qv::Failure::Kind::refused);
        EXPECT_NE(r.failure->message.find("use native, builtin"), std::string::npos) << r.error();
    }
    for (const char* dll : {"", ".dll"}) {
        qv::Result<void> r = qv::set_dll_override(server_, dll, qv::DllMode::native);
        ASSERT_FALSE(r.ok()) << dll;
        EXPECT_EQ(r.failure->kind, qv::Failure::Kind::refused);
    }
    EXPECT_EQ(reg_line("HKCU\\Software\\Wine\\DllOverrides"), std::string("    ") + kDll + "    REG_SZ    builtin");
}

}  // namespace
