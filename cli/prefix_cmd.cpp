// winver, dll and info: the settings prefix managers change most, written
// as Wine's configuration tool writes them.
#include <iostream>

#include "cli.h"
#include "qv/dlls.h"
#include "qv/info.h"
#include "qv/winver.h"
#include "text.h"

namespace qvctl {

namespace {

// --app NAME.exe, or "" for every program; a bad name is the user's.
std::string app_of(const Args& a, const std::string& command) {
    std::string app = a.value("--app").value_or("");
    if (a.value("--app") && app.empty())
        usage_error(command + ": --app needs a program's file name, like game.exe");
    return app;
}

json version_json(const qv::WindowsVersionReading& v) {
    json r;
    put_text(r, "version", v.name);
    r["source"] = qv::source_name(v.source);
    r["exact"] = v.exact;
    if (v.source == qv::WindowsVersionReading::Source::registry) {
        // Registry text, whatever it holds: put_text keeps the JSON valid.
        put_text(r, "current_version", v.current_version);
        r["build"] = v.build;
        put_text(r, "product_type", v.product_type);
        put_text(r, "product_name", v.product_name);
        put_text(r, "csd_version", v.csd_version);
    }
    return r;
}

std::string version_text(const qv::WindowsVersionTool& tool, const qv::WindowsVersionReading& v) {
    const qv::WindowsVersion* known = tool.find(v.name);
    std::string out = v.name.empty() ? "(no version Wine offers)" : v.name;
    if (known)
        out += "  " + std::string(known->description);
    if (v.source != qv::WindowsVersionReading::Source::registry)
        out += std::string("  (") + qv::source_name(v.source) + " setting)";
    else if (!v.exact && !v.name.empty())
        out += "  (closest; the registry says " + v.current_version + " build " + std::to_string(v.build) + ")";
    return out;
}

int winver_show(Context& ctx, const Command&, const Args& a) {
    std::string app = app_of(a, "winver");
    qv::Result<qv::WindowsVersionReading> v = qv::windows_version(ctx.session(), app);
    if (!v)
        failed("winver", *v.failure);
    json r = version_json(*v);
    if (!app.empty())
        r["app"] = app;
    emit(ctx, r, version_text(qv::windows_version_tool(ctx.session()), *v) + "\n");
    return kOk;
}

int winver_list(Context& ctx, const Command&, const Args&) {
    json r, all = json::array();
    std::string human;
    for (const qv::WindowsVersion& v : qv::windows_version_tool(ctx.session()).versions) {
        std::string name = v.name;
        json j;
        j["name"] = name;
        j["description"] = v.description;
        all.push_back(j);
        human += name + std::string(name.size() < 10 ? 10 - name.size() : 1, ' ') + v.description + "\n";
    }
    r["versions"] = all;
    emit(ctx, r, human);
    return kOk;
}

int winver_set(Context& ctx, const Command&, const Args& a) {
    std::string app = app_of(a, "winver set");
    qv::Result<void> done = qv::set_windows_version(ctx.session(), a.pos[0], app);
    if (!done)
        failed("winver set " + a.pos[0], *done.failure);
    json r;
    r["version"] = qv::windows_version_tool(ctx.session()).find(a.pos[0])->name;
    if (!app.empty())
        r["app"] = app;
    emit(ctx, r, "");
    return kOk;
}

json override_json(const qv::DllOverride& o) {
    json r;
    put_text(r, "dll", o.dll);
    put_text(r, "text", o.text);
    r["mode"] = o.mode ? json(qv::dll_mode_word(*o.mode)) : json(nullptr);
    return r;
}

std::string override_text(const qv::DllOverride& o) {
    return shown(o.dll, true) + "  " + (o.mode ? qv::dll_mode_word(*o.mode) : ("(not a mode: " + in_quotes(o.text) + ")")) +
           "\n";
}

int dll_list(Context& ctx, const Command&, const Args& a) {
    std::string app = app_of(a, "dll list");
    qv::Result<std::vector<qv::DllOverride>> l = qv::dll_overrides(ctx.session(), app);
    if (!l)
        failed("dll list", *l.failure);
    json r, all = json::array();
    std::string human;
    for (const qv::DllOverride& o : *l) {
        all.push_back(override_json(o));
        human += override_text(o);
    }
    r["overrides"] = all;
    if (!app.empty())
        r["app"] = app;
    emit(ctx, r, human);
    return kOk;
}

int dll_get(Context& ctx, const Command&, const Args& a) {
    std::string app = app_of(a, "dll get");
    qv::Result<qv::DllOverride> o = qv::dll_override(ctx.session(), a.pos[0], app);
    if (!o && o.failure->is(qv::kFileNotFound))
        throw Exit{kFailed, "dll get: no override for " + a.pos[0] + (app.empty() ? "" : " in " + app) +
                                " (Wine's default applies) (Win32 error 2)",
                   "win32", qv::kFileNotFound};
    if (!o)
        failed("dll get " + a.pos[0], *o.failure);
    json r = override_json(*o);
    if (!app.empty())
        r["app"] = app;
    emit(ctx, r, override_text(*o));
    return kOk;
}

int dll_set(Context& ctx, const Command&, const Args& a) {
    std::string app = app_of(a, "dll set");
    qv::Result<qv::DllMode> mode = qv::parse_dll_mode(a.pos[1]);
    if (!mode)
        usage_error("dll set: " + mode.failure->message);
    qv::Result<void> done = qv::set_dll_override(ctx.session(), a.pos[0], *mode, app);
    if (!done)
        failed("dll set " + a.pos[0], *done.failure);
    json r;
    put_text(r, "dll", qv::dll_override_name(a.pos[0]));
    r["mode"] = qv::dll_mode_word(*mode);
    if (!app.empty())
        r["app"] = app;
    emit(ctx, r, "");
    return kOk;
}

int dll_rm(Context& ctx, const Command&, const Args& a) {
    std::string app = app_of(a, "dll rm");
    qv::Result<void> done = qv::remove_dll_override(ctx.session(), a.pos[0], app);
    if (!done && !done.failure->is(qv::kFileNotFound))  // none there: removed already
        failed("dll rm " + a.pos[0], *done.failure);
    json r;
    put_text(r, "dll", qv::dll_override_name(a.pos[0]));
    r["removed"] = done.ok();
    emit(ctx, r, "");
    return kOk;
}

int info_cmd(Context& ctx, const Command&, const Args&) {
    qv::Result<qv::PrefixInfo> i = qv::prefix_info(ctx.session(), ctx.launch.wine);
    if (!i)
        failed("info", *i.failure);
    json r, drives = json::array(), folders = json::array();
    r["prefix"] = i->prefix;
    r["windows_version"] = version_json(i->windows_version);
    r["arch"] = i->arch;
    r["processor"] = i->processor;
    json u;
    u["stamp"] = i->update.stamp;
    u["wine"] = i->update.wine;
    u["by_this_wine"] = i->update.by_this_wine;
    u["last_updated_by"] = i->update.last_updated_by;
    r["wine_update"] = u;
    auto row = [](const std::string& label, const std::string& value) {
        return label + std::string(label.size() < 16 ? 16 - label.size() : 1, ' ') + value + "\n";
    };
    std::string updated = !i->update.last_updated_by.empty() ? i->update.last_updated_by
                          : i->update.wine.empty()           ? "another Wine than the one at hand"
                                                             : "another Wine than " + i->update.wine;
    std::string human = row("prefix", i->prefix) +
                        row("version", version_text(qv::windows_version_tool(ctx.session()), i->windows_version)) +
                        row("arch", i->arch + " (" + i->processor + ")") + row("updated by", updated);
    for (const qv::DriveMapping& d : i->drives) {
        json j;
        j["letter"] = std::string(1, d.letter);
        put_text(j, "target", d.target);
        drives.push_back(j);
        human += row(std::string("drive ") + d.letter + ":", readable(d.target));
    }
    for (const qv::PrefixFolder& f : i->folders) {
        json j;
        j["name"] = f.name;
        put_text(j, "windows_path", f.windows_path);
        put_text(j, "unix_path", f.unix_path);
        folders.push_back(j);
        human += row(f.name, readable(f.windows_path));
    }
    r["drives"] = drives;
    r["folders"] = folders;
    emit(ctx, r, human);
    return kOk;
}

const char kAppHelp[] =
    "--app NAME.exe applies to that program alone (Wine's AppDefaults), in any\n"
    "case; without it, to every program.\n";

}  // namespace

std::vector<Command> prefix_commands() {
    return {
        {"winver", "winver [--app NAME.exe]", "the Windows version programs see",
         std::string("The Windows version the prefix reports, as Wine's configuration tool\n"
                     "judges it, and where it comes from (registry, user or app setting).\n") +
             kAppHelp + "JSON: {version, source, exact, ...the registry's values}.\n",
         {}, {"--app"}, {0, 0}, winver_show},
        {"winver set", "winver set VERSION [--app NAME.exe]", "set the Windows version",
         std::string("Writes everything Wine's configuration tool writes for VERSION, in every\n"
                     "registry view that holds it, in one batch read back to check. VERSION:\n"
                     "one of the words qvctl winver list shows (they differ between Wine\n"
                     "releases: win10, win7, winxp, ...).\n") +
             kAppHelp,
         {}, {"--app"}, {1, 1}, winver_set},
        {"winver list", "winver list", "the versions Wine offers",
         "The versions the configuration tool of the Wine at hand offers, newest\n"
         "first. JSON: {versions: [{name, description}]}.\n",
         {}, {}, {0, 0}, winver_list},
        {"dll list", "dll list [--app NAME.exe]", "the DLL overrides",
         std::string("Every DLL override: the DLL and its mode.\n") + kAppHelp +
             "JSON: {overrides: [{dll, text, mode}]}, mode null for a text that is no mode.\n",
         {}, {"--app"}, {0, 0}, dll_list},
        {"dll get", "dll get DLL [--app NAME.exe]", "one DLL override",
         std::string("One DLL's override (d3d9 and d3d9.dll are one). No override: exit 1.\n") + kAppHelp, {},
         {"--app"}, {1, 1}, dll_get},
        {"dll set", "dll set DLL MODE [--app NAME.exe]", "set a DLL override",
         std::string("MODE: native, builtin, native,builtin, builtin,native or disabled (also\n"
                     "n, b, n,b, b,n).\n") +
             kAppHelp,
         {}, {"--app"}, {2, 2}, dll_set},
        {"dll rm", "dll rm DLL [--app NAME.exe]", "remove a DLL override",
         std::string("Removes the override; Wine's default applies again. None there: done.\n") + kAppHelp, {},
         {"--app"}, {1, 1}, dll_rm},
        {"info", "info", "the prefix's facts in one call",
         "Windows version, architecture, the Wine that last updated the prefix,\n"
         "drive letters and the main folders.\n",
         {}, {}, {0, 0}, info_cmd},
    };
}

}  // namespace qvctl
