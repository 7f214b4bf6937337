// qvctl as a user runs it: typed commands in, readable answers out.
#include <gtest/gtest.h>

#include <string>

#include "support.h"

namespace {

qv::RunResult qvctl(std::vector<std::string> args) {
    qv::LaunchOptions o;
    o.wine = QV_QVCTL;  // a host program: "wine" is only what gets executed
    o.exe = "--prefix";
    args.insert(args.begin(), qvtest::prefix());
    o.args = args;
    return qv::run_program(o, qvtest::patience(qv::Millis(120000)));
}

TEST(Client, RegistryCommandsRoundTripThroughTheServer) {
    const std::string key = "HKCU\\Software\\QvTest\\Client";
    EXPECT_EQ(qvctl({"reg", "rm", key}).exit_code, 0);
    qv::RunResult set = qvctl({"reg", "set", key, "Count", "dword", "1f"});
    EXPECT_EQ(set.exit_code, 0) << set.err;
    EXPECT_EQ(set.out, "success\n");
    EXPECT_EQ(qvctl({"reg", "set", key, "Lines", "multi", "a b", "c\\d"}).exit_code, 0);
    qv::RunResult list = qvctl({"reg", "list", key});
    EXPECT_EQ(list.exit_code, 0) << list.err;
    EXPECT_EQ(list.out, "value Count type 4 1f000000\nvalue Lines type 7 \"a b\\x00c\\\\d\\x00\"\n");
    EXPECT_EQ(qvctl({"reg", "rm", key}).out, "success\n");
    qv::RunResult gone = qvctl({"reg", "list", key});
    EXPECT_EQ(gone.exit_code, 1);
    EXPECT_EQ(gone.err, "cannot open key: error 2\n");
}

TEST(Client, RawRequestsAndBadUsage) {
    qv::RunResult dir = qvctl({"request", "getwindowsdir"});
    EXPECT_EQ(dir.exit_code, 0) << dir.err;
    EXPECT_EQ(dir.out, "C:\\windows\n");
    EXPECT_EQ(qvctl({"reg", "set", "HKCU\\Software\\QvTest\\Client", "x", "nosuchtype", "1"}).exit_code, 1);
    EXPECT_EQ(qvctl({"nosuchcommand"}).exit_code, 2);
}

}  // namespace
