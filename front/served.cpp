// The table of served programs, how a loader's first argument names one,
// and the prefix's agent.
#include "served.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "qv/agent.h"
#include "qv/install.h"

namespace front {

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool iequal(std::string_view a, std::string_view b) { return lower(a) == lower(b); }

bool printable_ascii(std::string_view s) {
    for (unsigned char c : s)
        if (c < 0x20 || c > 0x7e)
            return false;
    return true;
}

const std::vector<Served>& served_programs() {
    static const std::vector<Served> table = {
        {"reg", serve_reg, {8, 10},
         "reg query KEY [/v NAME | /ve | /s] [/reg:32|/reg:64]; reg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] /f "
         "[/reg:32|/reg:64]; reg delete KEY [/v NAME | /ve] /f [/reg:32|/reg:64]; reg copy KEY1 KEY2 [/s] [/f] "
         "[/reg:32|/reg:64] (where reg would not ask); reg export KEY FILE [/y] "
         "[/reg:32|/reg:64]; reg import FILE [/reg:32|/reg:64]"},
        {"winepath", serve_winepath, {8, 10}, "winepath [-u] [-w] [-0] [--] PATH... (absolute paths)"},
        {"cmd", serve_cmd, {8, 10}, "cmd /c echo TEXT (TEXT with %VAR% of the variables Wine sets itself)"},
        {"winecfg", serve_winecfg, {8, 10}, "winecfg -v | /v (prints the version); winecfg -v VERSION"},
        {"regedit", serve_regedit, {8, 10},
         "regedit [/S] FILE (a .reg file the server writes exactly); regedit /E FILE HKEY_...\\KEY; "
         "regedit /D HKEY_...\\KEY"},
    };
    return table;
}

bool Served::answers(int release) const {
    return std::find(releases.begin(), releases.end(), release) != releases.end();
}

std::optional<Invocation> invocation(std::string_view word, bool loader32) {
    std::string w = lower(word);
    for (char& c : w)
        if (c == '/')
            c = '\\';
    auto strip = [&](std::string_view folder) {
        if (w.rfind(folder, 0) != 0)
            return false;
        w.erase(0, folder.size());
        return w.find('\\') == std::string::npos;
    };
    Invocation call;
    call.wow32 = loader32;
    bool in_windows = false;
    if (strip("c:\\windows\\system32\\")) {
        // A 32-bit loader would take this through the file system redirection.
        if (loader32)
            return std::nullopt;
    } else if (strip("c:\\windows\\syswow64\\")) {
        call.wow32 = true;
    } else if (strip("c:\\windows\\")) {
        if (loader32)
            return std::nullopt;
        in_windows = true;
    } else if (w.find('\\') != std::string::npos || w.find(':') != std::string::npos) {
        return std::nullopt;
    }
    if (w.size() > 4 && w.compare(w.size() - 4, 4, ".exe") == 0)
        w.erase(w.size() - 4);
    // Only regedit lives in the Windows folder itself.
    if (in_windows && w != "regedit")
        return std::nullopt;
    for (const Served& s : served_programs())
        if (w == s.program) {
            call.program = w;
            return call;
        }
    return std::nullopt;
}

namespace {

// The build's own server and agent when the front runs from the build tree,
// else those of the installation it belongs to.
struct Programs {
    std::string qvmanip, agent;
};

Programs programs() {
    const char* agent = std::getenv("QV_AGENT");
    if (own_folder() == QV_FRONT_BUILD_DIR)
        return {QV_DEFAULT_QVMANIP, agent && *agent ? agent : QV_DEFAULT_AGENT};
    std::string root = own_folder() + "/" + QV_FRONT_TO_ROOT;
    qv::WindowsPrograms installed = qv::installed_programs(qv::WindowsArch::x86_64, root);
    return {installed.qvmanip, agent && *agent ? std::string(agent) : root + "/bin/qvagent"};
}

}  // namespace

Prefix::Prefix(std::string path, std::string wine64) : path_(std::move(path)), wine64_(std::move(wine64)) {}
Prefix::~Prefix() = default;

qv::Session& Prefix::session() {
    if (session_)
        return *session_;
    Programs p = programs();
    if (access(p.qvmanip.c_str(), R_OK) != 0 || access(p.agent.c_str(), X_OK) != 0)
        throw std::runtime_error("no server or agent program");
    qv::SessionOptions o;
    o.launch.wine = wine64_;
    o.launch.prefix = path_;
    o.launch.exe = p.qvmanip;
    // Scripts export variables of their own with Wine's prefix (WINE and
    // WINE64 naming the loaders, winetricks' WINE_ARCH and WINETRICKS_*),
    // set for some calls and not others; Wine reads none of them, and kept
    // they would make such calls ask for an agent of their own.
    for (char** e = environ; *e; e++) {
        std::string name(*e, std::strcspn(*e, "="));
        if (name == "WINE" || name == "WINE64" || name == "WINE_ARCH" || name == "WINE_MULTI" ||
            name.rfind("WINETRICKS", 0) == 0)
            o.launch.unset_env.push_back(name);
    }
    o.agent.use = true;
    o.agent.persist_seconds = qv::persist_from_environment();
    // Without an agent a server of our own would cost more than Wine's program.
    if (o.agent.persist_seconds <= 0)
        throw std::runtime_error("the agent is turned off");
    o.agent.program = p.agent;
    o.agent.connect_timeout = qv::Millis(30000);
    o.answer_timeout = qv::Millis(30000);
    auto session = std::make_unique<qv::Session>(o);
    session->server();
    session_ = std::move(session);
    return *session_;
}

}  // namespace front
