// qvctl: talks to a qvmanip server running in a Wine prefix.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "qv/bytes.h"
#include "qv/escape.h"
#include "qv/files.h"
#include "qv/printers.h"
#include "qv/registry.h"
#include "qv/server.h"

namespace {


const char kUsage[] =
    "usage: qvctl [--prefix DIR] [--exe QVMANIP.EXE] [--wine LOADER] [COMMAND]\n"
    "  (no command)      read request lines from stdin, print each answer\n"
    "  demo              send a few requests and show the bytes going both ways\n"
    "  request WORD [ARGS...]\n"
    "                    send one request as it is and print its answer\n"
    "  reg list KEY                      values and subkeys of a key\n"
    "  reg set KEY NAME TYPE VALUE...    TYPE: dword (hex), str, expand, multi, hex\n"
    "  reg rm KEY [NAME]                 delete a value, or the whole key\n"
    "  unixpath WINPATH | windowspath UNIXPATH\n"
    "  adddrive UNIXDIR | rmdrive LETTER\n"
    "  find PATTERN [MAX]                directory entries matching a pattern\n"
    "  folder NAME                       a well-known folder or environment variable\n"
    "  addprinter NAME,ID...             install cloud printers with qvaddprinter\n"
    "KEY may start with 32\\ (32-bit view) or 3264\\ (both views, when writing).\n"
    "WINEPREFIX is used when --prefix is not given.\n";

qv::RegView take_view(std::string& key) {
    for (auto [prefix, view] : {std::pair{"3264\\", qv::RegView::both}, std::pair{"32\\", qv::RegView::win32}})
        if (key.rfind(prefix, 0) == 0) {
            key.erase(0, std::string(prefix).size());
            return view;
        }
    return qv::RegView::native;
}


std::string from_hex(const std::string& text) {
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        out += static_cast<char>(std::stoul(text.substr(i, 2), nullptr, 16));
    return out;
}

int report(bool ok, const std::string& text) {
    (ok ? std::cout : std::cerr) << text << "\n";
    return ok ? 0 : 1;
}

// The typed commands; args holds what follows the command word.
int typed(qv::Server& server, const std::string& command, std::vector<std::string> args,
          const qv::LaunchOptions& options) {
    auto need = [&](size_t n) {
        if (args.size() < n)
            throw std::invalid_argument("not enough arguments for " + command);
    };
    if (command == "reg") {
        need(2);
        std::string what = args[0], key = args[1];
        qv::RegView view = take_view(key);
        if (what == "list") {
            qv::RegListing l = qv::list_key(server, key, view);
            if (!l.exists())
                return report(false, "cannot open key: error " + std::to_string(l.open_error));
            for (const qv::RegValue& v : l.values)
                std::cout << "value " << (v.name.empty() ? "(default)" : qv::visible(v.name)) << " type " << v.type
                          << " " << (v.is_text() ? "\"" + qv::visible(v.string()) + "\"" : qv::to_hex(v.data)) << "\n";
            for (const std::string& k : l.subkeys)
                std::cout << "subkey " << qv::visible(k) << "\n";
            return l.complete() ? 0 : 1;
        }
        if (what == "set") {
            need(5);
            const std::string& name = args[2];
            const std::string& type = args[3];
            qv::RegAnswer a;
            if (type == "dword")
                a = qv::set_dword(server, key, name, static_cast<uint32_t>(std::stoul(args[4], nullptr, 16)), view);
            else if (type == "str")
                a = qv::set_string(server, key, name, args[4], view);
            else if (type == "expand")
                a = qv::set_expand_string(server, key, name, args[4], view);
            else if (type == "multi")
                a = qv::set_multi_string(server, key, name, {args.begin() + 4, args.end()}, view);
            else if (type == "hex")
                a = qv::set_binary(server, key, name, from_hex(args[4]), view);
            else
                throw std::invalid_argument("unknown value type " + type);
            return report(a.ok(), a.answer);
        }
        if (what == "rm") {
            qv::RegAnswer a = args.size() > 2 ? qv::delete_value(server, key, args[2], view)
                                              : qv::delete_tree(server, key, view);
            return report(a.ok(), a.answer);
        }
        throw std::invalid_argument("unknown reg command " + what);
    }
    if (command == "unixpath" || command == "windowspath") {
        need(1);
        qv::PathResult r = command == "unixpath" ? qv::unix_path(server, args[0]) : qv::windows_path(server, args[0]);
        return report(r.path.has_value(), r.path ? *r.path : r.failure.message);
    }
    if (command == "adddrive") {
        need(1);
        qv::DriveResult r = qv::add_drive(server, args[0]);
        return report(r.ok, !r.ok ? r.failure.message
                            : r.letter ? std::string(1, *r.letter) + ":"
                                       : "already mapped");
    }
    if (command == "rmdrive") {
        need(1);
        qv::RemoveResult r = qv::remove_drive(server, args[0].empty() ? '\0' : args[0][0]);
        return report(r.ok, r.ok ? "removed" : r.failure.message);
    }
    if (command == "find") {
        need(1);
        qv::FindResult r = qv::find_files(server, args[0], args.size() > 1 ? std::stoi(args[1]) : -1);
        if (!r.ok)
            return report(false, r.failure.message);
        for (const qv::DirEntry& e : r.entries)
            std::cout << (e.directory ? "dir  " : "file ") << qv::visible(e.name) << "\n";
        return 0;
    }
    if (command == "folder") {
        need(1);
        std::optional<std::string> f = qv::expanded_string(server, args[0]);
        return report(f.has_value(), f ? *f : "no such folder or variable");
    }
    if (command == "addprinter") {
        need(1);
        std::vector<qv::CloudPrinter> printers;
        for (const std::string& a : args) {
            size_t comma = a.find(',');
            if (comma == std::string::npos)
                throw std::invalid_argument("expected NAME,ID: " + a);
            printers.push_back({a.substr(0, comma), a.substr(comma + 1)});
        }
        qv::LaunchOptions o = options;
        o.exe = o.exe.substr(0, o.exe.rfind('/') + 1) + "qvaddprinter.exe";
        qv::RunResult r = qv::add_printers(o, printers);
        std::cout << r.out;
        return r.exit_code == 0 ? 0 : 1;
    }
    std::cerr << kUsage;
    return 2;
}

int interactive(qv::Server& server) {
    bool tty = isatty(0);
    std::string line;
    if (tty)
        std::cout << "qvmanip is ready; one request per line, \"quit\" or EOF ends.\n> " << std::flush;
    while (std::getline(std::cin, line)) {
        if (line == "quit" || line.rfind("quit ", 0) == 0)
            break;
        server.send(line + "\n");
        std::string answer = server.read_answer();
        std::cout << answer;
        if (!answer.empty() && answer.back() != '\n')
            std::cout << '\n';
        std::cout << (tty ? "> " : "") << std::flush;
    }
    int code = server.quit();
    if (tty)
        std::cout << "\nserver exited with code " << code << "\n";
    return code == 0 ? 0 : 1;
}

int demo(qv::Server& server) {
    std::cout << "bytes sent (->) and received (<-), with C escapes: \\n is LF, \\\\ one backslash\n";
    std::cout << "<- " << qv::visible(std::string(qv::kHandshake)) << "   (handshake)\n";
    const std::vector<std::string> requests = {
        "getwindowsdir",
        "getsystemdir",
        "unixpath C:\\windows",
        "getregkey HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion",
        "findfiles 5 C:\\windows\\*",
        "getexpandedstr appdata",
        "nosuchcommand",
    };
    for (const std::string& line : requests) {
        std::cout << "-> " << qv::visible(line + "\n") << "\n";
        server.send(line + "\n");
        std::string answer = server.read_answer();
        std::cout << "<- " << qv::visible(answer + std::string(qv::kEndMarker)) << "\n";
    }
    std::cout << "-> quit\\n\n";
    int code = server.quit();
    std::cout << "server exited with code " << code << "\n";
    return code == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    qv::LaunchOptions options;
    options.exe = QV_DEFAULT_QVMANIP;
    if (const char* p = std::getenv("WINEPREFIX"))
        options.prefix = p;

    int i = 1;
    for (; i < argc; i++) {
        std::string arg = argv[i];
        if ((arg == "--prefix" || arg == "--exe" || arg == "--wine") && i + 1 < argc) {
            std::string value = argv[++i];
            (arg == "--prefix" ? options.prefix : arg == "--exe" ? options.exe : options.wine) = value;
        } else if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (arg.rfind("--", 0) == 0) {
            std::cerr << kUsage;
            return 2;
        } else
            break;
    }
    if (options.prefix.empty()) {
        std::cerr << "qvctl: no prefix: give --prefix or set WINEPREFIX\n";
        return 2;
    }

    std::string command = i < argc ? argv[i++] : "";
    try {
        qv::Server server = qv::Server::start(options);
        if (command.empty())
            return interactive(server);
        if (command == "demo")
            return demo(server);
        if (command != "request") {
            std::vector<std::string> rest(argv + i, argv + argc);
            int code = typed(server, command, rest, options);
            server.quit();
            return code;
        }
        if (i < argc) {
            std::string word = argv[i++];
            std::string args;
            for (; i < argc; i++)
                args += (args.empty() ? "" : " ") + std::string(argv[i]);
            std::string answer = server.request(word, args);
            std::cout << answer;
            if (!answer.empty() && answer.back() != '\n')
                std::cout << '\n';
            server.quit();
            return 0;
        }
        std::cerr << kUsage;
        server.quit();
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "qvctl: " << e.what() << "\n";
        return 1;
    }
}
