// The session behind the commands, their failures and their output.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

#include <sys/stat.h>
#include <unistd.h>

#include "cli.h"
#include "qv/agent.h"
#include "qv/text.h"
#include "text.h"

namespace qvctl {

void usage_error(const std::string& m) { throw Exit{kUsage, m, "usage"}; }
void environment_error(const std::string& m) { throw Exit{kEnvironment, m, "environment"}; }
void failed(const std::string& m) { throw Exit{kFailed, m, "failed"}; }

void failed(const std::string& what, const qv::Failure& f) {
    std::string kind = qv::kind_name(f.kind);
    if (f.kind == qv::Failure::Kind::server && f.message.rfind("error ", 0) == 0) {
        // The server's own refusal, without its protocol word.
        qv::Failure words = f;
        words.message = f.message.substr(6);
        throw Exit{kFailed, what + ": " + words.describe(), kind, f.code};
    }
    if (f.kind == qv::Failure::Kind::refused)
        throw Exit{kUsage, what + ": " + f.describe(), kind, f.code};
    throw Exit{kFailed, what + ": " + f.describe(), kind, f.code};
}

Exit current_exit() {
    try {
        throw;
    } catch (const Exit& e) {
        return e;
    } catch (const qv::ServerGone& e) {
        return Exit{kEnvironment, std::string("the server died: ") + e.what(), "environment"};
    } catch (const qv::ProtocolError& e) {
        return Exit{kEnvironment, std::string("the server answered outside its protocol: ") + e.what(), "environment"};
    } catch (const qv::Refused& e) {
        return Exit{kUsage, e.what(), "usage"};
    } catch (const std::exception& e) {
        // Whatever a request does, serve and batch go on.
        return Exit{kFailed, e.what(), ""};
    }
}

json error_json(const Exit& e) {
    json j;
    j["kind"] = !e.kind.empty()         ? e.kind
                : e.code == kUsage       ? "usage"
                : e.code == kEnvironment ? "environment"
                                         : "failed";
    j["message"] = e.message;
    j["code"] = e.win32 ? json(e.win32) : json(nullptr);
    return j;
}

bool Args::flag(const std::string& name) const {
    for (auto& o : opts)
        if (o.first == name)
            return true;
    return false;
}

std::optional<std::string> Args::value(const std::string& name) const {
    std::optional<std::string> last;
    for (auto& o : opts)
        if (o.first == name)
            last = o.second;
    return last;
}

void Context::check_prefix() const {
    struct stat st;
    if (stat(launch.prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        environment_error("no Wine prefix at " + launch.prefix + " (no such directory)");
    if (access((launch.prefix + "/system.reg").c_str(), R_OK) != 0)
        environment_error("no Wine prefix at " + launch.prefix + " (no system.reg; create one with WINEPREFIX=" +
                          launch.prefix + " wineboot)");
}

void Context::check_drive_c() const {
    // Without C: Wine cannot start any program in the prefix.
    struct stat st;
    std::string c = launch.prefix + "/dosdevices/c:";
    if (stat(c.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        environment_error("the prefix " + launch.prefix +
                          " has no C: drive (dosdevices/c: is missing or broken), so Wine cannot start "
                          "programs in it; restore it with: ln -sfn ../drive_c '" + launch.prefix +
                          "/dosdevices/c:'");
}

void Context::check_wine() const {
    if (!launch.launcher.empty()) {
        // The loader is the launcher's to find (it may run it elsewhere).
        std::string launcher = qv::find_program(launch.launcher[0]);
        if (access(launcher.c_str(), X_OK) != 0)
            environment_error("cannot run the launcher " + launch.launcher[0] + " (" + std::strerror(errno) + ")");
        return;
    }
    if (access(launch.wine.c_str(), X_OK) != 0)
        environment_error("no Wine loader at " + launch.wine + " (" + std::strerror(errno) +
                          "): install Wine, or name the loader with --wine or QV_WINE");
}

int Context::persist_seconds() const {
    if (persist >= 0)
        return persist;
    try {
        return qv::persist_from_environment();
    } catch (const std::invalid_argument& e) {
        usage_error(e.what());
    }
}

qv::Session& Context::session() {
    if (!session_) {
        check_prefix();
        check_drive_c();
        check_wine();
        if (access(launch.exe.c_str(), R_OK) != 0)
            environment_error("no server program at " + launch.exe + " (give --exe)");
        qv::SessionOptions o;
        o.launch = launch;
        o.agent.persist_seconds = persist_seconds();
        o.agent.use = o.agent.persist_seconds > 0;
        o.agent.program = agent_program;
        session_ = std::make_unique<qv::Session>(o);
        // Through the prefix's agent; where it cannot be used, qvctl runs a
        // server of its own, as with --persist 0.
        if (o.agent.use) {
            try {
                session_->server();
            } catch (const qv::AgentUnavailable& e) {
                if (e.why != qv::AgentUnavailable::Why::mismatch)
                    std::cerr << "qvctl: not using the agent: " << e.what() << "\n";
                o.agent.use = false;
                session_ = std::make_unique<qv::Session>(o);
            } catch (const std::exception& e) {
                environment_error(std::string("the agent did not answer: ") + e.what());
            }
        }
    }
    // Started now, so that a start that fails is told apart from a call that fails.
    try {
        session_->server();
    } catch (const std::exception& e) {
        environment_error(std::string("the server did not start: ") + e.what());
    }
    return *session_;
}

namespace {

json framed(Context& ctx, json result, bool ok) {
    json out;
    if (ctx.serving)
        out["id"] = ctx.request_id;
    if (ctx.in_batch)
        out["line"] = ctx.batch_line;
    if (!ctx.command.empty())
        out["command"] = ctx.command;
    out["ok"] = ok;
    for (auto& [k, v] : result.items())
        out[k] = v;
    return out;
}

void print_json(const json& j) {
    std::cout << j.dump(-1, ' ', false, json::error_handler_t::replace) << "\n" << std::flush;
}

}  // namespace

void emit(Context& ctx, json result, const std::string& human, bool ok) {
    if (ctx.json)
        print_json(framed(ctx, std::move(result), ok));
    else
        std::cout << human << std::flush;
}

void emit_partial(Context& ctx, json result, const std::string& human, int code, const std::string& message,
                  const std::string& kind, qv::Win32Code win32) {
    Exit e{code, message, kind, win32, ctx.json};
    if (ctx.json) {
        result["exit"] = code;
        result["error"] = error_json(e);
        print_json(framed(ctx, std::move(result), false));
    } else
        std::cout << human << std::flush;
    throw e;
}

// The failure of a whole command line, as its JSON result.
void emit_failure(Context& ctx, const Exit& e) {
    json r;
    r["exit"] = e.code;
    r["error"] = error_json(e);
    print_json(framed(ctx, r, false));
}

void put_text(json& obj, const std::string& field, const std::string& bytes) {
    if (qv::valid_utf8(bytes)) {
        obj[field] = bytes;
        return;
    }
    obj[field] = utf8_replaced(bytes);
    obj[field + "_hex"] = qv::to_hex(bytes);
}

namespace {
bool standard_input_reserved = false;
}

void reserve_standard_input() { standard_input_reserved = true; }

std::string read_input(const std::string& file, const std::string& what) {
    if (file == "-" && standard_input_reserved)
        usage_error(what + ": standard input carries the requests here; name a file");
    if (file == "-")
        return std::string(std::istreambuf_iterator<char>(std::cin), {});
    struct stat st;
    if (stat(file.c_str(), &st) != 0)
        usage_error(what + ": cannot read " + file + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        usage_error(what + ": " + file + " is a directory, not a file");
    std::ifstream in(file, std::ios::binary);
    if (!in)
        usage_error(what + ": cannot read " + file + ": " + std::strerror(errno));
    std::string bytes(std::istreambuf_iterator<char>(in), {});
    if (in.bad())
        usage_error(what + ": cannot read " + file + ": " + std::strerror(errno));
    return bytes;
}

std::string absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/')
        return path;
    char* cwd = getcwd(nullptr, 0);
    std::string out = std::string(cwd ? cwd : ".") + "/" + path;
    std::free(cwd);
    return out;
}

}  // namespace qvctl
