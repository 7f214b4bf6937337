// path, drive, find, folder, env and dir: files, drives and folders.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <unistd.h>

#include <sys/stat.h>

#include "cli.h"
#include "qv/files.h"
#include "qv/text.h"
#include "text.h"

namespace qvctl {

namespace {

int path_cmd(Context& ctx, const Command& c, const Args& a) {
    const std::string& kind = a.pos[0];
    if (kind != "unix" && kind != "windows")
        usage_error("path: say unix or windows, not \"" + kind + "\"\nusage: qvctl " + c.usage);
    std::vector<std::string> inputs(a.pos.begin() + 1, a.pos.end());
    for (const std::string& p : inputs) {
        if (p.empty())
            usage_error("path " + kind + ": an empty path names nothing");
        if (p.find('\n') != std::string::npos)
            usage_error("path " + kind + ": the path \"" + qv::visible(p) + "\" holds a line feed, which no path can");
    }
    json paths = json::array();
    std::string human;
    std::optional<Exit> first;
    for (const std::string& p : inputs) {
        std::string arg = kind == "windows" ? absolute(p) : p;
        qv::Result<std::string> r = kind == "unix" ? qv::unix_path(ctx.session(), arg) : qv::windows_path(ctx.session(), arg);
        json j;
        put_text(j, "input", p);
        if (r) {
            put_text(j, "path", *r);
            human += *r + "\n";
        } else {
            Exit e{r.failure->kind == qv::Failure::Kind::refused ? kUsage : kFailed,
                   "path " + kind + " " + shown(p) + ": " + r.error(), qv::kind_name(r.failure->kind),
                   r.failure->code};
            j["error"] = error_json(e);
            std::cerr << "qvctl: " << e.message << "\n";
            if (!first)
                first = e;
        }
        paths.push_back(j);
    }
    json r;
    r["paths"] = paths;
    if (first)
        emit_partial(ctx, r, human, first->code, first->message, first->kind, first->win32);
    emit(ctx, r, human);
    return kOk;
}

// The same directory as the file system sees it: same device and inode.
bool same_directory(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

std::string link_path(const std::string& prefix, char letter) {
    return prefix + "/dosdevices/" + static_cast<char>(std::tolower(static_cast<unsigned char>(letter))) + ":";
}

// "/a//b/./c/" -> "/a/b/c": one spelling for one directory.
std::string tidy(const std::string& path) {
    std::string out;
    size_t i = 0;
    while (i < path.size()) {
        size_t slash = path.find('/', i);
        std::string part = path.substr(i, slash == std::string::npos ? std::string::npos : slash - i);
        if (!part.empty() && part != ".")
            out += "/" + part;
        if (slash == std::string::npos)
            break;
        i = slash + 1;
    }
    return out.empty() ? "/" : out;
}

int drive_list(Context& ctx, const Command&, const Args&) {
    ctx.check_prefix();
    json drives = json::array();
    std::string human;
    bool has_c = false;
    for (const qv::DriveMapping& d : qv::drive_mappings(ctx.launch.prefix)) {
        json j;
        j["letter"] = std::string(1, d.letter);
        put_text(j, "target", d.target);
        bool works = access(link_path(ctx.launch.prefix, d.letter).c_str(), F_OK) == 0;
        j["exists"] = works;
        has_c = has_c || (d.letter == 'C' && works);
        drives.push_back(j);
        human += std::string(1, d.letter) + ":  " + readable(d.target) + (works ? "" : "  (missing)") + "\n";
    }
    if (!has_c)
        human += "C: is missing: Wine cannot start programs in this prefix; restore it with\n"
                 "    ln -sfn ../drive_c '" + ctx.launch.prefix + "/dosdevices/c:'\n";
    json r;
    r["drives"] = drives;
    emit(ctx, r, human);
    return kOk;
}

int drive_add(Context& ctx, const Command&, const Args& a) {
    std::string dir = a.pos[0];
    struct stat st;
    if (dir.empty() || stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        usage_error("drive add: no such directory: " + shown(dir));
    dir = tidy(absolute(dir));
    ctx.check_prefix();
    json r;
    r["directory"] = dir;
    for (const qv::DriveMapping& l : qv::drive_mappings(ctx.launch.prefix))
        if (same_directory(link_path(ctx.launch.prefix, l.letter), dir)) {
            r["letter"] = std::string(1, l.letter);
            r["new"] = false;
            emit(ctx, r, std::string(1, l.letter) + ": (already mapped to " + readable(l.target) + ")\n");
            return kOk;
        }
    qv::Result<char> d = qv::add_drive(ctx.session(), dir);
    if (!d)
        failed("cannot map " + dir + " to a drive", *d.failure);
    r["letter"] = std::string(1, *d);
    r["new"] = true;
    emit(ctx, r, std::string(1, *d) + ":\n");
    return kOk;
}

int drive_rm(Context& ctx, const Command&, const Args& a) {
    std::string l = a.pos[0];
    if (!((l.size() == 1 || (l.size() == 2 && l[1] == ':')) && std::isalpha(static_cast<unsigned char>(l[0]))))
        usage_error("drive rm: \"" + l + "\" is not a drive; a drive is one letter, like D or D:");
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(l[0])));
    ctx.check_prefix();
    // Wine starts nothing in a prefix without its C: drive.
    bool is_c = letter == 'C';
    bool maps_drive_c = same_directory(link_path(ctx.launch.prefix, letter), ctx.launch.prefix + "/drive_c");
    if ((is_c || maps_drive_c) && !a.flag("--force"))
        throw Exit{kFailed,
                   std::string("drive rm: refusing to remove ") + letter + ":, " +
                       (is_c ? "the prefix's system drive" : "which maps the prefix's own drive_c") +
                       "; without it Wine cannot start programs in the prefix and qvctl could not put it back. "
                       "Give --force to remove it all the same.",
                   "failed"};
    if (letter == 'A' || letter == 'Z')
        throw Exit{kFailed,
                   std::string("drive rm: ") + letter + ": cannot be removed; qvmanip removes B: to Y: only", "failed"};
    qv::Result<void> r = qv::remove_drive(ctx.session(), letter);
    if (!r)
        failed(std::string("drive rm ") + letter, *r.failure);
    json j;
    j["letter"] = std::string(1, letter);
    emit(ctx, j, "");
    return kOk;
}

int find_cmd(Context& ctx, const Command&, const Args& a) {
    int max = -1;
    if (auto m = a.value("--max")) {
        char* end = nullptr;
        long v = std::strtol(m->c_str(), &end, 10);
        if (m->empty() || *end || v < 1 || v > 1000000000)
            usage_error("find: --max takes a positive number, not \"" + *m + "\"");
        max = static_cast<int>(v);
    }
    if (a.pos[0].empty())
        usage_error("find: the PATTERN is empty");
    qv::Result<std::vector<qv::DirEntry>> f = qv::find_files(ctx.session(), a.pos[0], max);
    json entries = json::array();
    std::string human;
    if (f)
        for (const qv::DirEntry& e : *f) {
            json j;
            put_text(j, "name", e.name);
            j["directory"] = e.directory;
            entries.push_back(j);
            human += (e.directory ? "dir  " : "file ") + readable(e.name) + "\n";
        }
    else if (!f.failure->is(qv::kFileNotFound))
        failed("find " + a.pos[0], *f.failure);
    json r;
    r["entries"] = entries;
    if (!f)
        emit_partial(ctx, r, human, kFailed, "no match for " + a.pos[0] + " (Win32 error 2)", "win32",
                     qv::kFileNotFound);
    emit(ctx, r, human);
    return kOk;
}

struct Folder {
    const char* name;
    const char* what;
};
// The server's keywords (it compares them exactly, in lower case).
const Folder kFolders[] = {
    {"appdata", "the user's roaming application data"},
    {"localappdata", "the user's local application data"},
    {"desktop", "the user's desktop"},
    {"userprofile", "the user's profile folder"},
    {"startmenu", "the user's start menu"},
    {"programfiles", "the program files folder of 32-bit programs"},
    {"programfiles64", "the program files folder of 64-bit programs"},
    {"systemroot", "the Windows directory"},
    {"windir", "the Windows directory"},
    {"winsysdir", "the system directory of 32-bit programs"},
    {"winsysdir64", "the system directory of 64-bit programs"},
    {"temp", "the temporary folder"},
    {"programs", "a name, not a path: the start menu's programs folder (\"Programs\")"},
    {"accessories", "a name, not a path: programs folder\\accessories (\"Programs\\Accessories\")"},
};

std::string folder_list() {
    std::string out;
    for (const Folder& f : kFolders)
        out += "  " + std::string(f.name) + std::string(16 - std::strlen(f.name), ' ') + f.what + "\n";
    return out;
}

int folder_cmd(Context& ctx, const Command&, const Args& a) {
    std::string name = qv::ascii_lower(a.pos[0]);
    bool known = false;
    for (const Folder& f : kFolders)
        known = known || name == f.name;
    if (!known)
        usage_error("folder: no folder is called \"" + a.pos[0] + "\"; qvctl folder --help lists them (an " +
                    "environment variable: qvctl env " + a.pos[0] + ")");
    qv::Result<std::string> f = qv::expanded_string(ctx.session(), name);
    if (!f)
        failed("folder " + name + ": the prefix has no such folder", *f.failure);
    json r;
    r["name"] = name;
    put_text(r, "path", *f);
    emit(ctx, r, *f + "\n");
    return kOk;
}

int env_cmd(Context& ctx, const Command&, const Args& a) {
    const std::string& name = a.pos[0];
    if (name.empty() || name.find('=') != std::string::npos || name.find('\n') != std::string::npos)
        usage_error("env: \"" + qv::visible(name) + "\" is not a variable name");
    // The server reads a folder keyword first, and keywords are lower case;
    // variable names are not case-sensitive, so upper case reaches the variable.
    std::string upper = name;
    for (char& ch : upper)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    qv::Result<std::string> v = qv::expanded_string(ctx.session(), upper);
    if (!v)
        throw Exit{kFailed,
                   "env: " + name + " is not set in the prefix (or is empty, holds a line feed, or is 260 bytes or "
                   "longer)",
                   "win32", 203};
    json r;
    r["name"] = name;
    put_text(r, "value", *v);
    emit(ctx, r, *v + "\n");
    return kOk;
}

int expand_cmd(Context& ctx, const Command&, const Args& a) {
    const std::string& text = a.pos[0];
    qv::Result<std::string> e = qv::expand_text(ctx.session(), text);
    if (!e)
        failed("expand", *e.failure);
    json r;
    put_text(r, "text", text);
    put_text(r, "expanded", *e);
    emit(ctx, r, *e + "\n");
    return kOk;
}

int dir_cmd(Context& ctx, const Command&, const Args& a) {
    const std::string& kind = a.pos[0];
    if (kind != "system" && kind != "windows")
        usage_error("dir: say system or windows, not \"" + kind + "\"");
    qv::Result<std::string> d = kind == "system" ? qv::system_dir(ctx.session()) : qv::windows_dir(ctx.session());
    if (!d)
        failed("dir " + kind, *d.failure);
    json r;
    put_text(r, "path", *d);
    emit(ctx, r, *d + "\n");
    return kOk;
}

}  // namespace

std::vector<Command> files_commands() {
    return {
        {"path", "path unix WINPATH... | path windows UNIXPATH...", "translate paths",
         "Translates paths, as many as given, one answer line each. unix: the Unix\n"
         "path of a Windows path (missing trailing parts are kept as given);\n"
         "windows: the Windows path of a Unix path (relative to the current\n"
         "directory). When one fails the others are still printed.\n"
         "JSON: {paths: [{input, path} or {input, error}]}.\n",
         {}, {}, {2, kMany}, path_cmd},
        {"drive add", "drive add UNIXDIR", "map a directory to a drive letter",
         "Maps a directory to the highest free letter, or names the letter that\n"
         "maps it already (compared as the file system sees it: /d, /d/ and a\n"
         "symbolic link to /d are one directory).\n",
         {}, {}, {1, 1}, drive_add},
        {"drive rm", "drive rm LETTER [--force]", "remove a drive letter",
         "Removes a drive letter. C: and any letter mapping the prefix's own\n"
         "drive_c are refused without --force: Wine starts no program in a prefix\n"
         "without its C: drive.\n",
         {"--force"}, {}, {1, 1}, drive_rm},
        {"drive list", "drive list", "the prefix's drive letters",
         "Shows the prefix's dosdevices links, read directly from the prefix, and\n"
         "says when C: is missing and how to restore it.\n",
         {}, {}, {0, 0}, drive_list},
        {"find", "find PATTERN [--max N]", "directory entries matching a pattern",
         "Directory entries matching a wildcard pattern such as C:\\windows\\*.exe,\n"
         "\".\" and \"..\" included; at most N. No match exits with 1.\n",
         {}, {"--max"}, {1, 1}, find_cmd},
        {"folder", "folder NAME", "a well-known folder",
         "The path of a well-known folder in the prefix (NAME in any case):\n" + folder_list() +
             "Environment variables: qvctl env NAME.\n",
         {}, {}, {1, 1}, folder_cmd},
        {"env", "env NAME", "an environment variable in the prefix",
         "The value of the environment variable NAME as programs in the prefix see\n"
         "it (not case-sensitive, as on Windows). Values of 260 bytes or more, or\n"
         "holding a line feed, cannot be read this way.\n",
         {}, {}, {1, 1}, env_cmd},
        {"expand", "expand TEXT", "expand %VARIABLES% in a text",
         "TEXT with every %NAME% that the prefix's environment defines replaced by\n"
         "its value, as programs in the prefix expand it (what `cmd /c echo TEXT`\n"
         "prints, in one request); unknown names stay as they are. A 32-bit\n"
         "server expands %ProgramFiles% to the 32-bit folder.\n"
         "JSON: {text, expanded}.\n",
         {}, {}, {1, 1}, expand_cmd},
        {"dir", "dir system|windows", "the system or Windows directory", "The system or the Windows directory.\n",
         {}, {}, {1, 1}, dir_cmd},
    };
}

}  // namespace qvctl
