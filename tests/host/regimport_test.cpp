// Importing .reg content: the plan (what is sent, what the platform's editor
// writes: only names with LF, what is refused before anything is sent) and its execution against
// a scripted stand-in for the server.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "qv/registry.h"
#include "qv/regtree.h"
#include "qv/text.h"
#include "scripted_server.h"

namespace {

using namespace std::string_literals;
using Op = qv::ImportStep::Op;

std::string sz(const std::string& utf8) { return qv::utf8_to_utf16le(utf8) + "\0\0"s; }

qv::RegFileValue value(const std::string& name, uint32_t type, const std::string& data) {
    return {name, false, type, data};
}
qv::RegFileValue removal(const std::string& name) { return {name, true, 0, ""}; }

std::vector<Op> ops(const qv::ImportPhase& phase) {
    std::vector<Op> out;
    for (const qv::ImportStep& s : phase.steps)
        out.push_back(s.op);
    return out;
}

TEST(ImportPlan, SendsEveryValueToTheServerInFileOrderAndOnlyNamesWithLfToTheEditor) {
    qv::RegFile f;
    f.keys = {
        {"HKEY_CURRENT_USER\\A", false,
         {value("d", qv::reg_dword, "\1\0\0\0"s), value("q", qv::reg_qword, "\1\2\3\4\5\6\7\x08"s),
          value("short", qv::reg_dword, "\1\2\3"s), value("l\nf", qv::reg_sz, sz("x")), removal("gone")}},
        {"HKCU\\Empty", false, {}},
        {"HKCU\\OnlyRemovals", false, {removal("x")}},
        {"HKCU\\B", true, {}},  // the editor's writes land before this
        {"HKCU\\A", false, {value("l\nf", qv::reg_qword, "\0\0\0\0\0\0\0\0"s), value("l\nf", qv::reg_dword, "\2\0\0\0"s)}},
    };
    qv::Result<qv::ImportPlan> planned = qv::plan_import(f, qv::RegView::native, "t");
    ASSERT_TRUE(planned) << planned.error();
    const qv::ImportPlan& plan = *planned;
    ASSERT_EQ(plan.phases.size(), 3u);
    EXPECT_EQ(ops(plan.phases[0]), (std::vector<Op>{Op::set, Op::set, Op::set, Op::delete_value, Op::create,
                                                    Op::create_cleanup, Op::delete_value, Op::create,
                                                    Op::create_cleanup}));
    EXPECT_EQ(plan.phases[0].steps[0].request.command, "setregkey");
    // Every type with its exact bytes, in one request each.
    EXPECT_NE(plan.phases[0].steps[1].request.args.find("\\nhex(b):01,02,03,04,05,06,07,08"), std::string::npos);
    EXPECT_NE(plan.phases[0].steps[2].request.args.find("\\nhex(4):01,02,03"), std::string::npos);
    EXPECT_EQ(plan.phases[0].steps[4].key, "HKCU\\Empty");
    EXPECT_EQ(plan.phases[0].steps[4].name, "qvctl-new-key-t-1");
    EXPECT_EQ(plan.phases[0].steps[5].name, "qvctl-new-key-t-1");
    ASSERT_EQ(plan.phases[0].editor.keys.size(), 1u);
    EXPECT_EQ(plan.phases[0].editor.keys[0].path, "HKEY_CURRENT_USER\\A");
    ASSERT_EQ(plan.phases[0].editor.keys[0].values.size(), 1u);
    EXPECT_EQ(plan.phases[0].editor.keys[0].values[0].name, "l\nf");
    // The delete, then the name with LF again for the editor; its second
    // write must follow the first, so it starts the third phase.
    EXPECT_EQ(ops(plan.phases[1]), (std::vector<Op>{Op::delete_tree}));
    ASSERT_EQ(plan.phases[1].editor.keys.size(), 1u);
    EXPECT_TRUE(plan.phases[2].steps.empty());
    ASSERT_EQ(plan.phases[2].editor.keys.size(), 1u);
    EXPECT_EQ(plan.keys, 4u);
    EXPECT_EQ(plan.units, 13u);
}

TEST(ImportPlan, RefusesBeforeSendingWhatTheEditorWouldChange) {
    // Only a name with LF goes to the editor, which cannot keep these as they are.
    const std::vector<qv::RegFileValue> refused = {
        value("o\ndd", qv::reg_sz, "A\0B"s),                // half a UTF-16 unit
        value("un\nended", qv::reg_expand_sz, "A\0B\0"s),   // the editor would add a NUL
        value("mul\nti", qv::reg_multi_sz, "A\0"s),
    };
    for (const qv::RegFileValue& v : refused) {
        qv::RegFile f;
        f.keys = {{"HKCU\\A", false, {value("fine", qv::reg_dword, "\1\0\0\0"s), v}}};
        qv::Result<qv::ImportPlan> plan = qv::plan_import(f, qv::RegView::native, "t");
        ASSERT_TRUE(plan.failure) << v.name;
        EXPECT_EQ(plan.failure->kind, qv::Failure::Kind::refused);
        EXPECT_NE(plan.failure->message.find("HKCU\\A: \"" + v.name + "\""), std::string::npos)
            << plan.failure->message;
    }
    qv::RegFile f;
    f.keys = {{"HKCC\\A", false, {}}};
    EXPECT_EQ(qv::plan_import(f, qv::RegView::native, "t").failure->kind, qv::Failure::Kind::refused);
    // The same data under plain names goes to the server, in both views too.
    f.keys = {{"HKCU\\A", false,
               {value("odd", qv::reg_sz, "A\0B"s), value("empty", qv::reg_sz, ""),
                value("nul inside", qv::reg_sz, "A\0\0\0B\0\0\0"s), value("multi", qv::reg_multi_sz, sz("a") + "\0\0\0\0"s),
                value("\n", qv::reg_sz, sz("x"))}}};
    qv::Result<qv::ImportPlan> plan = qv::plan_import(f, qv::RegView::both, "t");
    ASSERT_TRUE(plan) << plan.error();
    ASSERT_EQ(plan->phases.size(), 1u);
    EXPECT_EQ(ops(plan->phases[0]), (std::vector<Op>{Op::set, Op::set, Op::set, Op::set}));
    EXPECT_NE(plan->phases[0].steps[0].request.args.find("\\nhex(1):41,00,42"), std::string::npos);
    EXPECT_EQ(plan->phases[0].editor.keys.at(0).values.size(), 1u);
}

// Every listed key holds one value, "present"; writes succeed unless the name
// asks otherwise; the helper value that creates a bare key cannot be removed.
const char kScript[] =
    "printf 'QVMANIP OK\\n'\n"
    "echo start >>\"$QV_STARTS\"\n"
    "while IFS= read -r line; do\n"
    "  printf '%s\\n' \"$line\" >>\"$QV_LOG\"\n"
    "  case \"$line\" in\n"
    "    quit*) exit 0 ;;\n"
    "    getregkey*) printf '%s\\n\\nend\\n' 'value present\\0 4 01000000' ;;\n"
    "    setregkey*refuse*) printf 'error unable to set value\\nend\\n' ;;\n"
    "    rmregvalue*qvctl-new-key*) printf 'error unable to delete value\\nend\\n' ;;\n"
    "    rmregvalue*present*) printf 'errno 5\\nend\\n' ;;\n"
    "    rmregvalue*) printf 'errno 2\\nend\\n' ;;\n"
    "    *) printf 'success\\nend\\n' ;;\n"
    "  esac\n"
    "done\n";

class ImportRun : public ::testing::Test {
protected:
    std::vector<std::string> sent(const std::string& command) const {
        std::vector<std::string> out;
        for (const std::string& l : server_.lines("log"))
            if (l.rfind(command + " ", 0) == 0)
                out.push_back(l);
        return out;
    }
    hosttest::ScriptedServer server_{"import", kScript};
};

TEST_F(ImportRun, AHelperValueLeftBehindIsReportedWhereverItFallsInABatch) {
    // 255 values, then a bare key: its helper's removal is the first request
    // of the second batch of 256.
    qv::RegFile f;
    f.keys.push_back({"HKCU\\Full", false, {}});
    for (int i = 0; i < 255; i++)
        f.keys[0].values.push_back(value("v" + std::to_string(i), qv::reg_dword, "\1\0\0\0"s));
    f.keys.push_back({"HKCU\\Bare", false, {}});
    qv::Session session(server_.options);
    qv::Result<qv::TreeImport> r = qv::import_tree(session, f, qv::RegView::native);
    EXPECT_EQ(r->values_set, 255u);
    EXPECT_EQ(r->keys, 2u);
    ASSERT_TRUE(r.failure);
    EXPECT_EQ(r.failure->kind, qv::Failure::Kind::incomplete);
    ASSERT_EQ(r->failures.size(), 1u);
    EXPECT_NE(r->failures[0].find("HKCU\\Bare: \"qvctl-new-key-"), std::string::npos) << r->failures[0];
    EXPECT_NE(r->failures[0].find("could not remove the helper value"), std::string::npos) << r->failures[0];
}

TEST_F(ImportRun, BothViewsAreCheckedEachWithoutThrowingMidImport) {
    qv::RegFile f;
    f.keys = {{"HKCU\\A", false, {value("d", qv::reg_dword, "\1\0\0\0"s), removal("absent"), removal("present")}}};
    qv::Session session(server_.options);
    qv::Result<qv::TreeImport> r = qv::import_tree(session, f, qv::RegView::both);
    EXPECT_EQ(r->values_set, 1u);
    EXPECT_EQ(r->values_deleted, 1u);  // what was not there counts as deleted
    EXPECT_EQ(r->failures, (std::vector<std::string>{"HKCU\\A: \"present\": could not be deleted"}));
    std::vector<std::string> lists = sent("getregkey");
    EXPECT_NE(std::find(lists.begin(), lists.end(), "getregkey HKCU\\A"), lists.end());
    EXPECT_NE(std::find(lists.begin(), lists.end(), "getregkey 32\\HKCU\\A"), lists.end());
    EXPECT_EQ(sent("setregkey").at(0).rfind("setregkey 3264\\\\HKCU", 0), 0u) << sent("setregkey")[0];
}

TEST_F(ImportRun, FailuresNameTheValueAndTheRestIsWritten) {
    qv::RegFile f;
    f.keys = {{"HKCU\\A", false,
               {value("one", qv::reg_dword, "\1\0\0\0"s), value("refuse me", qv::reg_sz, sz("x")),
                value("two", qv::reg_binary, "\1"s)}}};
    qv::Session session(server_.options);
    qv::Result<qv::TreeImport> r = qv::import_tree(session, f, qv::RegView::native);
    EXPECT_EQ(r->values_set, 2u);
    EXPECT_EQ(r->failures, (std::vector<std::string>{"HKCU\\A: \"refuse me\": error unable to set value"}));
    ASSERT_TRUE(r.failure);
    EXPECT_EQ(r.failure->kind, qv::Failure::Kind::incomplete);
    EXPECT_NE(r.failure->message.find("1 entry of the file could not be written:\n  HKCU\\A: \"refuse me\""),
              std::string::npos)
        << r.failure->message;
}

TEST_F(ImportRun, ARefusedFileSendsNothing) {
    qv::RegFile f;
    f.keys = {{"HKCU\\A", false, {value("first", qv::reg_dword, "\1\0\0\0"s), value("o\ndd", qv::reg_sz, "A\0B"s)}}};
    qv::Session session(server_.options);
    qv::Result<qv::TreeImport> r = qv::import_tree(session, f, qv::RegView::native);
    ASSERT_TRUE(r.failure);
    EXPECT_EQ(r.failure->kind, qv::Failure::Kind::refused);
    EXPECT_NE(r.failure->message.find("\"o\ndd\""), std::string::npos) << r.failure->message;
    EXPECT_TRUE(server_.lines("log").empty());
}

}  // namespace
