// qvctl serve as a program in another language drives it: a hello, results
// in request order carrying their ids and equal to what --json prints for the
// same words, malformed lines answered without ending the stream, and
// answers flushed one by one for a coprocess.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <set>
#include <string>
#include <thread>
#include <unistd.h>

#include "client_support.h"

namespace {

using clienttest::lines;
using clienttest::qvctl;
using nlohmann::json;

const std::string kKey = "HKCU\\Software\\QvServeTest";

// A running `qvctl serve`, its output in a file.
struct Serve {
    explicit Serve(const std::string& out_file) : out(out_file) {
        qv::LaunchOptions o;
        o.wine = QV_QVCTL;  // a host program: "wine" is only what gets executed
        o.exe = "--prefix";
        o.args = {qvtest::prefix(), "serve"};
        o.stdout_path = out;
        o.stderr_path = out + ".err";
        child = qv::Peer::spawn(o);
    }
    ~Serve() {
        child.kill_now();
        unlink(out.c_str());
        unlink((out + ".err").c_str());
    }
    void send(const std::string& text) { ASSERT_TRUE(child.write_all(text)); }
    // Closes the input and returns the exit code.
    int finish() {
        child.close_input();
        return child.wait(qv::Clock::now() + qvtest::patience(qv::Millis(120000)));
    }
    // The output lines once there are at least n (or the patience is spent).
    std::vector<std::string> wait_lines(size_t n) {
        auto deadline = qv::Clock::now() + qvtest::patience(qv::Millis(120000));
        std::vector<std::string> l;
        while ((l = lines(clienttest::read_file(out))).size() < n && qv::Clock::now() < deadline)
            std::this_thread::sleep_for(qv::Millis(2));
        return l;
    }
    std::string out;
    qv::Peer child;
};

json request(const json& id, const std::vector<std::string>& argv) { return json{{"id", id}, {"argv", argv}}; }

// Every line checked against one definition of the schema; the numbers of
// the lines it found wrong.
std::set<int> schema_rejects(const std::string& text, const std::string& definition) {
    std::string file = clienttest::scratch("requests");
    clienttest::write_file(file, text);
    qv::LaunchOptions o;
    o.wine = "/usr/bin/python3";
    o.exe = QV_SOURCE_DIR "/tests/support/check_json.py";
    o.args = {"--definition", definition, QV_SOURCE_DIR "/schema/qvctl-result.schema.json", file};
    qv::RunResult r = qv::run_program(o, qv::Millis(60000)).value;
    unlink(file.c_str());
    std::set<int> bad;
    for (const std::string& l : lines(r.out))
        if (l.rfind("line ", 0) == 0)
            bad.insert(std::stoi(l.substr(5)));
    return bad;
}

TEST(ClientServe, PipelinedRequestsGetWhatTheCommandLineGivesInOrderWithTheirIds) {
    qvctl({"reg", "rm", kKey});
    // Words as a shell would pass them, the ids of every allowed type.
    const std::vector<std::pair<json, std::vector<std::string>>> requests = {
        {1, {"reg", "set", kKey, "Text", "sz", "one\ntwo"}},
        {"two", {"reg", "set", kKey, "Big", "qword", "18446744073709551615"}},
        {3.5, {"reg", "get", kKey}},
        {nullptr, {"reg", "get", kKey, "Big"}},
        {5, {"path", "unix", "C:\\windows\\", "C:\\nowhere"}},
        {6, {"reg", "get", kKey + "\\Missing"}},  // fails: exit 1
        {7, {"reg", "get"}},                      // usage: exit 2
        {8, {"reg", "get", "--help"}},            // help as a result, never sent
        {9, {"--json", "dir", "windows"}},        // --json is implied
        {10, {"--", "folder", "appdata"}},
    };
    std::string in;
    for (auto& [id, argv] : requests)
        in += request(id, argv).dump() + "\n";
    EXPECT_TRUE(schema_rejects(in, "serve request").empty()) << in;

    Serve serve(clienttest::scratch("out"));
    serve.send(in);
    ASSERT_EQ(serve.finish(), 0) << clienttest::read_file(serve.out + ".err");
    std::string text = clienttest::read_file(serve.out);
    clienttest::expect_schema_valid(text);
    std::vector<std::string> out = lines(text);
    ASSERT_EQ(out.size(), requests.size() + 1) << text;

    json hello = json::parse(out[0]);
    EXPECT_EQ(hello["command"], "serve");
    EXPECT_EQ(hello["ok"], true);
    EXPECT_EQ(hello["protocol"], 1);
    EXPECT_FALSE(hello.contains("id"));

    for (size_t i = 0; i < requests.size(); i++) {
        json got = json::parse(out[i + 1]);
        EXPECT_EQ(got["id"], requests[i].first) << out[i + 1];
        got.erase("id");
        // The same words on the command line give the same object.
        std::vector<std::string> argv = requests[i].second;
        qv::RunResult shell = qvctl(argv, {"--prefix", qvtest::prefix(), "--json"});
        std::vector<std::string> shell_lines = lines(shell.out);
        ASSERT_EQ(shell_lines.size(), 1u) << shell.out << shell.err;
        EXPECT_EQ(got, json::parse(shell_lines[0])) << "request " << i;
        EXPECT_EQ(shell.exit_code, got.value("exit", 0)) << shell.out;
    }
    // The write went through, and its exact data came back.
    EXPECT_EQ(json::parse(out[4])["value"]["data"], "18446744073709551615");
    EXPECT_EQ(json::parse(out[6])["exit"], 1);
    EXPECT_EQ(json::parse(out[7])["exit"], 2);
    qvctl({"reg", "rm", kKey});
}

TEST(ClientServe, MalformedLinesGetAnErrorObjectAndTheStreamGoesOn) {
    // Each line with the id its answer must carry; blank lines get none.
    const std::vector<std::pair<std::string, json>> input = {
        {"not json at all", nullptr},
        {"[\"reg\", \"get\"]", nullptr},
        {"{\"id\": 3}", 3},
        {"{\"id\": 4, \"argv\": [\"reg\", 4]}", 4},
        {"{\"id\": {\"n\": 5}, \"argv\": [\"dir\", \"windows\"]}", nullptr},
        {"{\"id\": 6, \"argv\": [\"dir\", \"windows\"], \"env\": {}}", 6},
        {"{\"id\": 7, \"argv\": []}", 7},
        {"   ", nullptr},
        {"{\"id\": 9, \"argv\": [\"batch\", \"-\"]}", 9},
        {"{\"id\": 10, \"argv\": [\"reg\", \"import\", \"-\"]}", 10},
        {"{\"id\": 11, \"argv\": [\"--prefix=/tmp\", \"dir\", \"windows\"]}", 11},
        {"{\"id\": 12, \"argv\": [\"serve\"]}", 12},
        {"{\"id\": 13, \"argv\": [\"dir\", \"windows\"]}", 13},
        {"{\"id\": 14, \"argv\": [\"dir\", \"windows\"]", nullptr},  // the end cut off
        {"{\"id\": 1e400, \"argv\": [\"dir\", \"windows\"]}", nullptr},   // no double holds it
        {"{\"id\": 18446744073709551616, \"argv\": [\"dir\", \"windows\"]}", nullptr},
        {"{\"id\": 18446744073709551615, \"argv\": [\"dir\", \"windows\"]}", 18446744073709551615ull},
        // A raw NUL would end the server's line before it: never sent.
        {"{\"id\": 18, \"argv\": [\"request\", \"rmregtree\", " + json(kKey + '\0' + "\\Sub").dump() + "]}", 18},
    };
    std::string in;
    for (auto& line : input)
        in += line.first + "\n";
    // The schema's view of a request is the server's: it rejects what serve
    // rejects (lines 9 to 13 and 15 to 18 are requests; serve refuses 9 to
    // 12, 15, 16 and 18 by their words).
    EXPECT_EQ(schema_rejects(in, "serve request"), (std::set<int>{1, 2, 3, 4, 5, 6, 7, 8, 14}));
    ASSERT_EQ(qvctl({"reg", "set", kKey, "Kept", "sz", "1"}).exit_code, 0);

    Serve serve(clienttest::scratch("out"));
    serve.send(in);
    ASSERT_EQ(serve.finish(), 0);
    std::string text = clienttest::read_file(serve.out);
    clienttest::expect_schema_valid(text);
    std::vector<std::string> out = lines(text);
    ASSERT_EQ(out.size(), input.size()) << text;  // the hello, and no answer to the blank line
    size_t k = 1;
    for (size_t i = 0; i < input.size(); i++) {
        if (input[i].first.find_first_not_of(' ') == std::string::npos)
            continue;
        json got = json::parse(out[k++]);
        EXPECT_EQ(got["id"], input[i].second) << got.dump();
        bool valid = i == 12 || i == 16;
        EXPECT_EQ(got["ok"], valid) << got.dump();
        if (!valid) {
            EXPECT_EQ(got["exit"], 2) << got.dump();
            EXPECT_EQ(got["error"]["kind"], "usage") << got.dump();
        }
    }
    EXPECT_NE(out[1].find("request line 1: not JSON"), std::string::npos) << out[1];
    EXPECT_NE(out[6].find("unknown member \\\"env\\\""), std::string::npos) << out[6];
    EXPECT_NE(out[9].find("standard input carries the requests"), std::string::npos) << out[9];
    EXPECT_NE(out[14].find("not JSON: number overflow"), std::string::npos) << out[14];
    EXPECT_NE(out[15].find("beyond 64 bits"), std::string::npos) << out[15];
    EXPECT_NE(out[17].find("raw NUL"), std::string::npos) << out[17];
    EXPECT_EQ(qvctl({"reg", "get", kKey, "Kept"}).exit_code, 0) << "the key was deleted";
    qvctl({"reg", "rm", kKey});
}

TEST(ClientServe, AnswersOneAtATimeForACoprocessThroughTheAgent) {
    Serve serve(clienttest::scratch("out"));
    ASSERT_EQ(serve.wait_lines(1).size(), 1u) << "no hello before the first request";
    // Each answer must arrive before the next request is written.
    serve.send(request(1, {"dir", "windows"}).dump() + "\n");
    ASSERT_EQ(serve.wait_lines(2).size(), 2u) << "the answer waited for more input";
    serve.send(request(2, {"agent", "status"}).dump() + "\n");
    std::vector<std::string> out = serve.wait_lines(3);
    ASSERT_EQ(out.size(), 3u);
    json status = json::parse(out[2]);
    EXPECT_EQ(status["running"], true) << out[2];
    EXPECT_GE(status["other_clients"].get<int>(), 1) << "serve is not the agent's client: " << out[2];
    EXPECT_EQ(serve.finish(), 0);
    clienttest::expect_schema_valid(clienttest::read_file(serve.out));
}

}  // namespace
