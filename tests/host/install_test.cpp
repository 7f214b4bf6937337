// Locating an installation's Windows programs, and the default prefix.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "qv/install.h"
#include "scoped_env.h"

namespace {

using EnvVar = qvtest::ScopedEnv;

TEST(Install, ProgramsAreLocatedUnderTheRootPerArchitecture) {
    std::string root = "/tmp/qv-install-test-" + std::to_string(::getpid());
    qv::WindowsPrograms p64 = qv::installed_programs(qv::WindowsArch::x86_64, root + "/");
    qv::WindowsPrograms p32 = qv::installed_programs(qv::WindowsArch::i686, root);
    EXPECT_EQ(p64.dir, p32.dir.substr(0, p32.dir.size() - 4) + "x86_64");
    EXPECT_EQ(p64.qvmanip, p64.dir + "/qvmanip.exe");
    EXPECT_EQ(p32.qvaddprinter, p32.dir + "/qvaddprinter.exe");
    EXPECT_EQ(p64.dir.rfind(root + "/", 0), 0u) << p64.dir;  // one separator after the root
    EXPECT_EQ(p64.dir.find("//"), std::string::npos) << p64.dir;
    EXPECT_EQ(p64.ppd, p32.ppd);
    EXPECT_NE(p64.wine, p32.wine);

    // missing() names exactly the files that are not there.
    EXPECT_EQ(p64.missing().size(), 3u);
    ::mkdir(root.c_str(), 0755);
    std::string cmd = "mkdir -p '" + p64.dir + "' && touch '" + p64.qvmanip + "' && mkdir -p '" +
                      p64.qvaddprinter + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(p64.missing(), (std::vector<std::string>{p64.qvaddprinter, p64.ppd}));  // a folder is no program
    std::system(("rm -rf '" + root + "'").c_str());

    qv::SessionOptions s = qv::session_options(p32, "/some/prefix");
    EXPECT_EQ(s.launch.exe, p32.qvmanip);
    EXPECT_EQ(s.launch.wine, p32.wine);
    EXPECT_EQ(s.launch.prefix, "/some/prefix");
}

TEST(Install, RootAndPrefixComeFromTheEnvironmentFirst) {
    {
        EnvVar root("QVTOOLS_ROOT", "/opt/moved");
        EXPECT_EQ(qv::install_root(), "/opt/moved");
        EXPECT_EQ(qv::installed_programs().qvmanip.rfind("/opt/moved/", 0), 0u);
    }
    {
        EnvVar root("QVTOOLS_ROOT", "");
        EXPECT_EQ(qv::install_root(), qv::configured_install_root());
    }
    {
        EnvVar prefix("WINEPREFIX", "/p/x");
        EXPECT_EQ(qv::default_prefix(), "/p/x");
    }
    EnvVar prefix("WINEPREFIX", "");
    {
        EnvVar home("HOME", "/home/someone");
        EXPECT_EQ(qv::default_prefix(), "/home/someone/.wine");
    }
    EnvVar home("HOME", nullptr);
    EXPECT_THROW(qv::default_prefix(), std::runtime_error);
}

}  // namespace
