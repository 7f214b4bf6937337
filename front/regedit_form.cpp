// `regedit /S FILE` (or FILE alone): the .reg file imported silently,
// nothing printed, exit 0; `regedit /D KEY`: the key deleted, silently;
// `regedit /E FILE KEY`: KEY and everything below it exported to FILE in
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
#include <string>
#include <string_view>

#include "qv/registry.h"
#include "served.h"

namespace front {

namespace {

// KEY is below a root the editor and the server share, spelled the long way:
// in capitals (exact_case), or in any case.
bool below_long_root(std::string_view key, bool exact_case) {
    for (std::string_view root : {"HKEY_LOCAL_MACHINE\\", "HKEY_CURRENT_USER\\", "HKEY_CLASSES_ROOT\\", "HKEY_USERS\\"}) {
        std::string_view head = key.substr(0, root.size());
        if (key.size() > root.size() && (exact_case ? head == root : iequal(head, root)))
            return true;
    }
    return false;
}

// `regedit /D KEY`: the root's long name in any case, and a key below it.
// The editor deletes it, or finds nothing to delete, without a word.
std::optional<Answer> delete_key(const Invocation& call, Prefix& prefix) {
    std::string key = call.args[1];
    if (!below_long_root(key, false) || !printable_ascii(key) || key.find("\\\\") != std::string::npos)
        return std::nullopt;
    if (key.back() == '\\')
        key.pop_back();
    if (!qv::delete_tree(prefix.session(), qv::short_root_path(key), call.view()))
        return std::nullopt;
    return Answer{};
}

}  // namespace

std::optional<Answer> serve_regedit(const Invocation& call, Prefix& prefix) {
    if (call.args.size() == 2 && iequal(call.args[0], "/d"))
        return delete_key(call, prefix);
    // A file alone is imported as with /S: the editor asks nothing.
    bool bare = call.args.size() == 1 && !call.args[0].empty() && call.args[0][0] != '/' && call.args[0][0] != '-';
    if (bare || (call.args.size() == 2 && iequal(call.args[0], "/s"))) {
        std::optional<std::string> path = file_argument(call.args.back(), prefix);
        if (!path || !import_reg_file(*path, call.view(), prefix))
            return std::nullopt;
        return Answer{};
    }
    if (call.args.size() != 3 || !iequal(call.args[0], "/e"))
        return std::nullopt;
    const std::string& key = call.args[2];
    if (!below_long_root(key, true) || key.back() == '\\' || key.find("\\\\") != std::string::npos || !printable_ascii(key))
        return std::nullopt;
    std::optional<std::string> path = file_argument(call.args[1], prefix);
    if (!path || export_reg_file(key, *path, call.view(), prefix) != Exported::written)
        return std::nullopt;
    return Answer{};
}

}  // namespace front
