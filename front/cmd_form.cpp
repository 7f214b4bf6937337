// `cmd /c echo TEXT` (TEXT as separate words or with echo in one word) and
// `cmd /c "chcp 65001 > nul & echo TEXT"` (one word), TEXT holding %NAME% references: what cmd prints is TEXT with
// each reference replaced by the variable's value, and CRLF.
//
// A new cmd takes its variables from the registry when it starts, and the
// agent's server took them when it started: so only variables whose source
// the front reads back now are answered, and only when that source still
// gives what the server holds. Declined: any other variable, one that is
// not set, text or values with characters cmd treats specially, and echo's
// own words (on, off, /?).
#include <string>

#include <unistd.h>

#include "qv/files.h"
#include "qv/registry.h"
#include "served.h"

namespace front {
namespace {

constexpr const char* kUserEnvironment = "HKCU\\Environment";
constexpr const char* kVolatileEnvironment = "HKCU\\Volatile Environment";
constexpr const char* kSystemEnvironment = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr const char* kFolders = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion";

// Variables Wine derives from the program-files folders in the registry
// (the 64-bit view); a 32-bit cmd sees other values for the first two.
struct FolderVariable {
    const char* name;
    const char* value_name;
    bool differs_in_32bit;
};
const FolderVariable kFolderVariables[] = {
    {"ProgramFiles", "ProgramFilesDir", true},
    {"CommonProgramFiles", "CommonFilesDir", true},
    {"ProgramFiles(x86)", "ProgramFilesDir (x86)", false},
    {"CommonProgramFiles(x86)", "CommonFilesDir (x86)", false},
    {"ProgramW6432", "ProgramFilesDir", false},
    {"CommonProgramW6432", "CommonFilesDir", false},
};

// Characters that reach echo's output unchanged.
bool plain_text(std::string_view s, bool space_allowed) {
    for (unsigned char c : s) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  std::string_view("\\:._-();,%").find(static_cast<char>(c)) != std::string_view::npos ||
                  (space_allowed && c == ' ');
        if (!ok)
            return false;
    }
    return true;
}

// The words after "echo" from one of the two forms; none for anything else.
// chcp fails without a console (its exit code is cmd's), so the second form
// ends with 1 unless standard input is a terminal, which is left to Wine.
std::optional<std::string> echo_text(const std::vector<std::string>& args, int* code) {
    if (args.size() < 2 || !iequal(args[0], "/c"))
        return std::nullopt;
    // One word: Wine quotes it for cmd, which takes the quotes off again.
    for (const std::string lead : {"chcp 65001 > nul & echo ", "echo "}) {
        if (args.size() != 2 || args[1].size() <= lead.size() || !iequal(args[1].substr(0, lead.size()), lead))
            continue;
        std::string text = args[1].substr(lead.size());
        if (text.find("  ") != std::string::npos || text.back() == ' ' || text.front() == ' ')
            return std::nullopt;
        if (lead[0] == 'c') {
            if (isatty(0))
                return std::nullopt;
            *code = 1;
        }
        return text;
    }
    if (args.size() < 3 || !iequal(args[1], "echo"))
        return std::nullopt;
    std::string text;
    for (size_t i = 2; i < args.size(); i++) {
        if (args[i].empty() || !plain_text(args[i], false))
            return std::nullopt;
        text += (i > 2 ? " " : "") + args[i];
    }
    return text;
}

// The value the registry gives a variable now; none when the front cannot
// tell (a value of another type, a variable it does not know).
struct Sources {
    qv::RegKey user, volatile_env, system, folders;
};

const qv::RegValue* find_name(const qv::RegKey& key, std::string_view name) {
    for (const qv::RegValue& v : key.values)
        if (iequal(v.name, name))
            return &v;
    return nullptr;
}

std::optional<std::string> registry_value(const Sources& s, const std::string& name, bool wow32) {
    for (const qv::RegKey* key : {&s.user, &s.volatile_env, &s.system})
        if (const qv::RegValue* v = find_name(*key, name)) {
            if (v->type != qv::reg_sz)
                return std::nullopt;
            return v->string();
        }
    for (const FolderVariable& f : kFolderVariables)
        if (iequal(name, f.name)) {
            if (wow32 && f.differs_in_32bit)
                return std::nullopt;
            const qv::RegValue* v = find_name(s.folders, f.value_name);
            if (!v || v->type != qv::reg_sz)
                return std::nullopt;
            return v->string();
        }
    return std::nullopt;
}

// The server's words for a variable: its name with the first letter's case
// turned when the name is all lower case, so that it names the variable and
// never one of the server's folder keywords ("appdata", "temp", ...).
std::string variable_word(std::string name) {
    if (name == lower(name) && !name.empty()) {
        char& c = name[0];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return name;
}

}  // namespace

std::optional<Answer> serve_cmd(const Invocation& call, Prefix& prefix) {
    int code = 0;
    std::optional<std::string> text = echo_text(call.args, &code);
    if (!text || !plain_text(*text, true) || iequal(*text, "on") || iequal(*text, "off"))
        return std::nullopt;
    // The references, left to right; a lone '%' stays as it is.
    struct Part {
        std::string literal;
        std::string variable;  // empty for a literal part
    };
    std::vector<Part> parts;
    size_t pos = 0;
    while (pos < text->size()) {
        size_t open = text->find('%', pos);
        size_t close = open == std::string::npos ? std::string::npos : text->find('%', open + 1);
        if (close == std::string::npos) {
            parts.push_back({text->substr(pos), ""});
            break;
        }
        std::string name = text->substr(open + 1, close - open - 1);
        // Batch arguments, substitutions and "%%" are cmd's own syntax.
        if (name.empty() || !plain_text(name, true) || name.find(':') != std::string::npos ||
            (name[0] >= '0' && name[0] <= '9'))
            return std::nullopt;
        parts.push_back({text->substr(pos, open - pos), ""});
        parts.push_back({"", name});
        pos = close + 1;
    }
    std::vector<qv::Request> requests = {qv::list_key_request(kUserEnvironment),
                                         qv::list_key_request(kVolatileEnvironment),
                                         qv::list_key_request(kSystemEnvironment), qv::list_key_request(kFolders)};
    for (const Part& p : parts)
        if (!p.variable.empty())
            requests.push_back(qv::expanded_string_request(variable_word(p.variable)));
    std::vector<std::string> answers = qv::Channel(prefix.session()).ask_all(requests);
    Sources sources;
    qv::RegKey* keys[] = {&sources.user, &sources.volatile_env, &sources.system, &sources.folders};
    for (size_t i = 0; i < 4; i++) {
        qv::Result<qv::RegKey> listed = qv::parse_listing(answers[i]);
        if (!listed && !listed.failure->is(qv::kFileNotFound))
            return std::nullopt;
        *keys[i] = listed.value;
    }
    Answer a;
    size_t next = 4;
    for (const Part& p : parts) {
        if (p.variable.empty()) {
            a.out += p.literal;
            continue;
        }
        qv::Result<std::string> held = qv::parse_text(answers[next++]);
        std::optional<std::string> now = registry_value(sources, p.variable, call.wow32);
        if (!held || !now || *held != *now || !plain_text(*now, true))
            return std::nullopt;
        a.out += *now;
    }
    a.out += "\r\n";
    a.code = code;
    return a;
}

}  // namespace front
