#include "qv/winerelease.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>

#include "qv/process.h"

namespace qv {

WineRelease parse_wine_release(std::string_view line) {
    WineRelease r;
    line = line.substr(0, line.find('\n'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.remove_suffix(1);
    r.text = std::string(line);
    if (line.substr(0, 5) != "wine-")
        return r;
    std::string digits(line.substr(5));
    char* end = nullptr;
    long major = std::strtol(digits.c_str(), &end, 10);
    if (end == digits.c_str() || major <= 0)
        return r;
    r.major = static_cast<int>(major);
    if (*end == '.')
        r.minor = static_cast<int>(std::strtol(end + 1, nullptr, 10));
    return r;
}

namespace {

std::mutex lock;
std::map<std::string, WineRelease> known;  // by loader and launcher

std::string key_of(const std::string& loader, const std::vector<std::string>& launcher) {
    std::string key = loader;
    for (const std::string& word : launcher)
        key += '\0' + word;
    return key;
}

}  // namespace

WineRelease wine_release(const std::string& loader, const std::vector<std::string>& launcher) {
    std::string key = key_of(loader, launcher);
    {
        std::lock_guard<std::mutex> hold(lock);
        auto at = known.find(key);
        if (at != known.end())
            return at->second;
    }
    WineRelease r;
    LaunchOptions o;
    o.wine = loader;
    o.launcher = launcher;
    o.exe = "--version";
    try {
        Result<RunResult> ran = run_program(o, Millis(30000));
        if (ran && ran->exit_code == 0)
            r = parse_wine_release(ran->out);
    } catch (const std::runtime_error&) {
        // No loader there: the release stays unknown.
    }
    remember_wine_release(loader, r, launcher);
    return r;
}

void remember_wine_release(const std::string& loader, const WineRelease& release,
                           const std::vector<std::string>& launcher) {
    std::lock_guard<std::mutex> hold(lock);
    known[key_of(loader, launcher)] = release;
}

}  // namespace qv
