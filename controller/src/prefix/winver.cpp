#include "qv/winver.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <utility>

#include "qv/files.h"
#include "qv/install.h"
#include "qv/text.h"
#include "qv/wineconfig.h"
#include "qv/winerelease.h"

namespace qv {

namespace {

constexpr const char* kNtKey = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* k9xKey = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion";
constexpr const char* kProductKey = "HKLM\\System\\CurrentControlSet\\Control\\ProductOptions";
constexpr const char* kWindowsKey = "HKLM\\System\\CurrentControlSet\\Control\\Windows";
constexpr const char* kEnvironmentKey = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment";

using Family = WindowsVersion::Family;

// As each release's configuration tool writes them (measured with
// `winecfg -v` in Wine 8.0 and 10.0, from values planted and from none).
const WindowsVersionTool kWine8 = {
    8,
    {
        {"win10", "Windows 10", Family::nt, 10, 0, 18362, "10.0", "", 0x000, "Microsoft Windows 10", "WinNT"},
        {"win81", "Windows 8.1", Family::nt, 6, 3, 9600, "6.3", "", 0x000, "Microsoft Windows 8.1", "WinNT"},
        {"win8", "Windows 8", Family::nt, 6, 2, 9200, "6.2", "", 0x000, "Microsoft Windows 8", "WinNT"},
        {"win2008r2", "Windows 2008 R2", Family::nt, 6, 1, 7601, "6.1", "Service Pack 1", 0x100,
         "Microsoft Windows 2008 R2", "ServerNT"},
        {"win7", "Windows 7", Family::nt, 6, 1, 7601, "6.1", "Service Pack 1", 0x100, "Microsoft Windows 7", "WinNT"},
        {"win2008", "Windows 2008", Family::nt, 6, 0, 6002, "6.0", "Service Pack 2", 0x200, "Microsoft Windows 2008",
         "ServerNT"},
        {"vista", "Windows Vista", Family::nt, 6, 0, 6002, "6.0", "Service Pack 2", 0x200, "Microsoft Windows Vista",
         "WinNT"},
        {"win2003", "Windows 2003", Family::nt, 5, 2, 3790, "5.2", "Service Pack 2", 0x200, "Microsoft Windows 2003",
         "ServerNT"},
        {"winxp64", "Windows XP", Family::nt, 5, 2, 3790, "5.2", "Service Pack 2", 0x200, "Microsoft Windows XP",
         "WinNT"},
    },
    "win7",
    false,
    false,
};

// Wine 8's 32-bit tool, the one of a 32-bit prefix: no Windows XP 64, and
// the 32-bit and 16-bit versions with the values Wine 10 writes for them.
const WindowsVersionTool kWine8Win32 = {
    8,
    {
        {"win10", "Windows 10", Family::nt, 10, 0, 18362, "10.0", "", 0x000, "Microsoft Windows 10", "WinNT"},
        {"win81", "Windows 8.1", Family::nt, 6, 3, 9600, "6.3", "", 0x000, "Microsoft Windows 8.1", "WinNT"},
        {"win8", "Windows 8", Family::nt, 6, 2, 9200, "6.2", "", 0x000, "Microsoft Windows 8", "WinNT"},
        {"win2008r2", "Windows 2008 R2", Family::nt, 6, 1, 7601, "6.1", "Service Pack 1", 0x100,
         "Microsoft Windows 2008 R2", "ServerNT"},
        {"win7", "Windows 7", Family::nt, 6, 1, 7601, "6.1", "Service Pack 1", 0x100, "Microsoft Windows 7", "WinNT"},
        {"win2008", "Windows 2008", Family::nt, 6, 0, 6002, "6.0", "Service Pack 2", 0x200, "Microsoft Windows 2008",
         "ServerNT"},
        {"vista", "Windows Vista", Family::nt, 6, 0, 6002, "6.0", "Service Pack 2", 0x200, "Microsoft Windows Vista",
         "WinNT"},
        {"win2003", "Windows 2003", Family::nt, 5, 2, 3790, "5.2", "Service Pack 2", 0x200, "Microsoft Windows 2003",
         "ServerNT"},
        {"winxp", "Windows XP", Family::nt, 5, 1, 2600, "5.1", "Service Pack 3", 0x300, "Microsoft Windows XP", "WinNT"},
        {"win2k", "Windows 2000", Family::nt, 5, 0, 2195, "5.0", "Service Pack 4", 0x400, "Microsoft Windows 2000",
         "WinNT"},
        {"winme", "Windows ME", Family::win9x, 4, 90, 3000, "4.90.3000", " ", 0, "Microsoft Windows ME", ""},
        {"win98", "Windows 98", Family::win9x, 4, 10, 2222, "4.10.2222", " A ", 0, "Microsoft Windows 98", ""},
        {"win95", "Windows 95", Family::win9x, 4, 0, 950, "4.0.950", "", 0, "Microsoft Windows 95", ""},
        {"nt40", "Windows NT 4.0", Family::nt, 4, 0, 1381, "4.0", "Service Pack 6a", 0x600,
         "Microsoft Windows NT 4.0", "WinNT"},
        {"nt351", "Windows NT 3.51", Family::nt, 3, 51, 1057, "3.51", "Service Pack 5", 0x500,
         "Microsoft Windows NT 3.51", "WinNT"},
        {"win31", "Windows 3.1", Family::win16, 3, 10, 0, "", "", 0, "", ""},
        {"win30", "Windows 3.0", Family::win16, 3, 0, 0, "", "", 0, "", ""},
        {"win20", "Windows 2.0", Family::win16, 2, 0, 0, "", "", 0, "", ""},
    },
    "win7",
    false,
    true,
};

// Wine 10 offers the 32-bit and 16-bit versions in a 64-bit prefix too, gives
// Windows 10 and 11 the CurrentVersion "6.3" that they have themselves, and
// judges by CurrentMajorVersionNumber where it is present.
const WindowsVersionTool kWine10 = {
    10,
    {
        {"win11", "Windows 11", Family::nt, 10, 0, 22000, "6.3", "", 0x000, "Microsoft Windows 11", "WinNT"},
        {"win10", "Windows 10", Family::nt, 10, 0, 19043, "6.3", "", 0x000, "Microsoft Windows 10", "WinNT"},
        {"win81", "Windows 8.1", Family::nt, 6, 3, 9600, "6.3", "", 0x000, "Microsoft Windows 8.1", "WinNT"},
        {"win8", "Windows 8", Family::nt, 6, 2, 9200, "6.2", "", 0x000, "Microsoft Windows 8", "WinNT"},
        {"win2008r2", "Windows 2008 R2", Family::nt, 6, 1, 7601, "6.1", "Service Pack 1", 0x100,
         "Microsoft Windows 2008 R2", "ServerNT"},
        {"win7", "Windows 7", Family::nt, 6, 1, 7601, "6.1", "Service Pack 1", 0x100, "Microsoft Windows 7", "WinNT"},
        {"win2008", "Windows 2008", Family::nt, 6, 0, 6002, "6.0", "Service Pack 2", 0x200, "Microsoft Windows 2008",
         "ServerNT"},
        {"vista", "Windows Vista", Family::nt, 6, 0, 6002, "6.0", "Service Pack 2", 0x200, "Microsoft Windows Vista",
         "WinNT"},
        {"win2003", "Windows 2003", Family::nt, 5, 2, 3790, "5.2", "Service Pack 2", 0x200, "Microsoft Windows 2003",
         "ServerNT"},
        {"winxp64", "Windows XP 64", Family::nt, 5, 2, 3790, "5.2", "Service Pack 2", 0x200,
         "Microsoft Windows XP 64", "WinNT"},
        {"winxp", "Windows XP", Family::nt, 5, 1, 2600, "5.1", "Service Pack 3", 0x300, "Microsoft Windows XP", "WinNT"},
        {"win2k", "Windows 2000", Family::nt, 5, 0, 2195, "5.0", "Service Pack 4", 0x400, "Microsoft Windows 2000",
         "WinNT"},
        {"winme", "Windows ME", Family::win9x, 4, 90, 3000, "4.90.3000", " ", 0, "Microsoft Windows ME", ""},
        {"win98", "Windows 98", Family::win9x, 4, 10, 2222, "4.10.2222", " A ", 0, "Microsoft Windows 98", ""},
        {"win95", "Windows 95", Family::win9x, 4, 0, 950, "4.0.950", "", 0, "Microsoft Windows 95", ""},
        {"nt40", "Windows NT 4.0", Family::nt, 4, 0, 1381, "4.0", "Service Pack 6a", 0x600,
         "Microsoft Windows NT 4.0", "WinNT"},
        {"nt351", "Windows NT 3.51", Family::nt, 3, 51, 1057, "3.51", "Service Pack 5", 0x500,
         "Microsoft Windows NT 3.51", "WinNT"},
        {"win31", "Windows 3.1", Family::win16, 3, 10, 0, "", "", 0, "", ""},
        {"win30", "Windows 3.0", Family::win16, 3, 0, 0, "", "", 0, "", ""},
        {"win20", "Windows 2.0", Family::win16, 2, 0, 0, "", "", 0, "", ""},
    },
    "win10",
    true,
    true,
};

RegChange set_sz(const char* key, const char* name, std::string text, RegView view) {
    RegChange c;
    c.key = key;
    c.name = name;
    c.type = reg_sz;
    c.text = std::move(text);
    c.view = view;
    return c;
}

RegChange set_dw(const char* key, const char* name, uint32_t value, RegView view) {
    RegChange c;
    c.key = key;
    c.name = name;
    c.type = reg_dword;
    c.dword = value;
    c.view = view;
    return c;
}

RegChange remove(std::string key, const char* name, RegView view) {
    RegChange c;
    c.op = RegChange::Op::remove;
    c.key = std::move(key);
    c.name = name;
    c.view = view;
    return c;
}

Failure unknown_version(const WindowsVersionTool& tool, std::string_view name) {
    std::string known;
    for (const WindowsVersion& v : tool.versions)
        known += std::string(known.empty() ? "" : ", ") + v.name;
    return refused_failure("unknown Windows version \"" + std::string(name) + "\" (Wine offers " + known + ")");
}

// The views a change reaches, as listings read them.
std::vector<RegView> reached(RegView view) {
    if (view == RegView::both)
        return {RegView::native, RegView::win32};
    return {view};
}

using KeyView = std::pair<std::string, RegView>;

// What the read-back shows against one change; empty when it took effect.
std::string mismatch(const RegChange& c, const RegKey* listing) {
    const RegValue* v = listing ? listing->find(c.name) : nullptr;
    if (c.op == RegChange::Op::remove)
        return v ? "still present" : "";
    if (!v)
        return "missing";
    if (c.type == reg_dword)
        return v->type == reg_dword && v->data.size() == 4 && v->dword() == c.dword ? "" : "reads back different";
    return v->type == reg_sz && v->text == c.text + std::string(1, '\0') ? "" : "reads back different";
}

std::string where(const RegChange& c, RegView view) {
    return c.key + " \"" + c.name + "\"" + (view == RegView::win32 ? " (32-bit view)" : "");
}

std::string text_of(const RegKey& key, const char* name) {
    const RegValue* v = key.find(name);
    return v && v->type == reg_sz ? v->string() : std::string();
}

// The tool's judgement of the registry values: among its versions of this
// family, major number and product type, the one with this minor and build,
// else the last of them in its list, else its fallback.
const WindowsVersion* judge(const WindowsVersionTool& tool, Family family, uint32_t major, uint32_t minor,
                            uint32_t build, const std::string& type, bool* exact) {
    const WindowsVersion* best = nullptr;
    *exact = false;
    for (const WindowsVersion& v : tool.versions) {
        if (v.family != family || v.major != major || (!type.empty() && !iequals(type, v.product_type)))
            continue;
        best = &v;
        if (v.minor == minor && v.build == build) {
            *exact = true;
            return &v;
        }
    }
    return best ? best : tool.find(tool.fallback);
}

// The numbers of "6.1" or "4.10.2222"; absent ones are 0.
std::vector<uint32_t> version_numbers(const std::string& text) {
    std::vector<uint32_t> n;
    const char* p = text.c_str();
    for (int i = 0; i < 3; i++) {
        char* end = nullptr;
        n.push_back(static_cast<uint32_t>(std::strtoul(p, &end, 10)));
        p = *end == '.' ? end + 1 : end;
    }
    return n;
}

const RegValue* dword_of(const RegKey& key, const char* name) {
    const RegValue* v = key.find(name);
    return v && v->type == reg_dword && v->data.size() == 4 ? v : nullptr;
}

// The values a reading looks at, key by key, in the order they are asked for:
// one request a value, whatever else the keys hold.
struct ReadKey {
    std::string key;
    std::vector<const char*> names;
};

std::vector<ReadKey> version_values(std::string_view app) {
    std::vector<ReadKey> keys;
    if (!app.empty())
        keys.push_back({wine_settings_key(app), {"Version"}});
    keys.push_back({std::string(kWineSettingsKey), {"Version"}});
    keys.push_back({kNtKey,
                    {"CurrentVersion", "CurrentBuildNumber", "ProductName", "CSDVersion", "CurrentMajorVersionNumber",
                     "CurrentMinorVersionNumber"}});
    keys.push_back({kProductKey, {"ProductType"}});
    keys.push_back({k9xKey, {"VersionNumber", "ProductName", "SubVersionNumber"}});
    return keys;
}

// Each key as a listing of those of its values that were asked for and are
// there; a key that could not be opened (or a value not read) is its failure.
std::vector<Result<RegKey>> read_keys(const std::vector<ReadKey>& keys, const std::vector<std::string>& answers) {
    std::vector<Result<RegKey>> out;
    size_t at = 0;
    for (const ReadKey& k : keys) {
        Result<RegKey> key;
        for (size_t i = 0; i < k.names.size(); i++) {
            Result<std::optional<RegValue>> v = parse_value(answers.at(at++));
            if (!v && key.ok())
                key = Result<RegKey>(*v.failure);
            else if (v && *v && key.ok())
                key->values.push_back(std::move(**v));
        }
        out.push_back(std::move(key));
    }
    return out;
}

}  // namespace

const WindowsVersion* WindowsVersionTool::find(std::string_view name) const {
    for (const WindowsVersion& v : versions)
        if (iequals(name, v.name))
            return &v;
    return nullptr;
}

const WindowsVersionTool& windows_version_tool(int wine_major, bool win32_prefix) {
    if (wine_major >= kWine10.first_release)
        return kWine10;
    return win32_prefix ? kWine8Win32 : kWine8;
}

const WindowsVersionTool& windows_version_tool(Channel to) {
    std::string loader = to.loader();
    WineRelease release = loader.empty() ? WineRelease() : wine_release(loader, to.launcher());
    if (release.major == 0)
        release = wine_release(default_wine_loader());
    // Asked of the files, not the server: an unknown version is refused
    // before anything is sent.
    std::string prefix = to.prefix();
    if (prefix.empty()) {
        try {
            prefix = default_prefix();
        } catch (const std::runtime_error&) {
            // No prefix to look at: taken for a 64-bit one.
        }
    }
    return windows_version_tool(release.major, !prefix.empty() && prefix_arch(prefix) == "win32");
}

const char* source_name(WindowsVersionReading::Source source) {
    switch (source) {
    case WindowsVersionReading::Source::app:
        return "app";
    case WindowsVersionReading::Source::user:
        return "user";
    case WindowsVersionReading::Source::registry:
        return "registry";
    }
    return "registry";
}

std::vector<RegChange> windows_version_changes(const WindowsVersion& v, std::string_view app) {
    if (!app.empty())
        return {set_sz(wine_settings_key(app).c_str(), "Version", v.name, RegView::native)};
    const RegView both = RegView::both;
    std::vector<RegChange> c;
    // Removals go view by view: a removal in both views at once would stop
    // at the first view that lacks the value.
    auto remove_in_views = [&c](const char* key, std::initializer_list<const char*> names) {
        for (const char* name : names)
            for (RegView view : {RegView::native, RegView::win32})
                c.push_back(remove(key, name, view));
    };
    switch (v.family) {
    case Family::nt:
        c = {
            set_sz(kNtKey, "CurrentVersion", v.version_text, both),
            set_dw(kNtKey, "CurrentMajorVersionNumber", v.major, both),
            set_dw(kNtKey, "CurrentMinorVersionNumber", v.minor, both),
            set_sz(kNtKey, "CSDVersion", v.csd_version, both),
            set_sz(kNtKey, "CurrentBuild", std::to_string(v.build), both),
            set_sz(kNtKey, "CurrentBuildNumber", std::to_string(v.build), both),
            set_sz(kNtKey, "ProductName", v.product_name, both),
            // HKLM\System is one key for both views.
            set_sz(kProductKey, "ProductType", v.product_type, RegView::native),
            set_dw(kWindowsKey, "CSDVersion", v.service_pack, RegView::native),
            set_sz(kEnvironmentKey, "OS", "Windows_NT", RegView::native),
        };
        remove_in_views(k9xKey, {"VersionNumber", "SubVersionNumber", "ProductName"});
        break;
    case Family::win9x:
        c = {
            set_sz(k9xKey, "VersionNumber", v.version_text, both),
            set_sz(k9xKey, "SubVersionNumber", v.csd_version, both),
            set_sz(k9xKey, "ProductName", v.product_name, both),
        };
        remove_in_views(kNtKey, {"CurrentVersion", "CurrentMajorVersionNumber", "CurrentMinorVersionNumber",
                                 "CSDVersion", "CurrentBuild", "CurrentBuildNumber", "ProductName"});
        break;
    case Family::win16:
        // The tool leaves the NT version numbers in place here.
        remove_in_views(kNtKey, {"CurrentVersion", "CSDVersion", "CurrentBuild", "CurrentBuildNumber", "ProductName"});
        remove_in_views(k9xKey, {"VersionNumber", "SubVersionNumber", "ProductName"});
        break;
    }
    if (v.family != Family::nt) {
        c.push_back(remove(kProductKey, "ProductType", RegView::native));
        c.push_back(remove(kWindowsKey, "CSDVersion", RegView::native));
        c.push_back(remove(kEnvironmentKey, "OS", RegView::native));
    }
    if (v.family == Family::win16)
        c.push_back(set_sz(std::string(kWineSettingsKey).c_str(), "Version", v.name, RegView::native));
    else
        c.push_back(remove(std::string(kWineSettingsKey), "Version", RegView::native));
    return c;
}

Request change_request(const RegChange& c) {
    if (c.op == RegChange::Op::remove)
        return delete_value_request(c.key, c.name, c.view);
    return set_value_request(c.key, c.name, c.type == reg_dword ? dword_literal(c.dword) : string_literal(c.text),
                             c.view);
}

std::vector<Request> windows_version_requests(std::string_view app) {
    std::vector<Request> r;
    for (const ReadKey& k : version_values(app))
        for (const char* name : k.names)
            r.push_back(get_value_request(k.key, name));
    return r;
}

Result<WindowsVersionReading> parse_windows_version(const WindowsVersionTool& tool,
                                                    const std::vector<std::string>& answers, std::string_view app) {
    std::vector<ReadKey> wanted = version_values(app);
    size_t count = 0;
    for (const ReadKey& k : wanted)
        count += k.names.size();
    if (answers.size() != count)
        throw std::invalid_argument("parse_windows_version: the answers do not match the requests");
    std::vector<Result<RegKey>> keys = read_keys(wanted, answers);
    size_t first = app.empty() ? 0 : 1;
    WindowsVersionReading r;
    // An override applies when its key and value are there; a missing key is
    // no override, any other failure is the caller's to see.
    auto override_in = [&](const Result<RegKey>& key, WindowsVersionReading::Source source) -> std::optional<Failure> {
        if (!key && !key.failure->is(kFileNotFound))
            return key.failure;
        const RegValue* v = key ? key->find("Version") : nullptr;
        if (v && v->is_text()) {
            r.source = source;
            r.name = v->string();
            r.exact = tool.find(r.name) != nullptr;
        }
        return std::nullopt;
    };
    if (first)
        if (std::optional<Failure> f = override_in(keys[0], WindowsVersionReading::Source::app))
            return *f;
    if (r.name.empty())
        if (std::optional<Failure> f = override_in(keys[first], WindowsVersionReading::Source::user))
            return *f;
    if (!r.name.empty())
        return r;

    const Result<RegKey>& nt = keys[first + 1];
    if (!nt)
        return *nt.failure;
    const Result<RegKey>& product = keys[first + 2];
    if (!product && !product.failure->is(kFileNotFound))
        return *product.failure;
    const Result<RegKey>& old = keys[first + 3];
    if (!old && !old.failure->is(kFileNotFound))
        return *old.failure;
    r.current_version = text_of(*nt, "CurrentVersion");
    Family family = Family::nt;
    if (r.current_version.empty() && tool.reads_9x && old) {
        family = Family::win9x;
        r.current_version = text_of(*old, "VersionNumber");
    }
    if (r.current_version.empty())
        return Failure{Failure::Kind::win32, kFileNotFound,
                       "the prefix has no Windows NT version values (" + std::string(kNtKey) + " \"CurrentVersion\")"};
    std::vector<uint32_t> n = version_numbers(r.current_version);
    if (family == Family::nt) {
        n[2] = static_cast<uint32_t>(std::strtoul(text_of(*nt, "CurrentBuildNumber").c_str(), nullptr, 10));
        r.product_name = text_of(*nt, "ProductName");
        r.csd_version = text_of(*nt, "CSDVersion");
        if (product)
            r.product_type = text_of(*product, "ProductType");
        if (const RegValue* major = tool.reads_version_numbers ? dword_of(*nt, "CurrentMajorVersionNumber") : nullptr) {
            const RegValue* minor = dword_of(*nt, "CurrentMinorVersionNumber");
            n[0] = major->dword();
            n[1] = minor ? minor->dword() : 0;
        }
    } else {
        r.product_name = text_of(*old, "ProductName");
        r.csd_version = text_of(*old, "SubVersionNumber");
    }
    r.build = n[2];
    if (const WindowsVersion* v = judge(tool, family, n[0], n[1], n[2], r.product_type, &r.exact))
        r.name = v->name;
    return r;
}

Result<WindowsVersionReading> windows_version(Channel to, std::string_view app) {
    std::vector<Request> requests;
    try {
        requests = windows_version_requests(app);
    } catch (const Refused& e) {
        return refused_failure(e.what());
    }
    const WindowsVersionTool& tool = windows_version_tool(to);
    return parse_windows_version(tool, to.ask_all(requests), app);
}

Result<void> set_windows_version(Channel to, std::string_view name, std::string_view app) {
    const WindowsVersionTool& tool = windows_version_tool(to);
    const WindowsVersion* version = tool.find(name);
    if (!version)
        return unknown_version(tool, name);
    std::vector<RegChange> changes;
    std::vector<Request> requests;
    std::vector<KeyView> readback;
    try {
        changes = windows_version_changes(*version, app);
        for (const RegChange& c : changes) {
            requests.push_back(change_request(c));
            for (RegView view : reached(c.view))
                if (std::find(readback.begin(), readback.end(), KeyView(c.key, view)) == readback.end())
                    readback.emplace_back(c.key, view);
        }
        for (const KeyView& kv : readback)
            requests.push_back(list_key_request(kv.first, kv.second));
    } catch (const Refused& e) {
        return refused_failure(e.what());
    }

    // A 32-bit server in a 64-bit prefix reaches only the 32-bit view, and the
    // version lives in both. Such a program is redirected from system32 to
    // syswow64 (a 64-bit one, and any program of a 32-bit prefix, is not).
    Result<std::string> system =
        app.empty() ? parse_unix_path(to.ask(unix_path_request("C:\\windows\\system32"))) : Result<std::string>();
    std::string_view wow = "/syswow64";
    std::string_view folder = system ? std::string_view(*system) : std::string_view();
    if (!folder.empty() && folder.back() == '/')
        folder.remove_suffix(1);
    if (folder.size() >= wow.size() && iequals(folder.substr(folder.size() - wow.size()), wow))
        return refused_failure(
            "the server is a 32-bit program in a 64-bit prefix and cannot reach the 64-bit registry view, "
            "where the prefix keeps its Windows version too; use the 64-bit server");

    std::vector<std::string> answers = to.ask_all(requests);
    std::vector<Result<RegKey>> listings;
    for (size_t i = changes.size(); i < answers.size(); i++)
        listings.push_back(parse_listing(answers[i]));
    auto listing_of = [&](const std::string& key, RegView view) -> const RegKey* {
        for (size_t i = 0; i < readback.size(); i++)
            if (readback[i] == KeyView(key, view))
                return listings[i] ? &listings[i].value : nullptr;
        return nullptr;
    };
    for (size_t i = 0; i < changes.size(); i++) {
        const RegChange& c = changes[i];
        Result<void> done = parse_write(answers[i]);
        // A removal of a value that is not there answers like a failed one;
        // the read-back tells them apart.
        if (!done && c.op == RegChange::Op::set) {
            Failure f = *done.failure;
            f.message = "writing " + where(c, c.view) + ": " + f.message;
            return f;
        }
        for (RegView view : reached(c.view)) {
            std::string wrong = mismatch(c, listing_of(c.key, view));
            if (!wrong.empty())
                return Failure{Failure::Kind::server, 0,
                               where(c, view) + " " + wrong + " after setting the Windows version" +
                                   (done ? "" : " (" + done.failure->message + ")")};
        }
    }
    return {};
}

}  // namespace qv
