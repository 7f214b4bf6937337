#pragma once
// Typed calls for the server's file-system commands: path translation, drive
// letters, directory listing and well-known folders.
//
// Each call sends one request and reads its answer. An answer that is not
// in the command's format throws ProtocolError; an argument holding a raw LF
// (which no request can carry) is refused before sending.
//
// For batches (Session::ask_all) each call also comes as a request builder
// and an answer parser: parse_X(answer to X_request(...)) is what X() returns.
#include <string>
#include <string_view>
#include <vector>

#include "qv/failure.h"
#include "qv/server.h"
#include "qv/session.h"

namespace qv {

// "unixpath": the Unix path of a Windows path. Trailing components that do
// not exist yet are appended as given, with '/' separators.
Result<std::string> unix_path(Channel to, std::string_view windows_path);
// "windowspath": the Windows path of a Unix path (its bytes go unconverted).
Result<std::string> windows_path(Channel to, std::string_view unix_path);

// "adddrive": maps a Unix directory to the highest free drive letter and
// gives the letter (upper case). A directory mapped already (the server
// compares byte for byte: "/x" and "/x/" differ) gives the letter that maps
// it.
Result<char> add_drive(Channel to, std::string_view unix_dir);

// "rmdrive": removes a drive letter, B to Y in either case. A letter linked
// in the prefix's dosdevices by hand while Wine ran, which Wine answers as
// not defined, has its link removed (when the channel knows its prefix).
Result<void> remove_drive(Channel to, char letter);

// The prefix's folder: the channel's, else what the server makes of "C:\"
// ("<prefix>/dosdevices/c:/"); empty when neither tells.
std::string prefix_folder(Channel to);

// The architecture wineboot recorded in the prefix's system.reg ("win64",
// "win32"); empty when the file tells none.
std::string prefix_arch(const std::string& prefix);

// The drive letters of a prefix folder and their targets, as its dosdevices
// links hold them (upper-case letters, A to Z).
struct DriveMapping {
    char letter = 0;
    std::string target;
};
std::vector<DriveMapping> drive_mappings(const std::string& prefix);

struct DirEntry {
    std::string name;
    bool directory = false;
    bool operator==(const DirEntry& o) const { return name == o.name && directory == o.directory; }
};

// "findfiles": entries matching a wildcard pattern, in the platform's order,
// "." and ".." included; at most max_results of them when it is positive, all
// of them when it is negative. No match fails with kFileNotFound or
// kPathNotFound. Entries whose name holds LF cannot be listed and are left
// out by the server.
Result<std::vector<DirEntry>> find_files(Channel to, std::string_view pattern, int max_results = -1);

// "getsystemdir" and "getwindowsdir".
Result<std::string> system_dir(Channel to);
Result<std::string> windows_dir(Channel to);

// "getexpandedstr": a keyword's folder ("appdata", "programs", ...) or else
// the environment variable of that name. An empty answer (no folder,
// variable unset, empty, 260 bytes or longer, or holding LF) is a failure.
Result<std::string> expanded_string(Channel to, std::string_view name);

// "expandstr": the text with every %NAME% the server's environment defines
// expanded, as the platform expands environment strings (an unknown name
// stays as it is; a 32-bit server sees the 32-bit %ProgramFiles%). Text with
// NUL or that is not UTF-8 is refused; longer than 32,766 characters, or
// expanding to more than 32,767, fails.
Result<std::string> expand_text(Channel to, std::string_view text);

// The requests the calls above send.
Request unix_path_request(std::string_view windows_path);
Request windows_path_request(std::string_view unix_path);
Request add_drive_request(std::string_view unix_dir);
Request remove_drive_request(char letter);
Request find_files_request(std::string_view pattern, int max_results = -1);
Request system_dir_request();
Request windows_dir_request();
Request expanded_string_request(std::string_view name);
Request expand_text_request(std::string_view text);

// Their answers, parsed as the calls do (ProtocolError for an answer that is
// not in the command's format). An empty "adddrive" answer (mapped already)
// parses to the letter '\0'; add_drive then finds the letter.
Result<std::string> parse_unix_path(std::string_view answer);
Result<std::string> parse_windows_path(std::string_view answer);
Result<char> parse_add_drive(std::string_view answer);
Result<void> parse_remove_drive(std::string_view answer);
Result<std::vector<DirEntry>> parse_find_files(std::string_view answer);
// The folder answers: empty is a failure.
Result<std::string> parse_text(std::string_view answer);
Result<std::string> parse_expanded_text(std::string_view answer);

}  // namespace qv
