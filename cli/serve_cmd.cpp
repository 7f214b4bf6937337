// serve: qvctl as a coprocess for programs in any language. JSON lines on
// standard input and output: a hello, then for each request line
// {"id": ..., "argv": [...]} the result --json prints for those words, with
// the request's id. The words go through the same table and handlers as the
// command line and batch, so the three cannot drift apart.
#include <cmath>
#include <iostream>

#include "cli.h"

namespace qvctl {

namespace {

// Options of qvctl itself: they hold for the whole stream, not one request.
const char* const kServeGlobals[] = {"--prefix", "--exe", "--wine", "--launcher", "--persist", "--version"};

struct Request {
    json id;  // null when none could be read
    std::vector<std::string> argv;
    std::string error;  // why the line is not a request
};

Request read_request(const std::string& line) {
    Request r;
    json j;
    try {
        j = json::parse(line);
    } catch (const json::exception& e) {
        // Not only syntax: a number too large for a double (1e400) too.
        // The parser's words without its "[json.exception...]" tag.
        std::string why = e.what();
        size_t tag = why.find("] ");
        r.error = "not JSON: " + (tag == std::string::npos ? why : why.substr(tag + 2));
        return r;
    }
    if (!j.is_object()) {
        r.error = "not a JSON object";
        return r;
    }
    if (j.contains("id")) {
        const json& id = j["id"];
        // An integer beyond 64 bits is read as a float, and would come back
        // as another number.
        bool beyond_64_bits = id.is_number_float() && std::nearbyint(id.get<double>()) == id.get<double>() &&
                              std::fabs(id.get<double>()) >= 9223372036854775808.0;
        if (beyond_64_bits)
            r.error = "\"id\" is an integer beyond 64 bits, which would not come back exactly: send it as a string";
        else if (id.is_string() || id.is_number() || id.is_null())
            r.id = id;
        else
            r.error = "\"id\" must be a string, a number or null";
    }
    for (auto& [name, value] : j.items())
        if (name != "id" && name != "argv" && r.error.empty())
            r.error = "unknown member \"" + name + "\" (a request has \"id\" and \"argv\")";
    if (!r.error.empty())
        return r;
    if (!j.contains("argv") || !j["argv"].is_array() || j["argv"].empty()) {
        r.error = "\"argv\" must be a non-empty array of the command's words";
        return r;
    }
    for (const json& w : j["argv"]) {
        if (!w.is_string()) {
            r.error = "\"argv\" holds a " + std::string(w.type_name()) + "; every word is a string";
            return r;
        }
        r.argv.push_back(w.get<std::string>());
    }
    return r;
}

// The words as qvctl's command line would pass them to the table: --json is
// implied, and the options of qvctl itself are refused.
std::vector<std::string> command_words(std::vector<std::string> words) {
    std::vector<std::string> out;
    bool done = false;
    for (const std::string& w : words) {
        if (!done && w == "--json")
            continue;
        if (!done && w != "--")
            for (const char* g : kServeGlobals)
                if (w == g || w.rfind(std::string(g) + "=", 0) == 0)
                    usage_error(std::string(g) + " holds for the whole stream: give it to qvctl serve itself");
        done = done || w == "--";
        out.push_back(w);
    }
    if (!out.empty() && out[0] == "--")
        out.erase(out.begin());
    if (out.empty())
        usage_error("no command in \"argv\"");
    if (out[0] == "serve" || out[0] == "batch")
        usage_error(out[0] + ": not inside serve; send each command as a request of its own");
    return out;
}

// One request, its result out as one line whatever happens; the stream goes
// on after any failure (a server that died is started anew by the next).
void answer(Context& ctx, const Request& r, size_t line) {
    ctx.request_id = r.id;
    ctx.command.clear();
    try {
        if (!r.error.empty())
            usage_error("request line " + std::to_string(line) + ": " + r.error);
        run_words(ctx, command_words(r.argv));
    } catch (...) {
        Exit e = current_exit();
        if (!e.emitted)
            emit_failure(ctx, e);
    }
}

int serve_cmd(Context& ctx, const Command&, const Args&) {
    if (ctx.in_batch)
        usage_error("serve: not inside a batch");
    // What cannot serve at all fails (in JSON) before the hello; the server
    // itself starts with the first request.
    ctx.json = true;
    ctx.check_prefix();
    ctx.check_drive_c();
    ctx.check_wine();
    reserve_standard_input();
    emit(ctx, json{{"protocol", kServeProtocol}, {"schema", kSchemaVersion}, {"version", QV_VERSION}}, "");
    ctx.serving = true;
    std::string line;
    size_t n = 0;
    while (std::getline(std::cin, line)) {
        n++;
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        answer(ctx, read_request(line), n);
    }
    ctx.command = "serve";
    return kOk;
}

}  // namespace

std::vector<Command> serve_commands() {
    return {
        {"serve", "serve", "JSON requests on standard input, one result line each",
         "For programs in any language, run as a coprocess. The first line out is\n"
         "a hello: {\"command\": \"serve\", \"ok\": true, \"protocol\": " +
             std::to_string(kServeProtocol) +
             ", \"schema\": N, \"version\": V}.\n"
             "Then each line in is one request, {\"id\": ID, \"argv\": [WORDS...]}, where\n"
             "WORDS are the words of a qvctl command line (\"reg\", \"get\", \"HKCU\\\\...\"),\n"
             "and each line out is the object `qvctl --json WORDS` prints, with \"id\"\n"
             "(a string, a number or null; no integer beyond 64 bits) copied from the\n"
             "request. Requests may be sent before earlier answers are read; answers\n"
             "come in request order. A line that is not a request gets an error object\n"
             "(\"id\": null when none could be read) and the stream goes on. Options\n"
             "of qvctl itself (--prefix, --persist, ...) go on serve's own command\n"
             "line; batch and reading \"-\" are refused (standard input carries the\n"
             "requests). Through the prefix's agent unless --persist 0. End of input\n"
             "ends it with exit 0. Read the answers while writing: they wait in a pipe\n"
             "of limited size.\n"
             "Requests and results: schema/qvctl-result.schema.json.\n",
         {}, {}, {0, 0}, serve_cmd},
    };
}

}  // namespace qvctl
