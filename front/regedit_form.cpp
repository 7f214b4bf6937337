// `regedit /S FILE`: the .reg file imported silently, nothing printed, exit
// 0. FILE is an absolute Unix path, a Windows path with its drive, or a
// name relative to the current folder (what scripts pass), found as Wine
// finds it, of a file the library's reader
// takes whole, whose every value the server stores exactly.
// Declined (Wine's editor runs): a file it cannot read or that is not well
// formed (the editor skips bad lines and applies the rest, which is left to
// it), values only the editor can store, other options and paths.
#include <unistd.h>

#include <cctype>
#include <climits>
#include <fstream>
#include <iterator>
#include <string>

#include "qv/files.h"
#include "qv/regfile.h"
#include "qv/regtree.h"
#include "served.h"

namespace front {

std::optional<Answer> serve_regedit(const Invocation& call, Prefix& prefix) {
    if (call.args.size() != 2 || !iequal(call.args[0], "/s"))
        return std::nullopt;
    std::string path = call.args[1];
    for (unsigned char c : path)
        if (c < 0x20 || c > 0x7e || std::string_view("*?<>|\"").find(static_cast<char>(c)) != std::string_view::npos)
            return std::nullopt;
    if (path.empty())
        return std::nullopt;
    if (path[0] != '/') {
        bool drive = path.size() > 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
                     (path[2] == '\\' || path[2] == '/');
        if (!drive) {
            if (path[0] == '\\' || (path.size() > 1 && path[1] == ':'))
                return std::nullopt;  // rooted on the current drive, or relative on a drive
            // Wine's editor opens it from its current folder: the working
            // folder the loader was started in, as Wine names it.
            char here[PATH_MAX];
            if (!getcwd(here, sizeof here))
                return std::nullopt;
            qv::Result<std::string> folder = qv::windows_path(prefix.session(), here);
            if (!folder)
                return std::nullopt;
            path = *folder + "\\" + path;
        }
        qv::Result<std::string> unix_path = qv::unix_path(prefix.session(), path);
        if (!unix_path)
            return std::nullopt;
        path = *unix_path;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    qv::RegFile file;
    try {
        file = qv::parse_regfile(bytes);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    qv::Result<qv::ImportPlan> plan = qv::plan_import(file, call.view(), "qvfront");
    if (!plan)
        return std::nullopt;
    for (const qv::ImportPhase& phase : plan->phases)
        if (!phase.editor.keys.empty())
            return std::nullopt;
    if (!qv::run_import(prefix.session(), *plan, call.view()))
        return std::nullopt;
    return Answer{};
}

}  // namespace front
