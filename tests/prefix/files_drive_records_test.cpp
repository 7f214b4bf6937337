// The drive commands against a scripted mount manager (fs_units.exe): both
// record layouts, request sizes, the scan's rules, replies that do not hold
// together, and heap shortages. The real mount manager is in files_drives_test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support.h"

namespace {

struct Outcome {
    std::string answer;
    std::string requests;  // what the device saw, ";"-separated
};

class FakeDevice {
public:
    FakeDevice() : program_("fs_units.exe") {}

    Outcome run(const std::string& layout, const std::string& quirk, const std::string& drives,
                const std::string& command, const std::string& args = "", int fail_alloc = 0) {
        std::string item = program_.ask_through(
            layout + " " + quirk + " " + drives + " " + std::to_string(fail_alloc) + " " + command + " " + args, "#end");
        const std::string end = "\n#end";
        if (item.size() < end.size() || item.compare(item.size() - end.size(), end.size(), end) != 0)
            return {item, ""};  // the program's own words on why there is no answer
        item.erase(item.size() - end.size());
        size_t mark = item.rfind("\n#");
        if (mark == std::string::npos)
            return {"<bad output>", item};
        return {item.substr(0, mark), item.substr(mark + 2)};
    }

private:
    qvtest::LineProgram program_;
};

// "q16:A;q16:B;..." for the letters from first to last.
std::string queries(int size, char first, char last) {
    std::string out;
    for (char c = first; c <= last; c++)
        out += (out.empty() ? "" : ";") + std::string("q") + std::to_string(size) + ":" + c;
    return out;
}

TEST(DriveRecords, LayoutIsChosenFromTheFirstQueryAndKeptForTheCommand) {
    FakeDevice d;
    // The 16-byte record taken: every request uses it, the define carries the
    // path at offset 16 in the 1024-byte buffer.
    Outcome v1 = d.run("v1", "none", "C=../drive_c,Z=/", "adddrive", "/some/dir");
    EXPECT_EQ(v1.answer, "drive Y");
    EXPECT_EQ(v1.requests, queries(16, 'A', 'Z') + ";d1024:Y:t0:o16:s1024:/some/dir");
    // Refused with 87: one refused query, then the 32-byte record throughout.
    Outcome v2 = d.run("v2", "none", "C=../drive_c,Z=/", "adddrive", "/some/dir");
    EXPECT_EQ(v2.answer, "drive Y");
    EXPECT_EQ(v2.requests, "q16:refused;" + queries(32, 'A', 'Z') + ";d1024:Y:t0:o32:s1024:/some/dir");

    // Removal: type 1, no strings, the letter as typed; the 32-byte record only
    // after the 16-byte one was refused.
    EXPECT_EQ(d.run("v1", "none", "C=x", "rmdrive", "c").requests, "r16:c:t1:s16");
    Outcome rm2 = d.run("v2", "none", "C=x", "rmdrive", "C:");
    EXPECT_EQ(rm2.answer, "");
    EXPECT_EQ(rm2.requests, "d16:refused;r32:C:t1:s32");
    EXPECT_EQ(d.run("v2", "none", "-", "rmdrive", "q").answer, "errno 433");
}

TEST(DriveRecords, DefineBufferGrowsOnlyForLongPaths) {
    FakeDevice d;
    // 16-byte record: 16 + length + 1 > 1024 from 1008 bytes on.
    std::string p1007 = "/" + std::string(1006, 'p'), p1008 = "/" + std::string(1007, 'p');
    EXPECT_EQ(d.run("v1", "none", "-", "adddrive", p1007).requests, queries(16, 'A', 'Z') + ";d1024:Z:t0:o16:s1024:len1007");
    EXPECT_EQ(d.run("v1", "none", "-", "adddrive", p1008).requests, queries(16, 'A', 'Z') + ";d1025:Z:t0:o16:s1025:len1008");
    // 32-byte record: from 992 bytes on.
    std::string p991 = "/" + std::string(990, 'p'), p992 = "/" + std::string(991, 'p');
    EXPECT_EQ(d.run("v2", "none", "-", "adddrive", p991).requests,
              "q16:refused;" + queries(32, 'A', 'Z') + ";d1024:Z:t0:o32:s1024:len991");
    EXPECT_EQ(d.run("v2", "none", "-", "adddrive", p992).requests,
              "q16:refused;" + queries(32, 'A', 'Z') + ";d1025:Z:t0:o32:s1025:len992");
}

TEST(DriveRecords, ScanStopsAtTheLowestMatchAndTakesTheHighestFreeLetter) {
    FakeDevice d;
    Outcome match = d.run("v1", "none", "C=../drive_c,D=/x,F=/x,Z=/", "adddrive", "/x");
    EXPECT_EQ(match.answer, "");
    EXPECT_EQ(match.requests, queries(16, 'A', 'D'));
    // No normalisation: "/x/" is not "/x", and matching is case-sensitive.
    EXPECT_EQ(d.run("v1", "none", "D=/x,Z=/", "adddrive", "/x/").answer, "drive Y");
    EXPECT_EQ(d.run("v1", "none", "D=/x,Z=/", "adddrive", "/X").answer, "drive Y");

    std::string all_but_a, all_but_ab, all;
    for (char c = 'A'; c <= 'Z'; c++) {
        std::string item = std::string(1, c) + "=/m" + c;
        all += (all.empty() ? "" : ",") + item;
        if (c > 'A')
            all_but_a += (all_but_a.empty() ? "" : ",") + item;
        if (c > 'B')
            all_but_ab += (all_but_ab.empty() ? "" : ",") + item;
    }
    EXPECT_EQ(d.run("v1", "none", all_but_a, "adddrive", "/new").answer, "drive A");
    EXPECT_EQ(d.run("v1", "none", all_but_ab, "adddrive", "/new").answer, "drive B");
    Outcome full = d.run("v1", "none", all, "adddrive", "/new");
    EXPECT_EQ(full.answer, "error no free drive letters");
    EXPECT_EQ(full.requests, queries(16, 'A', 'Z'));  // nothing defined
}

TEST(DriveRecords, MoreDataGrowsTheReplyButIsBounded) {
    FakeDevice d;
    // A real growth: C's reply needs more than 1024 bytes, C is asked again.
    std::string long_path = "/" + std::string(1500, 'l');
    Outcome grown = d.run("v1", "none", "C=" + long_path, "adddrive", long_path);
    EXPECT_EQ(grown.answer, "");
    EXPECT_EQ(grown.requests, "q16:A;q16:B;q16:C;q16:C");

    // A needed size that does not grow, or growth without end: "errno 234",
    // nothing defined.
    Outcome same = d.run("v1", "nogrow", "C=x", "adddrive", "/a");
    EXPECT_EQ(same.answer, "errno 234");
    EXPECT_EQ(same.requests, "q16:A;q16:B;q16:C");
    // ERROR_MORE_DATA without a size in the reply.
    Outcome silent = d.run("v1", "silentgrow", "C=x", "adddrive", "/a");
    EXPECT_EQ(silent.answer, "errno 234");
    EXPECT_EQ(silent.requests, "q16:A;q16:B;q16:C");
    Outcome endless = d.run("v2", "growforever", "C=x", "adddrive", "/a");
    EXPECT_EQ(endless.answer, "errno 234");
    EXPECT_EQ(endless.requests, "q16:refused;q32:A;q32:B;q32:C;q32:C;q32:C;q32:C;q32:C");
}

TEST(DriveRecords, RepliesThatDoNotHoldTogetherNeverMatchNorCountAsFree) {
    FakeDevice d;
    // D maps /a, but its reply is broken: D is then neither a match nor free.
    for (const char* quirk : {"badoffset", "nonul", "shortreply", "shortsize"}) {
        for (const char* layout : {"v1", "v2"}) {
            Outcome o = d.run(layout, quirk, "D=/a,Z=/", "adddrive", "/a");
            EXPECT_EQ(o.answer, "drive Y") << quirk << " " << layout;
        }
    }
    std::string all_but_d;
    for (char c = 'A'; c <= 'Z'; c++)
        if (c != 'D')
            all_but_d += (all_but_d.empty() ? "" : ",") + std::string(1, c) + "=/m" + c;
    EXPECT_EQ(d.run("v1", "badoffset", "D=/a," + all_but_d, "adddrive", "/a").answer, "error no free drive letters");
}

TEST(DriveRecords, BadArgumentsAreRefusedBeforeTheDeviceIsOpened) {
    FakeDevice d;
    for (const std::string arg : {"A", "a", "Z", "z", "", "1", "@", "[", "`", "{", ":", "\xc3\x89"}) {
        Outcome o = d.run("v1", "none", "B=/b,Y=/y", "rmdrive", arg);
        EXPECT_EQ(o.answer, "error invalid drive letter") << "\"" << qvtest::shown(arg) << "\"";
        EXPECT_EQ(o.requests, "") << "\"" << qvtest::shown(arg) << "\"";
    }
    for (const std::string arg : {"B", "b", "C:", "c", "Y", "y:", "Yes"}) {
        Outcome o = d.run("v1", "none", "B=/b,C=/c,Y=/y", "rmdrive", arg);
        EXPECT_EQ(o.answer, "") << arg;
        EXPECT_EQ(o.requests, "r16:" + arg.substr(0, 1) + ":t1:s16") << arg;
    }
    // An empty path would be "defined" as nothing: refused before the device.
    Outcome empty = d.run("v1", "none", "-", "adddrive", "");
    EXPECT_EQ(empty.answer, "errno 87");
    EXPECT_EQ(empty.requests, "");
    // A device that cannot be opened: its error, for both commands.
    EXPECT_EQ(d.run("v1", "nodevice", "-", "rmdrive", "c").answer, "errno 2");
    EXPECT_EQ(d.run("v1", "nodevice", "-", "adddrive", "/a").answer, "errno 2");
}

TEST(DriveRecords, HeapShortagesGiveErrorAnswersAndReleaseTheDevice) {
    FakeDevice d;
    // The handler's first allocation is the reply buffer.
    Outcome first = d.run("v1", "none", "C=x", "adddrive", "/a", 1);
    EXPECT_EQ(first.answer, "errno 8");
    EXPECT_EQ(first.requests, "");
    // The define buffer for a long path.
    Outcome define = d.run("v1", "none", "C=x", "adddrive", "/" + std::string(2000, 'q'), 2);
    EXPECT_EQ(define.answer, "errno 8");
    EXPECT_EQ(define.requests, queries(16, 'A', 'Z'));
    // The grown reply buffer.
    std::string long_path = "/" + std::string(1500, 'l');
    Outcome grown = d.run("v1", "none", "C=" + long_path, "adddrive", "/a", 2);
    EXPECT_EQ(grown.answer, "errno 8");
    EXPECT_EQ(grown.requests, "q16:A;q16:B;q16:C");
}

TEST(DriveRecords, OtherFileCommandsAnswerInTheirOwnStyleWhenTheHeapFails) {
    FakeDevice d;
    struct Case {
        std::string command, args;
        std::vector<std::string> failures;  // answers for a failing 1st, 2nd, ... allocation
    };
    const std::vector<Case> cases = {
        {"unixpath", "C:\\windows\\no such\\dir", {"error", "error"}},
        {"windowspath", "/tmp", {"error cannot convert path"}},
        {"findfiles", "-1 C:\\windows\\*", {"errno 8", "errno 8"}},
        {"getexpandedstr", "appdata", {""}},
        {"getexpandedstr", "programs", {""}},
        {"getsystemdir", "", {""}},
    };
    for (const Case& c : cases) {
        std::string normal = d.run("v1", "none", "-", c.command, c.args).answer;
        ASSERT_FALSE(normal.empty()) << c.command << " " << c.args;
        for (size_t n = 1; n <= c.failures.size(); n++)
            EXPECT_EQ(d.run("v1", "none", "-", c.command, c.args, static_cast<int>(n)).answer, c.failures[n - 1])
                << c.command << " " << c.args << ", allocation " << n;
        // Still serving, and the next request is whole again.
        EXPECT_EQ(d.run("v1", "none", "-", c.command, c.args).answer, normal);
    }
}

}  // namespace
