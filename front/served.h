#pragma once
// The command lines the front answers itself, and what they need: the
// program a command line names, and the prefix's agent.
//
// A handler looks at the program's arguments and either answers exactly as
// Wine's own program of this release would (standard output, standard
// error, exit code, the same registry effect), or declines, and the command
// line goes to the real Wine unchanged. A handler decides before it changes
// anything: reads come first, and a write is sent only once the whole answer
// is certain.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "loader.h"
#include "qv/regfile.h"
#include "qv/registry.h"
#include "qv/session.h"

namespace front {

// What Wine's program would have written, and its exit code.
struct Answer {
    std::string out;
    std::string err;
    int code = 0;
};

// The prefix a command line runs in, and its agent, reached on first use.
class Prefix {
public:
    // path: the prefix (WINEPREFIX or ~/.wine); wine64: the real 64-bit
    // loader, which the agent's server runs under.
    Prefix(std::string path, std::string wine64);
    ~Prefix();
    const std::string& path() const { return path_; }
    const std::string& wine64() const { return wine64_; }
    // The agent's session; throws (qv::AgentUnavailable, ProtocolError, ...)
    // when it cannot be reached, and the caller passes the line on.
    qv::Session& session();

private:
    std::string path_, wine64_;
    std::unique_ptr<qv::Session> session_;
};

// One command line under `wine` or `wine64`: the program it runs and that
// program's arguments.
struct Invocation {
    std::string program;             // the served program's name: "reg", "winepath", ...
    bool wow32 = false;              // it runs as a 32-bit program (32-bit registry view)
    std::vector<std::string> args;   // after the program's name
    int release = 0;                 // the Wine release whose program the answer copies
    qv::RegView view() const { return wow32 ? qv::RegView::win32 : qv::RegView::native; }
};

// The program named by a loader's first argument, as Wine finds it: "reg",
// "REG.EXE", "C:\windows\system32\reg.exe", "C:\windows\syswow64\reg.exe"
// (32-bit), and regedit in "C:\windows"; loader32 says the loader runs
// 32-bit programs. None for any other spelling, and for a program the
// front does not serve.
std::optional<Invocation> invocation(std::string_view word, bool loader32);

// The handlers. Each returns none to decline.
std::optional<Answer> serve_reg(const Invocation& call, Prefix& prefix);
std::optional<Answer> serve_winepath(const Invocation& call, Prefix& prefix);
std::optional<Answer> serve_cmd(const Invocation& call, Prefix& prefix);
std::optional<Answer> serve_winecfg(const Invocation& call, Prefix& prefix);
std::optional<Answer> serve_regedit(const Invocation& call, Prefix& prefix);

// The .reg files of `reg import|export` and `regedit /S|/E`.
// The Unix path of a program's FILE argument, found as Wine finds it: an
// absolute Unix path, a Windows path with its drive, or a name relative to
// the current folder; none for other forms.
std::optional<std::string> file_argument(std::string path, Prefix& prefix);
// Imports the file; false, having changed nothing, for a file the library's
// reader does not take whole or with values only Wine's editor stores.
bool import_reg_file(const std::string& path, qv::RegView view, Prefix& prefix);
// Writes the keys and values through the server alone; false for what only
// Wine's editor would store (nothing is sent then), and for a failed write.
bool import_exactly(const qv::RegFile& file, qv::RegView view, Prefix& prefix);
// Writes KEY and everything below it to the file in the editor's format.
enum class Exported { written, no_such_key, declined };
Exported export_reg_file(const std::string& key, const std::string& path, qv::RegView view, Prefix& prefix);

// The handler for a program name; none for a name no handler serves.
using Handler = std::optional<Answer> (*)(const Invocation&, Prefix&);
struct Served {
    const char* program;
    Handler handler;
    // The Wine releases whose program the handler was measured against, in
    // 64-bit and 32-bit calls.
    std::vector<int> releases;
    const char* forms;  // the command lines it answers, for the help text
    bool answers(int release) const;
};
const std::vector<Served>& served_programs();

// ASCII case folding, as Wine compares its programs' switches.
std::string lower(std::string_view text);
bool iequal(std::string_view a, std::string_view b);
// Text the programs write the same in any code page.
bool printable_ascii(std::string_view s);

}  // namespace front
