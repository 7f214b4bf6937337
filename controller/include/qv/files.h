#pragma once
// Typed calls for the server's file-system commands: path translation, drive
// letters, directory listing and well-known folders.
//
// Each call sends one request and reads its answer. An answer that is not
// in the command's format throws ProtocolError; an argument holding a raw LF
// (which no request can carry) throws std::invalid_argument.
//
// For batches (Session::ask_all) each call also comes as a request builder
// and an answer parser: parse_X(answer to X_request(...)) is what X() returns.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qv/failure.h"
#include "qv/server.h"
#include "qv/session.h"

namespace qv {

// The path of "path ..." answers, or the failure.
struct PathResult {
    std::optional<std::string> path;
    Failure failure;
    explicit operator bool() const { return path.has_value(); }
};

// "unixpath": the Unix path of a Windows path. Trailing components that do
// not exist yet are appended as given, with '/' separators.
PathResult unix_path(Server& server, std::string_view windows_path);
// "windowspath": the Windows path of a Unix path (its bytes go unconverted).
PathResult windows_path(Server& server, std::string_view unix_path);

struct DriveResult {
    bool ok = false;
    // The new letter (upper case); none when the directory was mapped already.
    std::optional<char> letter;
    Failure failure;
    explicit operator bool() const { return ok; }
};

// "adddrive": maps a Unix directory to the highest free drive letter. The
// path is compared byte for byte with existing mappings ("/x" and "/x/"
// differ).
DriveResult add_drive(Server& server, std::string_view unix_dir);

struct RemoveResult {
    bool ok = false;
    Failure failure;
    explicit operator bool() const { return ok; }
};

// "rmdrive": removes a drive letter, B to Y in either case.
RemoveResult remove_drive(Server& server, char letter);

struct DirEntry {
    std::string name;
    bool directory = false;
    bool operator==(const DirEntry& o) const { return name == o.name && directory == o.directory; }
};

struct FindResult {
    bool ok = false;
    std::vector<DirEntry> entries;  // in the platform's order, "." and ".." included
    Failure failure;                // no match gives "errno 2" or "errno 3"
    explicit operator bool() const { return ok; }
};

// "findfiles": entries matching a wildcard pattern; at most max_results of
// them when it is positive, all of them when it is negative. Entries whose
// name holds LF cannot be listed and are left out by the server.
FindResult find_files(Server& server, std::string_view pattern, int max_results = -1);

// "getsystemdir" and "getwindowsdir": none when the server has no answer.
std::optional<std::string> system_dir(Server& server);
std::optional<std::string> windows_dir(Server& server);

// "getexpandedstr": a keyword's folder ("appdata", "programs", ...) or else
// the environment variable of that name; none for an empty answer (no
// folder, variable unset, empty, 260 bytes or longer, or holding LF).
std::optional<std::string> expanded_string(Server& server, std::string_view name);

// The requests the calls above send.
Request unix_path_request(std::string_view windows_path);
Request windows_path_request(std::string_view unix_path);
Request add_drive_request(std::string_view unix_dir);
Request remove_drive_request(char letter);
Request find_files_request(std::string_view pattern, int max_results = -1);
Request system_dir_request();
Request windows_dir_request();
Request expanded_string_request(std::string_view name);

// Their answers, parsed as the calls do (ProtocolError for an answer that is
// not in the command's format).
PathResult parse_unix_path(std::string_view answer);
PathResult parse_windows_path(std::string_view answer);
DriveResult parse_add_drive(std::string_view answer);
RemoveResult parse_remove_drive(std::string_view answer);
FindResult parse_find_files(std::string_view answer);
// The folder answers: none when empty.
std::optional<std::string> parse_text(std::string_view answer);

}  // namespace qv
