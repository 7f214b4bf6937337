#include "help.h"

#include <map>

namespace qvctl {

namespace {

struct Help {
    const char* usage;
    const char* text;
};

const char kExitCodes[] =
    "Exit codes: 0 done; 1 the operation failed (the server's or the system's\n"
    "answer is printed); 2 usage error or unreadable input (bad arguments, bad\n"
    "registry path, malformed .reg file); 3 environment: no prefix, no Wine, the\n"
    "server did not start or died.\n";

const std::map<std::string, Help>& table() {
    static const std::map<std::string, Help> t = {
        {"reg get", {"qvctl reg get KEY [NAME]",
                     "Lists the values and subkeys of KEY, or shows the value NAME (\"\" for the\n"
                     "default value). KEY is ROOT\\path with ROOT one of HKEY_CLASSES_ROOT,\n"
                     "HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS or HKCR, HKCU, HKLM, HKU\n"
                     "(any case); a leading 32\\ reads the 32-bit view.\n"
                     "JSON: {key, values: [{name, type, type_code, data, hex}], subkeys, complete};\n"
                     "data is text, a list of strings, a number (dword, qword) or hex.\n"}},
        {"reg set", {"qvctl reg set KEY NAME TYPE DATA...",
                     "Writes one value, creating KEY and its parents. TYPE: sz, expand, multi\n"
                     "(one DATA word per string, none for an empty list), dword (decimal, or\n"
                     "hex after 0x), binary (hex pairs, optionally separated by , : or blanks).\n"
                     "NAME \"\" is the default value. A leading 3264\\ on KEY writes both views,\n"
                     "32\\ the 32-bit view. Other types: write a .reg file and use reg import.\n"}},
        {"reg rm", {"qvctl reg rm KEY",
                    "Deletes KEY with everything below it; a missing key counts as deleted.\n"
                    "Root keys themselves are refused.\n"}},
        {"reg rm-value", {"qvctl reg rm-value KEY NAME", "Deletes one value; a missing key or value is a failure.\n"}},
        {"reg export", {"qvctl reg export KEY [FILE] [--regedit4 | --utf8]",
                        "Writes KEY and everything below it to FILE (default: standard output) as a\n"
                        ".reg file: \"Windows Registry Editor Version 5.00\" in UTF-16LE with a BOM,\n"
                        "as the platform's own editor writes it; --utf8 the same in UTF-8;\n"
                        "--regedit4 the older REGEDIT4 form (UTF-8 text). Every type and byte of\n"
                        "a value is kept, as far as the listing shows it (text is listed as\n"
                        "UTF-8: ill-formed UTF-16 comes out as U+FFFD, an odd last byte is lost).\n"
                        "A progress bar shows on a terminal.\n"}},
        {"reg import", {"qvctl reg import FILE [--to KEY [--from KEY]] [--32]",
                        "Writes a .reg file (\"-\": standard input): REGEDIT4 or version 5.00,\n"
                        "UTF-16LE with BOM or UTF-8/8-bit text. --to moves the keys below --from\n"
                        "(default: the file's first key) to below KEY. --32 writes the 32-bit view.\n"
                        "Types the server cannot write (REG_NONE, REG_QWORD, other codes, text\n"
                        "without its NUL) go through the prefix's registry editor and are read\n"
                        "back to check them. The file is checked whole before anything is written.\n"}},
        {"reg", {"qvctl reg get|set|rm|rm-value|export|import ...",
                 "Registry commands; qvctl reg COMMAND --help for each.\n"}},
        {"path", {"qvctl path unix WINPATH | qvctl path windows UNIXPATH",
                  "Translates a path. unix: the Unix path of a Windows path (missing trailing\n"
                  "parts are kept as given); windows: the Windows path of a Unix path.\n"}},
        {"drive", {"qvctl drive add UNIXDIR | drive rm LETTER | drive list",
                   "add maps a directory to the highest free letter (or names the letter it\n"
                   "already has); rm removes a letter (B to Y); list shows the prefix's\n"
                   "dosdevices links, read directly from the prefix.\n"}},
        {"find", {"qvctl find PATTERN [--max N]",
                  "Directory entries matching a wildcard pattern such as C:\\windows\\*.exe,\n"
                  "\".\" and \"..\" included; at most N. No match exits with 1.\n"}},
        {"folder", {"qvctl folder NAME",
                    "A well-known folder (appdata, desktop, programs, ...) or else the\n"
                    "environment variable NAME inside the prefix.\n"}},
        {"dir", {"qvctl dir system|windows", "The system or the Windows directory.\n"}},
        {"printer", {"qvctl printer add NAME,ID... [--ppd FILE]",
                     "Installs cloud printers with qvaddprinter (the name ends at the first\n"
                     "comma). --ppd copies the PPD into the prefix first. The installer reports\n"
                     "nothing per printer; its exit code is passed on. Runs of 50 printers;\n"
                     "a progress bar shows on a terminal.\n"}},
        {"batch", {"qvctl batch [FILE] [--stop-on-error]",
                   "Reads qvctl commands from FILE (default and \"-\": standard input), one per\n"
                   "line, and answers all of them through one server. Words split as in a\n"
                   "shell, with '...', \"...\" and # comments; outside quotes a backslash\n"
                   "escapes only a blank, a quote, a backslash or #, so Windows paths need no\n"
                   "quotes. Every line runs even after a failure unless --stop-on-error; an\n"
                   "environment failure (exit 3) stops the batch. With --json each line's\n"
                   "result is one JSON object carrying its line number.\n"
                   "Exits with the highest exit code of its lines.\n"}},
        {"request", {"qvctl request WORD [ARGS...]",
                     "Sends one request as it is (the words joined by spaces) and prints the\n"
                     "answer.\n"}},
        {"demo", {"qvctl demo", "Sends a few requests and shows the bytes going both ways.\n"}},
        {"agent", {"qvctl agent status|stop",
                   "The prefix's agent: one server kept running for the prefix and shared by\n"
                   "every qvctl call (started by the first, gone after --persist seconds\n"
                   "without a client). status shows it (exit 1 when none runs); stop quits\n"
                   "its server and ends it, so that the prefix is released at once.\n"}},
    };
    return t;
}

const Help* find(const std::string& command) {
    auto it = table().find(command);
    if (it == table().end()) {
        // "drive add" and the like share their group's text
        size_t space = command.find(' ');
        if (space != std::string::npos && command.rfind("reg ", 0) != 0)
            it = table().find(command.substr(0, space));
    }
    return it == table().end() ? nullptr : &it->second;
}

}  // namespace

std::string usage_line(const std::string& command) {
    const Help* h = find(command);
    return h ? h->usage : "qvctl --help";
}

std::string help_text(const std::string& command) {
    if (const Help* h = find(command))
        return std::string("usage: ") + h->usage + "\n\n" + h->text + "\n" + kExitCodes;
    return "usage: qvctl [--prefix DIR] [--json] [--exe QVMANIP.EXE] [--wine LOADER] [--persist SECONDS]\n"
           "             COMMAND ...\n"
           "\n"
           "Asks a qvmanip server in a Wine prefix. The prefix: --prefix, else WINEPREFIX,\n"
           "else ~/.wine; it must exist already (qvctl never creates one).\n"
           "\n"
           "The server is the prefix's agent's, started by the first call and kept for\n"
           "--persist seconds after the last (default 5; else QV_PERSIST); --persist 0\n"
           "runs a server of qvctl's own. `wineserver -w` waits for that server too.\n"
           "\n"
           "  reg get KEY [NAME]                values and subkeys of a key, or one value\n"
           "  reg set KEY NAME TYPE DATA...     write a value (sz, expand, multi, dword, binary)\n"
           "  reg rm KEY | reg rm-value KEY NAME\n"
           "  reg export KEY [FILE]             a tree as a .reg file\n"
           "  reg import FILE [--to KEY]        a .reg file into the registry\n"
           "  path unix WINPATH | path windows UNIXPATH\n"
           "  drive add UNIXDIR | drive rm LETTER | drive list\n"
           "  find PATTERN [--max N]            directory entries matching a pattern\n"
           "  folder NAME                       a well-known folder or environment variable\n"
           "  dir system|windows                the system or Windows directory\n"
           "  printer add NAME,ID...            install cloud printers with qvaddprinter\n"
           "  batch [FILE]                      many commands, one server\n"
           "  request WORD [ARGS...]            one raw request\n"
           "  demo                              a few requests with the bytes shown\n"
           "  agent status|stop                 the prefix's agent\n"
           "  (no command)                      raw request lines from standard input\n"
           "\n"
           "--json prints one JSON object per command (\"ok\" and the result; strings\n"
           "that are not UTF-8 get U+FFFD and a \"<field>_hex\" beside them with the exact\n"
           "bytes). qvctl COMMAND --help tells more.\n"
           "\n" +
           std::string(kExitCodes);
}

}  // namespace qvctl
