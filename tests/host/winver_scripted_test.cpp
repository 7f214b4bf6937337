// Setting the Windows version against a scripted stand-in for the server (no
// Wine): what is refused before writing, and that neither a refused write nor
// a write that does not read back passes for success.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "qv/session.h"
#include "qv/winver.h"

namespace {

// Logs every request; answers from the environment: SYSDIR for the Unix path
// of C:\windows\system32 (syswow64 for a 32-bit program in a 64-bit prefix),
// SET for writes, LISTING for every key listing.
const char kScript[] =
    "printf 'QVMANIP OK\\n'\n"
    "while IFS= read -r line; do\n"
    "  printf '%s\\n' \"$line\" >>\"$QV_LOG\"\n"
    "  case \"$line\" in\n"
    "    quit*) exit 0 ;;\n"
    "    unixpath*) printf 'path %s\\nend\\n' \"$SYSDIR\" ;;\n"
    "    setregkey*) printf '%s\\nend\\n' \"$SET\" ;;\n"
    "    rmregvalue*) printf 'error unable to delete value\\nend\\n' ;;\n"
    "    getregkey*) printf \"$LISTING\"; printf 'end\\n' ;;\n"
    "    *) printf 'error unknown\\nend\\n' ;;\n"
    "  esac\n"
    "done\n";

class ScriptedVersion : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = "/tmp/qv-winver-" + std::to_string(::getpid());
        ::mkdir(dir_.c_str(), 0755);
        std::ofstream(dir_ + "/server.sh") << kScript;
        std::remove(log().c_str());
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    qv::SessionOptions options(const std::string& sysdir, const std::string& set, const std::string& listing) {
        qv::SessionOptions o;
        o.launch.wine = "/bin/sh";
        o.launch.exe = dir_ + "/server.sh";
        o.launch.env = {{"QV_LOG", log()}, {"SYSDIR", sysdir}, {"SET", set}, {"LISTING", listing}};
        o.start_timeout = o.answer_timeout = qv::Millis(20000);
        return o;
    }
    std::string log() const { return dir_ + "/requests"; }
    std::string logged() const {
        std::ifstream in(log());
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string dir_;
};

TEST_F(ScriptedVersion, A32BitServerInA64BitPrefixIsRefusedBeforeAnyWrite) {
    qv::Session s(options("/p/dosdevices/c:/windows/syswow64", "success", "errno 2\\n"));
    qv::Result<void> r = qv::set_windows_version(s, "win10");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.failure->kind, qv::Failure::Kind::refused);
    EXPECT_NE(r.failure->message.find("32-bit"), std::string::npos) << r.error();
    EXPECT_EQ(logged(), "unixpath C:\\windows\\system32\n");
    // A program's own version lives under HKCU, which both views share.
    qv::Result<void> app = qv::set_windows_version(s, "win10", "game.exe");
    ASSERT_FALSE(app.ok());  // the stand-in lists nothing back
    EXPECT_EQ(app.failure->kind, qv::Failure::Kind::server);
    EXPECT_NE(logged().find("setregkey HKCU\\\\Software\\\\Wine\\\\AppDefaults\\\\game.exe\\nVersion\\nstr:win10"),
              std::string::npos)
        << logged();
    s.quit();
}

TEST_F(ScriptedVersion, AnUnknownVersionSendsNothing) {
    qv::Session s(options("/p/dosdevices/c:/windows/system32", "success", "errno 2\\n"));
    qv::Result<void> r = qv::set_windows_version(s, "win95");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.failure->kind, qv::Failure::Kind::refused);
    EXPECT_EQ(s.starts(), 0);
}

TEST_F(ScriptedVersion, ARefusedWriteIsAFailureNamingTheValue) {
    qv::Session s(options("/p/dosdevices/c:/windows/system32", "error unable to set registry value", "errno 2\\n"));
    qv::Result<void> r = qv::set_windows_version(s, "win7");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.failure->kind, qv::Failure::Kind::server);
    EXPECT_NE(r.failure->message.find("CurrentVersion \"CurrentVersion\""), std::string::npos) << r.error();
    // One batch: every write and every read-back was sent before the answers
    // were judged.
    std::string sent = logged();
    EXPECT_NE(sent.find("rmregvalue"), std::string::npos);
    EXPECT_NE(sent.find("getregkey 32\\HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion"), std::string::npos);
    s.quit();
}

TEST_F(ScriptedVersion, AWriteThatDoesNotReadBackIsAFailure) {
    // Every write answers success, but no key can be listed afterwards.
    qv::Session s(options("/p/dosdevices/c:/windows/system32", "success", "errno 2\\n"));
    qv::Result<void> r = qv::set_windows_version(s, "vista");
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.failure->message.find("missing after setting the Windows version"), std::string::npos) << r.error();
    s.quit();
}

}  // namespace
