// batch, request, demo and the raw mode: many commands or raw requests
// through one server.
#include <iostream>
#include <sstream>

#include <unistd.h>

#include "cli.h"
#include "help.h"
#include "qv/framing.h"
#include "qv/text.h"
#include "text.h"

namespace qvctl {

namespace {

// The request words the server knows ("quit" ends it and is no request).
const char* const kRequestWords[] = {"getregkey",    "getregvalue",   "setregkey", "rmregtree", "rmregvalue",
                                     "findfiles",    "unixpath",      "windowspath", "getexpandedstr", "expandstr",
                                     "getsystemdir", "getwindowsdir", "adddrive",  "rmdrive"};

std::string request_words() {
    std::string out;
    for (const char* w : kRequestWords)
        out += (out.empty() ? "" : ", ") + std::string(w);
    return out;
}

bool known_request(const std::string& word) {
    for (const char* w : kRequestWords)
        if (word == w)
            return true;
    return false;
}

// A raw answer that is the server's refusal, as a failure in words.
std::optional<qv::Failure> refusal(const std::string& answer) {
    if (qv::errno_code(answer) || answer.rfind("error", 0) == 0) {
        qv::Failure f = qv::server_failure(answer);
        if (f.kind == qv::Failure::Kind::server && f.message.rfind("error ", 0) == 0)
            f.message = f.message.substr(6);
        return f;
    }
    return std::nullopt;
}

json answer_json(const std::string& request, const std::string& answer, const std::optional<qv::Failure>& f) {
    json r;
    put_text(r, "request", request);
    put_text(r, "answer", answer);
    if (f)
        r["error"] = error_json(Exit{kFailed, f->describe(), qv::kind_name(f->kind), f->code});
    return r;
}

int request_cmd(Context& ctx, const Command&, const Args& a) {
    const std::string& word = a.pos[0];
    if (!known_request(word))
        usage_error("request: the server knows no request \"" + word + "\"; it knows " + request_words());
    std::string args;
    for (size_t i = 1; i < a.pos.size(); i++)
        args += (i > 1 ? " " : "") + a.pos[i];
    if (args.find('\n') != std::string::npos)
        usage_error("request: a line feed cannot travel inside a request (the server escapes it as \\n)");
    ctx.session();
    std::string answer = ctx.session().ask(word, args);
    std::string line = word + (args.empty() ? "" : " " + args);
    std::optional<qv::Failure> f = refusal(answer);
    if (f)
        emit_partial(ctx, answer_json(line, answer, f), "", kFailed, "request " + word + ": " + f->describe(),
                     qv::kind_name(f->kind), f->code);
    if (answer.empty() && !ctx.json)
        std::cerr << "qvctl: request " << word << ": the answer is empty\n";
    emit(ctx, answer_json(line, answer, f), answer + (!answer.empty() && answer.back() != '\n' ? "\n" : ""));
    return kOk;
}

int demo_cmd(Context& ctx, const Command&, const Args&) {
    if (ctx.in_batch)
        usage_error("demo: not inside a batch");
    if (ctx.json)
        usage_error("demo: shows bytes for people; there is no JSON form (use request)");
    qv::Server& server = ctx.session().server();
    std::cout << "bytes sent (->) and received (<-), with C escapes: \\n is LF, \\\\ one backslash\n";
    std::cout << "<- " << qv::visible(std::string(qv::kHandshake)) << "   (handshake)\n";
    const std::vector<std::string> requests = {
        "getwindowsdir",
        "getsystemdir",
        "unixpath C:\\windows",
        "getregkey HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion",
        "findfiles 5 C:\\windows\\*",
        "getexpandedstr appdata",
        "nosuchcommand",
    };
    for (const std::string& line : requests) {
        std::cout << "-> " << qv::visible(line + "\n") << "\n";
        server.send(line + "\n");
        std::string answer = server.read_answer();
        std::cout << "<- " << qv::visible(answer + std::string(qv::kEndMarker)) << "\n";
    }
    std::cout << "-> quit\\n\n";
    int code = ctx.session().quit();
    std::cout << "server exited with code " << code << "\n";
    return code == 0 ? kOk : kFailed;
}

int batch_cmd(Context& ctx, const Command&, const Args& a) {
    if (ctx.in_batch)
        usage_error("batch: batches do not nest");
    std::string file = a.pos.empty() ? "-" : a.pos[0];
    std::string text = read_input(file, "batch");
    bool stop = a.flag("--stop-on-error");
    std::istringstream in(text);
    std::string line;
    int worst = kOk;
    ctx.in_batch = true;
    size_t n = 0;
    while (std::getline(in, line)) {
        n++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::vector<std::string> words;
        std::string error;
        if (!split_words(line, &words, &error))
            words.clear();
        if (error.empty() && words.empty())
            continue;
        ctx.batch_line = n;
        ctx.command.clear();
        int code;
        try {
            if (!error.empty())
                usage_error(error);
            code = run_words(ctx, words);
        } catch (...) {
            Exit e = current_exit();
            code = e.code;
            if (!e.message.empty())
                std::cerr << "qvctl: line " << n << ": " << e.message << "\n";
            if (ctx.json && !e.emitted)
                emit_failure(ctx, e);
            if (e.code == kEnvironment) {
                ctx.in_batch = false;
                throw Exit{kEnvironment, "", "environment", 0, true};
            }
        }
        worst = std::max(worst, code);
        if (code != kOk && stop)
            break;
    }
    ctx.in_batch = false;
    ctx.command = "batch";
    return worst;
}

}  // namespace

int raw_mode(Context& ctx) {
    ctx.session();
    bool tty = isatty(0);
    ctx.command = "request";
    if (tty)
        std::cout << "qvmanip is ready; one request per line, one answer line each (\\n: a line feed\n"
                     "inside it); \"help\" for the request words, \"quit\" or EOF ends.\n> "
                  << std::flush;
    std::string line;
    int worst = kOk;
    while (std::getline(std::cin, line)) {
        if (std::cin.eof()) {
            // The server never runs a line that its input ends inside.
            std::cerr << "qvctl: the last line has no line feed at its end; not sent (only complete lines are "
                         "requests)\n";
            worst = kUsage;
            break;
        }
        if (line == "quit" || line.rfind("quit ", 0) == 0)
            break;
        if (line == "help" || line == "--help" || line == "-h") {
            // For people: with --json it goes where it cannot be read as an answer.
            (ctx.json ? std::cerr : std::cout) << "request words: " << request_words() << "\n";
            std::cout << (tty ? "> " : "") << std::flush;
            continue;
        }
        size_t space = line.find(' ');
        std::string answer;
        try {
            answer = ctx.session().ask(line.substr(0, space),
                                       space == std::string::npos ? std::string() : line.substr(space + 1));
        } catch (const qv::Refused& e) {
            std::cerr << "qvctl: " << e.what() << "; not sent\n";
            if (ctx.json) {
                json r;
                put_text(r, "request", line);
                r["exit"] = kUsage;
                r["error"] = error_json(Exit{kUsage, e.what(), "usage"});
                emit(ctx, r, "", false);
            }
            worst = std::max(worst, int(kUsage));
            std::cout << (tty ? "> " : "") << std::flush;
            continue;
        }
        std::optional<qv::Failure> f = refusal(answer);
        // One line per answer: where it ends is never in doubt.
        if (ctx.json) {
            json r = answer_json(line, answer, f);
            if (f)
                r["exit"] = kFailed;
            emit(ctx, r, "", !f);
        }
        else
            std::cout << qv::visible(answer) << "\n";
        std::cout << (tty ? "> " : "") << std::flush;
    }
    int code = ctx.session().quit();
    if (tty)
        std::cout << "\nserver exited with code " << code << "\n";
    return code == 0 ? worst : kEnvironment;
}

std::vector<Command> session_commands() {
    return {
        {"batch", "batch [FILE] [--stop-on-error]", "many commands, one server",
         "Reads qvctl commands from FILE (default and \"-\": standard input), one per\n"
         "line, and answers all of them through one server. Words split as in a\n"
         "shell, with '...', \"...\" and # comments; outside quotes a backslash\n"
         "escapes only a quote, a backslash or #, so Windows paths need no\n"
         "quotes (C:\\windows\\ at the end of a line included). Every line runs even\n"
         "after a failure unless --stop-on-error; an environment failure (exit 3)\n"
         "stops the batch. With --json each line's result is one JSON object\n"
         "carrying its line number. Exits with the highest exit code of its lines.\n",
         {"--stop-on-error"}, {}, {0, 1}, batch_cmd},
        {"request", "request WORD [ARGS...]", "one raw request",
         "Sends one request as it is (the words joined by spaces) and prints the\n"
         "answer. WORD is one the server knows: " +
             request_words() +
             ".\n"
             "An answer that is the server's refusal (errno N, error ...) exits 1 with\n"
             "it in words. JSON: {request, answer, error?}.\n",
         {}, {}, {1, kMany}, request_cmd},
        {"demo", "demo", "a few requests with the bytes shown",
         "Sends a few requests and shows the bytes going both ways.\n", {}, {}, {0, 0}, demo_cmd},
    };
}

}  // namespace qvctl
