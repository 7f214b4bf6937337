// qvctl: talks to a qvmanip server running in a Wine prefix.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <unistd.h>

#include "qv/escape.h"
#include "qv/server.h"

namespace {

const char kUsage[] =
    "usage: qvctl [--prefix DIR] [--exe QVMANIP.EXE] [--wine LOADER] [COMMAND]\n"
    "  (no command)      read request lines from stdin, print each answer\n"
    "  demo              send a few requests and show the bytes going both ways\n"
    "  request WORD [ARGS...]\n"
    "                    send one request and print its answer\n"
    "WINEPREFIX is used when --prefix is not given.\n";

// Shows bytes the way a reader can check them: escapes for LF, CR, TAB, NUL
// and other control bytes, everything else as it is.
std::string visible(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\')
            out += "\\\\";
        else if (c < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out;
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
    std::cout << "<- " << visible(std::string(qv::kHandshake)) << "   (handshake)\n";
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
        std::cout << "-> " << visible(line + "\n") << "\n";
        server.send(line + "\n");
        std::string answer = server.read_answer();
        std::cout << "<- " << visible(answer + std::string(qv::kEndMarker)) << "\n";
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
        if (command == "request" && i < argc) {
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
