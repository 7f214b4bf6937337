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
constexpr int kSchemaVersion = 2;
// The version of `qvctl serve`'s protocol, in its hello line.
constexpr int kServeProtocol = 1;

// How a command ends early. kind is the error object's kind: "usage" and
// "refused" (exit 2: what was typed or given is wrong, refused before
// anything was sent), "environment" (exit 3), or "failed", "server",
// "win32" and "incomplete" (exit 1: the prefix refused or failed it, or
// qvctl declined it to keep the prefix whole); code the Win32 code, if any.
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
// An operation that failed, or that qvctl declined, with its reason in words:
// exit 1, kind "failed".
[[noreturn]] void failed(const std::string& message);
// The one guard, for the command line, batch and serve: inside a catch
// block, the Exit that the exception in flight means (an Exit as it is; the
// library's ServerGone and ProtocolError: exit 3). Anything else goes on.
Exit current_exit();
// The error object of the JSON results.
json error_json(const Exit& e);

struct Args {
    std::vector<std::string> pos;
    std::vector<std::pair<std::string, std::string>> opts;  // name, value ("" for flags)
    bool flag(const std::string& name) const;
    std::optional<std::string> value(const std::string& name) const;
};

struct Context;
struct Command;
// A handler receives its own row: its name and usage for messages.
using Handler = int (*)(Context&, const Command&, const Args&);

// How many words a command takes after its name, options aside; checked once,
// before the handler runs. With name_or_default, the word after KEY is the
// value NAME, which --default stands in for.
inline constexpr size_t kMany = SIZE_MAX;
struct Arity {
    size_t min = 0, max = 0;
    bool name_or_default = false;
};

// One row of the table: it drives dispatch, option parsing, the argument
// count and --help.
struct Command {
    std::string name;   // "reg get", "path", ...
    std::string usage;  // after "qvctl "
    std::string summary;  // one line for the overview
    std::string help;     // the full text
    std::vector<std::string> flags;       // options without a value ("-s", "--force")
    std::vector<std::string> with_value;  // options taking one
    Arity args;
    Handler run = nullptr;
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
// The help a command line asks for ("" the overview, "reg", "reg get"), or
// none: decided here alone, for the command line, batch and serve, before a
// prefix is looked for.
std::optional<std::string> help_topic(const std::vector<std::string>& words);

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

    // The prefix must exist and look like one: Wine would otherwise create
    // a new prefix there without a word.
    void check_prefix() const;
    // C: must be there for Wine to start programs: say how to restore it.
    void check_drive_c() const;
    void check_wine() const;
    // The session, its server running (the prefix's agent's where it can be
    // used): the one way a command gets one. A server that does not start is
    // an environment failure (exit 3).
    qv::Session& session();
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
// Parses the options of a command line as the row declares them, and
// checks the count of the other words against the row.
Args parse_args(const Command& c, const std::vector<std::string>& words, size_t from);

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
