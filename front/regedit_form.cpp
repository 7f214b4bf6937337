// `regedit /S FILE`: the .reg file imported silently, nothing printed, exit
// 0; `regedit /E FILE KEY`: KEY and everything below it exported to FILE in
// the editor's own format (the library's writer gives the same bytes),
// nothing printed, exit 0. FILE is an absolute Unix path, a Windows path
// with its drive, or a name relative to the current folder (what scripts
// pass), found as Wine finds it.
// Declined (Wine's editor runs): for /S, a file it cannot read or that is
// not well formed (the editor skips bad lines and applies the rest, which
// is left to it) or that holds values only the editor can store; for /E, a
// key not written as the editor echoes it unchanged (the root's long name in
// capitals, no trailing backslash), a key that is not there, the whole
// registry; other options and paths.
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
namespace {

// The Unix path of the editor's FILE argument; none for one not copied here.
std::optional<std::string> file_path(std::string path, Prefix& prefix) {
    for (unsigned char c : path)
        if (c < 0x20 || c > 0x7e || std::string_view("*?<>|\"").find(static_cast<char>(c)) != std::string_view::npos)
            return std::nullopt;
    if (path.empty())
        return std::nullopt;
    if (path[0] == '/')
        return path;
    bool drive = path.size() > 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
                 (path[2] == '\\' || path[2] == '/');
    if (!drive) {
        if (path[0] == '\\' || (path.size() > 1 && path[1] == ':'))
            return std::nullopt;  // rooted on the current drive, or relative on a drive
        // The editor opens it from its current folder: the working folder the
        // loader was started in, as Wine names it.
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
    return *unix_path;
}

std::optional<Answer> import_file(const Invocation& call, Prefix& prefix) {
    std::optional<std::string> path = file_path(call.args[1], prefix);
    if (!path)
        return std::nullopt;
    std::ifstream in(*path, std::ios::binary);
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

std::optional<Answer> export_file(const Invocation& call, Prefix& prefix) {
    const std::string& key = call.args[2];
    bool canonical = false;
    for (const char* root : {"HKEY_LOCAL_MACHINE\\", "HKEY_CURRENT_USER\\", "HKEY_CLASSES_ROOT\\", "HKEY_USERS\\"})
        canonical = canonical || key.rfind(root, 0) == 0;
    if (!canonical || key.back() == '\\' || key.find("\\\\") != std::string::npos || !printable_ascii(key))
        return std::nullopt;
    std::optional<std::string> path = file_path(call.args[1], prefix);
    if (!path)
        return std::nullopt;
    qv::Result<qv::TreeExport> tree = qv::export_tree(prefix.session(), key, call.view());
    if (!tree)
        return std::nullopt;
    std::string bytes = qv::write_regfile(tree->file, qv::RegFileFormat::v5_utf16);
    std::ofstream out(*path, std::ios::binary | std::ios::trunc);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !out.flush())
        return std::nullopt;  // the editor tries, and says what it meets
    return Answer{};
}

}  // namespace

std::optional<Answer> serve_regedit(const Invocation& call, Prefix& prefix) {
    if (call.args.size() == 2 && iequal(call.args[0], "/s"))
        return import_file(call, prefix);
    if (call.args.size() == 3 && iequal(call.args[0], "/e"))
        return export_file(call, prefix);
    return std::nullopt;
}

}  // namespace front
