// qvctl: talks to a qvmanip server running in a Wine prefix.
#include <cstdlib>
#include <iostream>

#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"
#include "help.h"
#include "qv/agent.h"
#include "qv/install.h"
#include "qv/session.h"

namespace qvctl {


namespace {

// An installed qvctl (<root>/bin/qvctl) runs the server installed beside it;
// one in the build tree runs the build's own.
std::string default_qvmanip() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string path(self, static_cast<size_t>(n));
        std::string bin = path.substr(0, path.rfind('/'));
        if (bin.size() > 4 && bin.substr(bin.size() - 4) == "/bin") {
            qv::WindowsPrograms installed =
                qv::installed_programs(qv::WindowsArch::x86_64, bin.substr(0, bin.size() - 4));
            if (access(installed.qvmanip.c_str(), R_OK) == 0)
                return installed.qvmanip;
        }
    }
    return QV_DEFAULT_QVMANIP;
}

// qvagent beside qvctl (installed), else the build's own; QV_AGENT first.
std::string default_agent() {
    const char* set = std::getenv("QV_AGENT");
    if (set && *set)
        return set;
    std::string beside = qv::default_agent_program();
    return access(beside.c_str(), X_OK) == 0 ? beside : QV_DEFAULT_AGENT;
}

bool is_command_word(const std::string& w) {
    for (const Command& c : commands())
        if (c.name.substr(0, c.name.find(' ')) == w)
            return true;
    return w == "help";
}

struct Globals {
    std::vector<std::string> words;  // the command line without the global options
    bool help = false, version = false, prefix_given = false;
};

// Global options stand anywhere before "--", as --opt VALUE or --opt=VALUE.
Globals parse_globals(Context& ctx, int argc, char** argv) {
    Globals g;
    bool done = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (done || arg.size() < 2 || arg[0] != '-') {
            g.words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            done = true;
            g.words.push_back(arg);
            continue;
        }
        size_t eq = arg.find('=');
        std::string name = arg.substr(0, eq);
        // The option's value: after '=', else the next word.
        auto value_of = [&](const std::string& missing) {
            if (eq != std::string::npos)
                return arg.substr(eq + 1);
            if (i + 1 < argc)
                return std::string(argv[++i]);
            usage_error(missing);
        };
        if (name == "--persist") {
            std::string value = value_of("--persist needs a number of seconds (0: no agent)");
            std::optional<int> seconds = qv::parse_persist(value);
            if (!seconds)
                usage_error("--persist " + value + ": not a number of seconds (0 to 604800; 0: no agent)");
            ctx.persist = *seconds;
        } else if (name == "--launcher") {
            std::string value = value_of("--launcher needs a word (give it once per word)");
            if (value.empty())
                usage_error("--launcher: the value is empty");
            ctx.launch.launcher.push_back(value);
        } else if (name == "--prefix" || name == "--exe" || name == "--wine") {
            std::string value = value_of(name + " needs a value");
            if (value.empty())
                usage_error(name + ": the value is empty");
            if (name == "--prefix") {
                struct stat st;
                if (stat(value.c_str(), &st) != 0 && is_command_word(value) && eq == std::string::npos)
                    usage_error("--prefix " + value + ": no directory of that name, and \"" + value +
                                "\" is a command; give the prefix's directory after --prefix");
                ctx.launch.prefix = value;
                g.prefix_given = true;
            } else
                (name == "--exe" ? ctx.launch.exe : ctx.launch.wine) = value;
        } else if (arg == "--json")
            ctx.json = true;
        else if (arg == "--version")
            g.version = true;
        else if ((arg == "--help" || arg == "-h") && g.words.empty())
            g.help = true;
        else
            g.words.push_back(arg);  // a command's own option, or unknown: the command decides
    }
    if (!g.words.empty() && g.words[0].size() > 1 && g.words[0][0] == '-' && g.words[0] != "--")
        usage_error("unknown option " + g.words[0] + " (qvctl --help lists them)");
    return g;
}

}  // namespace

}  // namespace qvctl

int main(int argc, char** argv) {
    using namespace qvctl;
    Context ctx;
    ctx.launch.exe = default_qvmanip();
    ctx.agent_program = default_agent();
    try {
        Globals g = parse_globals(ctx, argc, argv);
        if (!g.words.empty() && g.words[0] == "--")
            g.words.erase(g.words.begin());
        if (g.version) {
            if (ctx.json)
                std::cout << json{{"command", "version"}, {"ok", true}, {"version", QV_VERSION},
                                  {"schema", kSchemaVersion}}
                                 .dump()
                          << "\n";
            else
                std::cout << "qvctl " << QV_VERSION << " (JSON schema version " << kSchemaVersion << ")\n";
            return kOk;
        }
        if (g.help)
            g.words.push_back("--help");
        // Help needs no prefix: answered before looking for one.
        if (std::optional<std::string> topic = help_topic(g.words)) {
            print_help(ctx, *topic);
            return kOk;
        }
        if (!g.prefix_given) {
            try {
                ctx.launch.prefix = qv::default_prefix();
            } catch (const std::runtime_error&) {
                environment_error("no prefix: give --prefix or set WINEPREFIX (HOME is not set either)");
            }
        }
        ctx.launch.prefix = absolute(ctx.launch.prefix);  // Wine takes only an absolute WINEPREFIX
        int code = g.words.empty() ? raw_mode(ctx) : run_words(ctx, g.words);
        if (ctx.session_)
            ctx.session_->quit();
        return code;
    } catch (...) {
        Exit e = current_exit();
        if (!e.message.empty())
            std::cerr << "qvctl: " << e.message << "\n";
        if (ctx.json && !e.emitted)
            emit_failure(ctx, e);
        return e.code;
    }
}
