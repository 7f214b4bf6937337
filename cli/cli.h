#pragma once
// What every qvctl command shares: exit codes, failures, parsed arguments,
// the context holding the session, JSON output, and the command table.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "qv/failure.h"
#include "qv/server.h"
#include "qv/session.h"

namespace qvctl {

using json = nlohmann::ordered_json;

// The one exit-code rule: 2 what the user typed or gave is wrong, 1 the
// prefix refused or failed the operation, 3 the environment (no prefix, no
// Wine, the server did not start or died).
constexpr int kOk = 0, kFailed = 1, kUsage = 2, kEnvironment = 3;

// The version of the JSON results (schema/qvctl-result.schema.json).
constexpr int kSchemaVersion = 1;
// The version of `qvctl serve`'s protocol, in its hello line.
constexpr int kServeProtocol = 1;

// How a command ends early. kind is the error object's kind: "usage",
// "environment", or a library failure's kind; code the Win32 code, if any.
struct Exit {
    int code;
    std::string message;
    std::string kind;
    qv::Win32Code win32 = 0;
    bool emitted = false;  // the JSON result (with "ok": false) is out already
};
[[noreturn]] void usage_error(const std::string& message);
[[noreturn]] void environment_error(const std::string& message);
// A library failure in words, `what` naming what it was about. A refusal
// (input the wire cannot carry) is the user's input: exit 2; the rest 1.
[[noreturn]] void failed(const std::string& what, const qv::Failure& f);
[[noreturn]] void failed(const std::string& message);
// The error object of the JSON results.
json error_json(const Exit& e);

struct Args {
    std::vector<std::string> pos;
    std::vector<std::pair<std::string, std::string>> opts;  // name, value ("" for flags)
    bool flag(const std::string& name) const;
    std::optional<std::string> value(const std::string& name) const;
};

struct Context;
using Handler = int (*)(Context&, const Args&);

// One row of the table: it drives dispatch, option parsing and --help.
struct Command {
    std::string name;   // "reg get", "path", ...
    std::string usage;  // after "qvctl "
    std::string summary;  // one line for the overview
    std::string help;     // the full text
    std::vector<std::string> flags;       // options without a value ("-s", "--force")
    std::vector<std::string> with_value;  // options taking one
    Handler run = nullptr;
    bool needs_prefix = true;  // false: runs without a prefix (help-like)
};

// The table, assembled from the areas' parts.
const std::vector<Command>& commands();
std::vector<Command> registry_commands();
std::vector<Command> files_commands();
std::vector<Command> prefix_commands();
std::vector<Command> printer_commands();
std::vector<Command> session_commands();
std::vector<Command> agent_commands();
std::vector<Command> serve_commands();
// The row for the words at the start of a command line (the longest name
// that matches, so "reg get" before "reg"); *used is how many words it took.
const Command* find_command(const std::vector<std::string>& words, size_t* used);
// The row of that name (which must exist).
const Command& command_row(const std::string& name);

struct Context {
    qv::LaunchOptions launch;
    bool json = false;
    bool in_batch = false;
    size_t batch_line = 0;
    std::string command;  // the command running, for the JSON result
    bool serving = false;       // inside `serve`: results carry the request's id
    nlohmann::ordered_json request_id;  // that id (null when none could be read)
    int persist = -1;           // --persist; -1: QV_PERSIST, else the default
    std::string agent_program;  // the qvagent program
    std::unique_ptr<qv::Session> session_;

    // Seconds the prefix's agent stays after its last client; 0: no agent.
    int persist_seconds() const;
    void connect_agent(qv::SessionOptions o);

    // The prefix must exist and look like one: Wine would otherwise create
    // a new prefix there without a word.
    void check_prefix() const;
    // C: must be there for Wine to start programs: say how to restore it.
    void check_drive_c() const;
    void check_wine() const;
    qv::Session& session();
    // The session's server, started now so that a start that fails is told
    // apart from a call that fails.
    qv::Server& server();
};

// Prints a command's result: one JSON object per line with --json (with
// "command", "ok" and, in a batch, "line"), else the readable text.
void emit(Context& ctx, json result, const std::string& human, bool ok = true);
// A result that is a failure but carries what was obtained: printed, then
// the command ends with exit code `code`.
[[noreturn]] void emit_partial(Context& ctx, json result, const std::string& human, int code,
                               const std::string& message, const std::string& kind, qv::Win32Code win32 = 0);
// The failure of a whole command line, as its JSON result.
void emit_failure(Context& ctx, const Exit& e);
// No command: raw request lines from standard input.
int raw_mode(Context& ctx);
// JSON strings must be UTF-8: other bytes become U+FFFD and the exact bytes
// go beside the field as "<field>_hex".
void put_text(json& obj, const std::string& field, const std::string& bytes);

// Runs one command line (the words after the global options).
int run_words(Context& ctx, const std::vector<std::string>& words);
// Parses the options of a command line as the row declares them.
Args parse_args(const Command& c, const std::vector<std::string>& words, size_t from);
void need(const Args& a, size_t min, size_t max, const Command& c);

// Reads a whole file, "-" standard input; a usage error naming `what` when
// it cannot be read, or when standard input carries requests (`serve`).
std::string read_input(const std::string& file, const std::string& what);
void reserve_standard_input();

// A --help text: as it is, or with --json as the result of the command "help".
void print_help(Context& ctx, const std::string& topic);

// An absolute path for the server: it runs elsewhere, so a relative path
// would mean nothing to it.
std::string absolute(const std::string& path);

}  // namespace qvctl
