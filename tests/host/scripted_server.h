#pragma once
// A scripted stand-in for the server (no Wine): a shell script in a scratch
// folder that the session starts in place of the loader.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "qv/session.h"

namespace hosttest {

struct ScriptedServer {
    explicit ScriptedServer(const std::string& name, const std::string& script)
        : dir("/tmp/qv-" + name + "-" + std::to_string(::getpid())) {
        ::mkdir(dir.c_str(), 0755);
        std::ofstream(dir + "/server.sh") << script;
        std::remove((dir + "/starts").c_str());
        options.launch.wine = "/bin/sh";
        options.launch.exe = dir + "/server.sh";
        options.launch.env = {{"QV_STARTS", dir + "/starts"}, {"QV_LOG", dir + "/log"}};
        options.start_timeout = options.answer_timeout = qv::Millis(20000);
    }
    ~ScriptedServer() { std::system(("rm -rf '" + dir + "'").c_str()); }
    // The lines of a file the script wrote into the folder (none when it is missing).
    std::vector<std::string> lines(const std::string& file) const {
        std::ifstream in(dir + "/" + file);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }

    std::string dir;
    qv::SessionOptions options;
};

}  // namespace hosttest
