#include "qv/info.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <sys/stat.h>

#include "qv/host.h"
#include "qv/registry.h"
#include "qv/winerelease.h"

namespace qv {

namespace {

constexpr const char* kEnvironmentKey = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment";

// The server's keywords for the folders besides the Windows and system ones.
const std::vector<std::string> kFolderKeywords = {"winsysdir",    "programfiles", "programfiles64",
                                                  "userprofile",  "appdata",      "localappdata",
                                                  "desktop",      "startmenu",    "temp"};

std::string first_line(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

// wine.inf lies in share/wine beside the loader's tree: /usr/lib/wine/wine64
// and /usr/share/wine, or /opt/wine/bin/wine64 and /opt/wine/share/wine.
std::string wine_inf_of(const std::string& wine) {
    char* real = realpath(wine.c_str(), nullptr);
    if (!real)
        return {};
    std::string dir(real);
    std::free(real);
    dir = dir.substr(0, dir.rfind('/'));
    for (const char* up : {"/../share/wine/wine.inf", "/../../share/wine/wine.inf"}) {
        struct stat st;
        std::string candidate = dir + up;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            char* r = realpath(candidate.c_str(), nullptr);
            std::string found = r ? r : candidate;
            std::free(r);
            return found;
        }
    }
    return {};
}

}  // namespace

const std::vector<std::string>& prefix_folder_names() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n = {"windows", "system"};
        n.insert(n.end(), kFolderKeywords.begin(), kFolderKeywords.end());
        return n;
    }();
    return names;
}

WineUpdate wine_update(const std::string& prefix, const std::string& wine, const std::vector<std::string>& launcher) {
    WineUpdate u;
    u.stamp = first_line(read_file(prefix + "/.update-timestamp"));
    u.wine = wine_release(wine, launcher).text;
    u.wine_inf = wine_inf_of(wine);
    struct stat st;
    if (!u.wine_inf.empty() && stat(u.wine_inf.c_str(), &st) == 0 && !u.stamp.empty())
        u.by_this_wine = u.stamp == std::to_string(static_cast<long long>(st.st_mtime));
    if (u.by_this_wine)
        u.last_updated_by = u.wine;
    return u;
}

Result<PrefixInfo> prefix_info(Channel to, const std::string& wine) {
    PrefixInfo info;
    info.prefix = prefix_folder(to);
    if (info.prefix.empty())
        return Failure{Failure::Kind::server, 0, "the server does not tell where the prefix is"};

    std::vector<Request> requests = windows_version_requests();
    const size_t version_count = requests.size();
    requests.push_back(get_value_request(kEnvironmentKey, "PROCESSOR_ARCHITECTURE"));
    requests.push_back(windows_dir_request());
    requests.push_back(system_dir_request());
    for (const std::string& k : kFolderKeywords)
        requests.push_back(expanded_string_request(k));
    std::vector<std::string> answers = to.ask_all(requests);

    Result<WindowsVersionReading> version =
        parse_windows_version(windows_version_tool(to),
                              std::vector<std::string>(answers.begin(), answers.begin() + version_count));
    if (!version)
        return *version.failure;
    info.windows_version = *version;
    Result<std::optional<RegValue>> arch = parse_value(answers[version_count]);
    if (!arch)
        return *arch.failure;
    info.processor = *arch ? (*arch)->string() : std::string();
    // What wineboot writes for the prefix's architecture.
    info.arch = info.processor == "x86" ? "win32" : info.processor == "AMD64" ? "win64" : "";

    std::vector<Request> unix_requests;
    const std::vector<std::string>& names = prefix_folder_names();
    for (size_t i = 0; i < names.size(); i++) {
        Result<std::string> path = parse_text(answers[version_count + 1 + i]);
        if (!path)
            continue;
        info.folders.push_back({names[i], *path, {}});
        unix_requests.push_back(unix_path_request(*path));
    }
    std::vector<std::string> unix_answers = to.ask_all(unix_requests);
    for (size_t i = 0; i < unix_answers.size(); i++) {
        Result<std::string> p = parse_unix_path(unix_answers[i]);
        if (p)
            info.folders[i].unix_path = *p;
    }
    info.drives = drive_mappings(info.prefix);
    info.update = wine_update(info.prefix, wine, to.launcher());
    return info;
}

}  // namespace qv
