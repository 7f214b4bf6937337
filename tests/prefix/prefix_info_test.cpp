// Prefix facts in one call, each against a source of its own: the dosdevices
// links, system.reg's "#arch=", `winecfg -v`, the loader's --version and
// wine.inf's time, and the folders' existence on disk.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "files_support.h"
#include "prefixops_support.h"
#include "qv/info.h"

namespace {

TEST(PrefixInfo, EveryFactAgreesWithAnIndependentSource) {
    qv::Session session([] {
        qv::SessionOptions o;
        o.launch = qvtest::options_for(qvtest::program("qvmanip.exe"));
        return o;
    }());
    qv::Result<qv::PrefixInfo> info = qv::prefix_info(session);
    ASSERT_TRUE(info.ok()) << info.error();
    EXPECT_EQ(info->prefix, qvtest::prefix());

    // Windows version: what Wine's configuration tool says.
    EXPECT_EQ(info->windows_version.name, opstest::shown_version(qvtest::prefix()));

    // Architecture: the registry file's header.
    ASSERT_FALSE(qvtest::prefix_arch().empty());
    EXPECT_EQ(info->arch, qvtest::prefix_arch());
    EXPECT_EQ(info->processor, qvtest::prefix_arch() == "win64" ? "AMD64" : "x86");

    // The Wine that last updated it: the stamp file, and the Wine at hand
    // whose wine.inf has that time.
    EXPECT_EQ(info->update.stamp, opstest::first_line(opstest::read_file(qvtest::prefix() + "/.update-timestamp")));
    qv::LaunchOptions v;
    v.exe = "--version";
    qv::Result<qv::RunResult> version = qv::run_program(v, qv::Millis(30000));
    ASSERT_TRUE(version.ok());
    EXPECT_EQ(info->update.wine, opstest::first_line(version->out));
    struct stat st;
    ASSERT_EQ(stat("/usr/share/wine/wine.inf", &st), 0);
    EXPECT_EQ(info->update.by_this_wine, info->update.stamp == std::to_string(st.st_mtime));
    EXPECT_TRUE(info->update.by_this_wine) << "a clone of a prefix this Wine made";
    EXPECT_EQ(info->update.last_updated_by, info->update.wine);

    // Drives: every dosdevices link, no more.
    std::map<char, std::string> links = qvtest::dosdevice_drives();
    ASSERT_EQ(info->drives.size(), links.size());
    for (const qv::DriveMapping& d : info->drives)
        EXPECT_EQ(links[d.letter], d.target) << d.letter;
    EXPECT_EQ(links['C'], "../drive_c");

    // Folders: every one named, each an existing folder of the prefix.
    ASSERT_EQ(info->folders.size(), qv::prefix_folder_names().size());
    for (const qv::PrefixFolder& f : info->folders) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(f.windows_path.rfind("C:\\", 0), 0u) << f.windows_path;
        EXPECT_EQ(f.unix_path.rfind(qvtest::prefix() + "/dosdevices/c:/", 0), 0u) << f.unix_path;
        EXPECT_TRUE(qvtest::is_dir(f.unix_path)) << f.unix_path;
    }
    EXPECT_EQ(info->folders[0].windows_path, "C:\\windows");
    // Every program is told system32, a 32-bit one in a 64-bit prefix too;
    // its files lie where the redirection takes them.
    EXPECT_EQ(info->folders[1].windows_path, "C:\\windows\\system32");
    EXPECT_EQ(qvtest::real_path(info->folders[1].unix_path),
              qvtest::real_path(qvtest::prefix() + "/drive_c/windows/" + qvtest::server_system_folder()));
    session.quit();
}

TEST(PrefixInfo, AStampOfAnotherWineNamesNoVersion) {
    std::string dir = qvtest::prefix() + "-info-stamp";
    ASSERT_EQ(std::system(("mkdir -p '" + dir + "' && echo 1234 > '" + dir + "/.update-timestamp'").c_str()), 0);
    qv::WineUpdate u = qv::wine_update(dir);
    EXPECT_EQ(u.stamp, "1234");
    EXPECT_FALSE(u.wine.empty());
    EXPECT_FALSE(u.by_this_wine);
    EXPECT_EQ(u.last_updated_by, "");
    std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
