// The command table: dispatch, option parsing and every --help text.
#include <algorithm>
#include <iostream>
#include <optional>

#include "cli.h"
#include "help.h"

namespace qvctl {

namespace {

const char kExitCodes[] =
    "Exit codes: 0 done; 1 the prefix refused or failed the operation (its\n"
    "reason is printed, in words, with the Win32 code beside it); 2 something\n"
    "wrong with what was typed or given (the message names the argument); 3 the\n"
    "environment: no prefix, no Wine, the server did not start or died.\n";

// "reg" for "reg get": the group a command belongs to, if any.
std::string group_of(const std::string& name) {
    size_t space = name.find(' ');
    return space == std::string::npos ? "" : name.substr(0, space);
}

std::vector<const Command*> group(const std::string& name) {
    std::vector<const Command*> out;
    for (const Command& c : commands())
        if (group_of(c.name) == name)
            out.push_back(&c);
    return out;
}

std::string group_usage(const std::string& name) {
    std::string out;
    for (const Command* c : group(name))
        out += (out.empty() ? "" : "\n       ") + std::string("qvctl ") + c->usage;
    return out;
}

}  // namespace

const std::vector<Command>& commands() {
    static const std::vector<Command> table = [] {
        std::vector<Command> t;
        for (auto part : {registry_commands, files_commands, prefix_commands, printer_commands, session_commands, serve_commands,
                          agent_commands})
            for (Command& c : part())
                t.push_back(std::move(c));
        return t;
    }();
    return table;
}

const Command* find_command(const std::vector<std::string>& words, size_t* used) {
    const Command* best = nullptr;
    size_t best_words = 0;
    for (const Command& c : commands()) {
        size_t n = c.name.find(' ') == std::string::npos ? 1 : 2;
        if (words.size() < n)
            continue;
        std::string typed = n == 1 ? words[0] : words[0] + " " + words[1];
        if (typed == c.name && n > best_words) {
            best = &c;
            best_words = n;
        }
    }
    *used = best_words;
    return best;
}

std::string usage_line(const std::string& command) {
    for (const Command& c : commands())
        if (c.name == command)
            return "qvctl " + c.usage;
    std::string g = command.empty() ? "" : group_usage(command);
    return g.empty() ? "qvctl --help" : g;
}

std::string help_text(const std::string& command) {
    for (const Command& c : commands())
        if (c.name == command)
            return "usage: qvctl " + c.usage + "\n\n" + c.help + "\n" + kExitCodes;
    if (!command.empty() && !group(command).empty()) {
        std::string out = "usage: " + group_usage(command) + "\n\n";
        for (const Command* c : group(command))
            out += "  " + c->name + std::string(c->name.size() < 16 ? 16 - c->name.size() : 1, ' ') + c->summary +
                   "\n";
        return out + "\nqvctl " + command + " COMMAND --help tells more.\n\n" + kExitCodes;
    }
    std::string out =
        "usage: qvctl [--prefix DIR] [--json] [--exe QVMANIP.EXE] [--wine LOADER] [--launcher WORD]...\n"
        "             [--persist SECONDS] COMMAND ...\n"
        "       qvctl --version | --help | COMMAND --help\n"
        "\n"
        "Asks a qvmanip server in a Wine prefix. The prefix: --prefix, else WINEPREFIX,\n"
        "else ~/.wine; it must exist already (qvctl never creates one). Options take\n"
        "their value as --opt VALUE or --opt=VALUE, and the global ones may stand\n"
        "anywhere on the line; after -- every word is an argument.\n"
        "\n"
        "The server is the prefix's agent's, started by the first call and kept for\n"
        "--persist seconds after the last (default 5; else QV_PERSIST); --persist 0\n"
        "runs a server of qvctl's own. `wineserver -w` waits for that server too.\n"
        "\n"
        "--wine names the Wine loader (a runner's bin/wine64; else QV_WINE). Each\n"
        "--launcher adds one word run before the loader, which then starts it: a\n"
        "container's or runtime's launch client (--launcher flatpak-spawn\n"
        "--launcher=--host). An agent serves only callers with the same loader and\n"
        "launcher.\n"
        "\n";
    for (const Command& c : commands())
        out += "  " + c.usage + "\n      " + c.summary + "\n";
    out += "  (no command)\n      raw request lines from standard input, one answer line each\n"
           "\n"
           "--json prints one JSON object per command, as schema/qvctl-result.schema.json\n"
           "(version " +
           std::to_string(kSchemaVersion) +
           ") describes: \"command\", \"ok\" and the result; failures add \"exit\" and\n"
           "\"error\": {kind, message, code}. Strings that are not UTF-8 get U+FFFD and a\n"
           "\"<field>_hex\" beside them with the exact bytes.\n"
           "\n" +
           std::string(kExitCodes);
    return out;
}

void print_help(Context& ctx, const std::string& topic) {
    ctx.command = "help";
    emit(ctx, json{{"topic", topic}, {"text", help_text(topic)}}, help_text(topic));
}

Args parse_args(const Command& c, const std::vector<std::string>& words, size_t from) {
    Args a;
    bool options_done = false;
    auto known = [](const std::vector<std::string>& list, const std::string& w) {
        return std::find(list.begin(), list.end(), w) != list.end();
    };
    for (size_t i = from; i < words.size(); i++) {
        const std::string& w = words[i];
        if (options_done || w.size() < 2 || w[0] != '-' || (w[1] != '-' && !known(c.flags, w))) {
            a.pos.push_back(w);
            continue;
        }
        if (w == "--") {
            options_done = true;
            continue;
        }
        size_t eq = w.find('=');
        std::string name = w.substr(0, eq);
        if (known(c.flags, name)) {
            if (eq != std::string::npos)
                usage_error(c.name + ": " + name + " takes no value");
            a.opts.push_back({name, ""});
        } else if (known(c.with_value, name)) {
            if (eq != std::string::npos)
                a.opts.push_back({name, w.substr(eq + 1)});
            else if (i + 1 >= words.size())
                usage_error(c.name + ": " + name + " needs a value");
            else
                a.opts.push_back({name, words[++i]});
        } else
            usage_error(c.name + ": unknown option " + name + " (see qvctl " + c.name + " --help)");
    }
    Arity n = c.args;
    if (n.name_or_default && a.flag("--default")) {
        n.max -= n.max == kMany ? 0 : 1;
        n.min -= n.min > 1 ? 1 : 0;
    }
    if (a.pos.size() < n.min || a.pos.size() > n.max)
        usage_error(c.name + ": " + (a.pos.size() < n.min ? "missing arguments" : "too many arguments") +
                    "\nusage: qvctl " + c.usage);
    return a;
}

namespace {

bool asks_help(const std::string& w) { return w == "--help" || w == "-h"; }

std::string joined(const std::vector<std::string>& words, size_t from, size_t to) {
    std::string out;
    for (size_t i = from; i < words.size() && i < to; i++)
        out += (out.empty() ? "" : " ") + words[i];
    return out;
}

}  // namespace

std::optional<std::string> help_topic(const std::vector<std::string>& words) {
    if (words.empty())
        return std::nullopt;
    if (words[0] == "help" || asks_help(words[0]))
        return joined(words, 1, 3);
    size_t used = 0;
    if (const Command* c = find_command(words, &used)) {
        // --help is never an argument, never sent.
        for (size_t i = used; i < words.size() && words[i] != "--"; i++)
            if (asks_help(words[i]))
                return c->name;
        return std::nullopt;
    }
    if (!group(words[0]).empty() && words.size() > 1 && asks_help(words[1]))
        return words[0];
    return std::nullopt;
}

int run_words(Context& ctx, const std::vector<std::string>& words) {
    if (std::optional<std::string> topic = help_topic(words)) {
        print_help(ctx, *topic);
        return kOk;
    }
    size_t used = 0;
    const Command* c = find_command(words, &used);
    if (!c) {
        if (!group(words[0]).empty())
            usage_error(words[0] + ": " +
                        (words.size() > 1 ? "unknown command " + words[1] : std::string("name a command")) +
                        "\nusage: " + group_usage(words[0]));
        usage_error("unknown command " + words[0] + " (qvctl --help lists them)");
    }
    Args a = parse_args(*c, words, used);
    ctx.command = c->name;
    try {
        return c->run(ctx, *c, a);
    } catch (const qv::Refused& e) {
        // A request the library will not send (a raw LF or NUL, too long).
        usage_error(c->name + ": " + e.what());
    }
}

}  // namespace qvctl
