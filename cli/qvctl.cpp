// qvctl: talks to a qvmanip server running in a Wine prefix.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "qv/bytes.h"
#include "qv/escape.h"
#include "qv/files.h"
#include "qv/install.h"
#include "qv/printers.h"
#include "qv/regfile.h"
#include "qv/registry.h"
#include "qv/regtree.h"
#include "qv/session.h"

#include "help.h"
#include "words.h"

namespace {

using json = nlohmann::ordered_json;

// Exit codes, as --help and the README give them.
constexpr int kOk = 0, kFailed = 1, kUsage = 2, kEnvironment = 3;

struct Exit {
    int code;
    std::string message;
    bool emitted = false;  // the JSON result (with "ok": false) is out already
};
[[noreturn]] void usage_error(const std::string& m) { throw Exit{kUsage, m}; }
[[noreturn]] void failed(const std::string& m) { throw Exit{kFailed, m}; }

// JSON strings must be UTF-8: other bytes become U+FFFD and the exact bytes
// go beside the field as "<field>_hex".
void put_text(json& obj, const std::string& field, const std::string& bytes) {
    if (qv::valid_utf8(bytes)) {
        obj[field] = bytes;
        return;
    }
    obj[field] = qvctl::utf8_replaced(bytes);
    obj[field + "_hex"] = qv::to_hex(bytes);
}

class Progress {
public:
    explicit Progress(std::string label) : label_(std::move(label)), on_(isatty(2)) {}
    ~Progress() { finish(); }
    void operator()(size_t done, size_t total) {
        if (!on_)
            return;
        auto now = qv::Clock::now();
        if (done < total && now - last_ < qv::Millis(100))
            return;
        last_ = now;
        const int width = 30;
        int filled = total ? static_cast<int>(width * std::min(done, total) / total) : 0;
        std::fprintf(stderr, "\r%s [%s%s] %zu/%zu", label_.c_str(), std::string(filled, '#').c_str(),
                     std::string(width - filled, ' ').c_str(), done, total);
        std::fflush(stderr);
        shown_ = true;
    }
    void finish() {
        if (shown_)
            std::fputs("\r\033[K", stderr);
        shown_ = false;
    }
    qv::ProgressFn fn() {
        return [this](size_t d, size_t t) { (*this)(d, t); };
    }

private:
    std::string label_;
    bool on_;
    bool shown_ = false;
    qv::Clock::time_point last_{};
};

struct Context {
    qv::LaunchOptions launch;
    bool json = false;
    bool in_batch = false;
    size_t batch_line = 0;
    std::unique_ptr<qv::Session> session_;

    // The prefix must exist and look like one: Wine would otherwise create
    // a new prefix there without a word.
    void check_prefix() const {
        struct stat st;
        if (stat(launch.prefix.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            throw Exit{kEnvironment, "no Wine prefix at " + launch.prefix + " (no such directory)"};
        if (access((launch.prefix + "/system.reg").c_str(), R_OK) != 0)
            throw Exit{kEnvironment, "no Wine prefix at " + launch.prefix +
                                         " (no system.reg; create one with WINEPREFIX=" + launch.prefix +
                                         " wineboot)"};
    }

    void check_wine() const {
        if (access(launch.wine.c_str(), X_OK) != 0)
            throw Exit{kEnvironment, "no Wine loader at " + launch.wine + " (" + std::strerror(errno) +
                                         "): install Wine, or name the loader with --wine or QV_WINE"};
    }

    qv::Session& session() {
        if (!session_) {
            check_prefix();
            check_wine();
            if (access(launch.exe.c_str(), R_OK) != 0)
                throw Exit{kEnvironment, "no server program at " + launch.exe + " (give --exe)"};
            qv::SessionOptions o;
            o.launch = launch;
            session_ = std::make_unique<qv::Session>(o);
        }
        server();
        return *session_;
    }

    // The session's server, started now so that a start that fails is told
    // apart from a call that fails.
    qv::Server& server() {
        if (!session_)
            session();
        try {
            return session_->server();
        } catch (const std::exception& e) {
            throw Exit{kEnvironment, std::string("the server did not start: ") + e.what()};
        }
    }
};

// Prints a command's result: one JSON object per line with --json, else the
// readable text.
void emit(Context& ctx, json result, const std::string& human, bool ok = true) {
    if (ctx.json) {
        json out;
        if (ctx.in_batch)
            out["line"] = ctx.batch_line;
        out["ok"] = ok;
        for (auto& [k, v] : result.items())
            out[k] = v;
        std::cout << out.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
    } else
        std::cout << human;
    std::cout.flush();
}

// ---- arguments ----

struct Args {
    std::vector<std::string> pos;
    std::vector<std::pair<std::string, std::string>> opts;  // name, value ("" for flags)
    bool help = false;

    bool flag(const std::string& name) const {
        for (auto& o : opts)
            if (o.first == name)
                return true;
        return false;
    }
    std::optional<std::string> value(const std::string& name) const {
        for (auto& o : opts)
            if (o.first == name)
                return o.second;
        return std::nullopt;
    }
};

// Options of a subcommand: those in `with_value` take the next word.
Args parse_args(const std::vector<std::string>& words, size_t from, const std::vector<std::string>& flags,
                const std::vector<std::string>& with_value, const std::string& command) {
    Args a;
    bool options_done = false;
    for (size_t i = from; i < words.size(); i++) {
        const std::string& w = words[i];
        if (!options_done && w == "--") {
            options_done = true;
        } else if (!options_done && (w == "--help" || w == "-h")) {
            a.help = true;
        } else if (!options_done && w.size() > 2 && w.rfind("--", 0) == 0) {
            if (std::find(flags.begin(), flags.end(), w) != flags.end())
                a.opts.push_back({w, ""});
            else if (std::find(with_value.begin(), with_value.end(), w) != with_value.end()) {
                if (i + 1 >= words.size())
                    usage_error(command + ": " + w + " needs a value");
                a.opts.push_back({w, words[++i]});
            } else
                usage_error(command + ": unknown option " + w + " (see qvctl " + command + " --help)");
        } else
            a.pos.push_back(w);
    }
    return a;
}

void need(const Args& a, size_t min, size_t max, const std::string& command) {
    if (a.pos.size() < min || a.pos.size() > max)
        usage_error(command + ": " + (a.pos.size() < min ? "missing arguments" : "too many arguments") +
                    "\nusage: " + qvctl::usage_line(command));
}

bool help_if_asked(const Args& a, const std::string& command) {
    if (a.help)
        std::cout << qvctl::help_text(command);
    return a.help;
}

// ---- registry ----

struct KeyArg {
    std::string path;  // short root form, as sent
    qv::RegView view;
};

KeyArg key_arg(std::string text) {
    KeyArg k{"", qv::RegView::native};
    if (text.rfind("3264\\", 0) == 0) {
        k.view = qv::RegView::both;
        text.erase(0, 5);
    } else if (text.rfind("32\\", 0) == 0) {
        k.view = qv::RegView::win32;
        text.erase(0, 3);
    }
    try {
        k.path = qv::short_root_path(text);
    } catch (const std::invalid_argument& e) {
        usage_error("bad registry path \"" + text + "\": " + e.what());
    }
    if (k.path.find('\n') != std::string::npos)
        usage_error("bad registry path: a key path cannot hold a line feed");
    return k;
}

std::string listing_error(const qv::Failure& f, const KeyArg& k) {
    if (f.is(qv::kFileNotFound))
        return "no such key: " + qv::long_root_path(k.path);
    if (f.kind == qv::Failure::Kind::win32)
        return "cannot open " + qv::long_root_path(k.path) + ": " + f.describe();
    return qv::long_root_path(k.path) + ": " + f.describe();
}

json value_json(const qv::RegValue& v) {
    json j;
    put_text(j, "name", v.name);
    j["type"] = qvctl::type_name(v.type);
    j["type_code"] = v.type;
    if (v.type == qv::reg_multi_sz) {
        json list = json::array();
        for (const std::string& s : v.strings())
            list.push_back(s);
        j["data"] = list;
    } else if (v.is_text())
        j["data"] = v.string();
    else if ((v.type == qv::reg_dword || v.type == qv::reg_dword_big_endian) && v.data.size() == 4)
        j["data"] = v.type == qv::reg_dword ? v.dword() : qvctl::big_endian32(v.data);
    else if (v.type == qv::reg_qword && v.data.size() == 8)
        j["data"] = v.qword();
    else
        j["data"] = qv::to_hex(v.data);
    j["hex"] = qv::to_hex(v.data);
    return j;
}

// One readable line per value, in columns.
std::string values_text(const json& values, const std::string& indent) {
    size_t name_w = 0, type_w = 0;
    std::vector<std::string> names;
    for (const json& v : values) {
        std::string n = v["name"].get<std::string>();
        names.push_back(n.empty() ? "(default)" : qvctl::readable(n));
        name_w = std::max(name_w, qvctl::columns(names.back()));
        type_w = std::max(type_w, v["type"].get<std::string>().size());
    }
    std::string out;
    size_t i = 0;
    for (const json& v : values) {
        std::string t = v["type"].get<std::string>();
        out += indent + names[i] + std::string(name_w - qvctl::columns(names[i]) + 2, ' ') + t +
               std::string(type_w - t.size() + 2, ' ') + qvctl::data_text(v) + "\n";
        i++;
    }
    return out;
}

int reg_get(Context& ctx, const Args& a) {
    need(a, 1, 2, "reg get");
    KeyArg k = key_arg(a.pos[0]);
    if (k.view == qv::RegView::both)
        usage_error("reg get: a key is read in one view; use 32\\ or no prefix");
    qv::Result<qv::RegKey> l = qv::list_key(ctx.session(), k.path, k.view);
    bool complete = l.ok();
    if (!l && l.failure->kind != qv::Failure::Kind::incomplete)
        failed(listing_error(*l.failure, k));
    json r;
    r["key"] = qv::long_root_path(k.path);
    if (a.pos.size() == 2) {
        const qv::RegValue* v = l->find(a.pos[1]);
        if (!v)
            failed("no value " + (a.pos[1].empty() ? "(default)" : "\"" + a.pos[1] + "\"") + " in " +
                   qv::long_root_path(k.path));
        json one = value_json(*v);
        for (auto& [key, val] : one.items())
            r[key] = val;
        emit(ctx, r, values_text(json::array({one}), ""));
        return kOk;
    }
    json values = json::array(), subkeys = json::array();
    for (const qv::RegValue& v : l->values)
        values.push_back(value_json(v));
    std::string human = r["key"].get<std::string>() + "\n" + values_text(values, "  ");
    for (const std::string& s : l->subkeys) {
        json name;
        put_text(name, "name", s);
        subkeys.push_back(name["name"]);
        human += "  " + qvctl::readable(s) + "\\\n";
    }
    r["values"] = values;
    r["subkeys"] = subkeys;
    r["complete"] = complete;
    if (complete) {
        emit(ctx, r, human);
        return kOk;
    }
    r["error"] = "the listing of " + r["key"].get<std::string>() + " ended early: " + l.error();
    emit(ctx, r, human, false);
    throw Exit{kFailed, r["error"].get<std::string>(), true};
}

void answer_or_fail(const qv::Result<void>& a, const std::string& what) {
    if (!a)
        failed(what + ": " + a.error());
}

int reg_set(Context& ctx, const Args& a) {
    need(a, 3, SIZE_MAX, "reg set");
    KeyArg k = key_arg(a.pos[0]);
    const std::string& name = a.pos[1];
    std::string type = qv::ascii_lower(a.pos[2]);
    std::vector<std::string> data(a.pos.begin() + 3, a.pos.end());
    if (type != "multi" && type != "reg_multi_sz" && data.size() != 1)
        usage_error("reg set: type " + a.pos[2] + " takes exactly one DATA word");
    std::string literal;
    try {
        if (type == "dword" || type == "reg_dword")
            literal = qv::dword_literal(qvctl::parse_dword(data[0]));
        else if (type == "sz" || type == "str" || type == "reg_sz")
            literal = qv::string_literal(data[0]);
        else if (type == "expand" || type == "reg_expand_sz")
            literal = qv::expand_string_literal(data[0]);
        else if (type == "multi" || type == "reg_multi_sz")
            literal = qv::multi_string_literal(data);
        else if (type == "binary" || type == "hex" || type == "reg_binary")
            literal = qv::binary_literal(qvctl::parse_hex_bytes(data[0]));
        else
            usage_error("reg set: unknown type " + a.pos[2] +
                        " (sz, expand, multi, dword, binary; other types: reg import)");
        qv::Request r = qv::set_value_request(k.path, name, literal, k.view);
        ctx.server();
        answer_or_fail(qv::parse_write(ctx.session().ask(r.command, r.args)), qv::long_root_path(k.path));
    } catch (const std::invalid_argument& e) {
        usage_error(std::string("reg set: ") + e.what());
    }
    emit(ctx, json::object(), "");
    return kOk;
}

int reg_rm(Context& ctx, const Args& a) {
    need(a, 1, 1, "reg rm");
    KeyArg k = key_arg(a.pos[0]);
    if (k.path.back() == '\\')
        usage_error("reg rm: refusing to delete the root key " + qv::long_root_path(k.path) + " itself");
    answer_or_fail(qv::delete_tree(ctx.session(), k.path, k.view), qv::long_root_path(k.path));
    emit(ctx, json::object(), "");
    return kOk;
}

int reg_rm_value(Context& ctx, const Args& a) {
    need(a, 2, 2, "reg rm-value");
    KeyArg k = key_arg(a.pos[0]);
    qv::Result<void> done = qv::delete_value(ctx.session(), k.path, a.pos[1], k.view);
    if (!done && done.failure->kind == qv::Failure::Kind::refused)
        usage_error("reg rm-value: " + done.failure->message);
    answer_or_fail(done, qv::long_root_path(k.path) + ": \"" + a.pos[1] + "\"");
    emit(ctx, json::object(), "");
    return kOk;
}

// The lines after the first of a failure's message ("  KEY: why" each).
std::vector<std::string> detail_lines(const qv::Failure& f) {
    std::vector<std::string> out;
    for (size_t at = f.message.find('\n'); at != std::string::npos;) {
        size_t end = f.message.find('\n', at + 1);
        std::string line = f.message.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
        out.push_back(line.substr(line.find_first_not_of(' ')));
        at = end;
    }
    return out;
}

int reg_export(Context& ctx, const Args& a) {
    need(a, 1, 2, "reg export");
    KeyArg k = key_arg(a.pos[0]);
    if (k.view == qv::RegView::both)
        usage_error("reg export: a tree is read in one view; use 32\\ or no prefix");
    std::string file = a.pos.size() > 1 ? a.pos[1] : "-";
    if (file == "-" && ctx.json)
        usage_error("reg export: with --json the file cannot be standard output; name a FILE");
    qv::RegFileFormat format = a.flag("--regedit4") ? qv::RegFileFormat::regedit4
                               : a.flag("--utf8")   ? qv::RegFileFormat::v5_utf8
                                                    : qv::RegFileFormat::v5_utf16;
    ctx.server();
    qv::Result<qv::TreeExport> ex;
    {
        Progress bar("exporting");
        ex = qv::export_tree(ctx.session(), k.path, k.view, bar.fn());
    }
    bool complete = true;
    if (ex.failure) {
        const qv::Failure& f = *ex.failure;
        if (f.kind == qv::Failure::Kind::refused)
            usage_error("reg export: " + f.message);
        if (f.is(qv::kFileNotFound))
            failed("no such key: " + qv::long_root_path(k.path));
        if (f.kind != qv::Failure::Kind::incomplete)
            failed(qv::long_root_path(k.path) + ": " + f.describe());
        complete = false;  // what was exported is still written
    }
    std::string bytes;
    try {
        bytes = qv::write_regfile(ex->file, format);
    } catch (const qv::Refused& e) {
        usage_error(std::string("reg export: ") + e.what());  // the format chosen cannot carry the tree
    }
    if (file == "-")
        std::cout.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    else {
        std::ofstream out(file, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out)
            failed("cannot write " + file);
    }
    size_t values = 0;
    for (const qv::RegFileKey& key : ex->file.keys)
        values += key.values.size();
    json r;
    r["key"] = qv::long_root_path(k.path);
    r["file"] = file;
    r["keys"] = ex->file.keys.size();
    r["values"] = values;
    r["incomplete"] = complete ? std::vector<std::string>() : detail_lines(*ex.failure);
    r["warnings"] = ex->warnings;
    // Keys the platform itself cannot list are left out by its own editor too.
    for (const std::string& w : ex->warnings)
        std::cerr << "qvctl: warning: " << w << "\n";
    for (const std::string& w : r["incomplete"].get<std::vector<std::string>>())
        std::cerr << "qvctl: incomplete: " << w << "\n";
    if (!complete)
        r["error"] = "the export of " + r["key"].get<std::string>() + " is incomplete";
    if (file != "-")
        emit(ctx, r, "exported " + std::to_string(ex->file.keys.size()) + " keys, " + std::to_string(values) +
                         " values to " + file + "\n", complete);
    if (!complete)
        throw Exit{kFailed, r["error"].get<std::string>(), file != "-"};
    return kOk;
}

std::string read_input(const std::string& file) {
    if (file == "-")
        return std::string(std::istreambuf_iterator<char>(std::cin), {});
    std::ifstream in(file, std::ios::binary);
    if (!in)
        usage_error("cannot read " + file + ": " + std::strerror(errno));
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The file read, checked and planned: what reg import sends.
qv::ImportPlan planned_import(const std::string& file, const Args& a, qv::RegView view) {
    qv::RegFile parsed;
    try {
        parsed = qv::parse_regfile(read_input(file));
    } catch (const qv::RegFileError& e) {
        usage_error(file + ": " + e.what());
    }
    std::optional<std::string> to = a.value("--to"), from = a.value("--from");
    if (from && !to)
        usage_error("reg import: --from needs --to");
    if (to) {
        if (parsed.keys.empty())
            usage_error("reg import: " + file + " holds no keys to move");
        try {
            qv::rebase_regfile(parsed, from ? *from : parsed.keys.front().path, key_arg(*to).path);
        } catch (const std::invalid_argument& e) {
            usage_error(std::string("reg import: ") + e.what());
        }
    }
    qv::Result<qv::ImportPlan> plan = qv::plan_import(parsed, view, std::to_string(getpid()));
    if (!plan)
        usage_error(file + ": " + plan.failure->message);  // refused before anything is sent
    return std::move(plan.value);
}

int reg_import(Context& ctx, const Args& a) {
    need(a, 1, 1, "reg import");
    std::string file = a.pos[0];
    qv::RegView view = a.flag("--32") ? qv::RegView::win32 : qv::RegView::native;
    // The file is read and planned while the server starts; what is wrong
    // with the file is still reported before what is wrong with the prefix.
    std::future<qv::ImportPlan> planning = std::async(std::launch::async, planned_import, file, a, view);
    std::exception_ptr start_failure;
    try {
        ctx.server();
    } catch (...) {
        start_failure = std::current_exception();
    }
    qv::ImportPlan plan = planning.get();
    if (start_failure)
        std::rethrow_exception(start_failure);
    qv::Result<qv::TreeImport> result;
    {
        Progress bar("importing");
        result = qv::run_import(ctx.session(), plan, view, bar.fn());
    }
    if (result.failure && result.failure->kind == qv::Failure::Kind::refused)
        usage_error(file + ": " + result.failure->message);  // nothing was sent
    const qv::TreeImport& im = *result;
    json r;
    r["file"] = file;
    r["keys"] = im.keys;
    r["keys_deleted"] = im.keys_deleted;
    r["values_set"] = im.values_set;
    r["values_deleted"] = im.values_deleted;
    r["via_editor"] = im.via_editor;
    r["failures"] = im.failures;
    for (const std::string& f : im.failures)
        std::cerr << "qvctl: " << f << "\n";
    std::string human = "imported " + std::to_string(im.keys) + " keys, " + std::to_string(im.values_set) +
                        " values";
    if (im.via_editor)
        human += " (" + std::to_string(im.via_editor) + " through the registry editor)";
    if (im.keys_deleted || im.values_deleted)
        human += "; deleted " + std::to_string(im.keys_deleted) + " keys, " + std::to_string(im.values_deleted) +
                 " values";
    if (!result)
        r["error"] = "the import of " + file + " failed for " + std::to_string(im.failures.size()) + " entries";
    emit(ctx, r, human + "\n", result.ok());
    if (!result)
        throw Exit{kFailed, r["error"].get<std::string>(), true};
    return kOk;
}

// ---- files, drives, folders ----

int path_cmd(Context& ctx, const Args& a) {
    need(a, 2, 2, "path");
    const std::string& kind = a.pos[0];
    if (kind != "unix" && kind != "windows")
        usage_error("path: say unix or windows\nusage: " + qvctl::usage_line("path"));
    qv::Result<std::string> p =
        kind == "unix" ? qv::unix_path(ctx.session(), a.pos[1]) : qv::windows_path(ctx.session(), a.pos[1]);
    if (!p)
        failed(p.error());
    json r;
    put_text(r, "path", *p);
    emit(ctx, r, *p + "\n");
    return kOk;
}

struct DriveLink {
    char letter;
    std::string target;
};

std::vector<DriveLink> drive_links(const std::string& prefix) {
    std::vector<DriveLink> out;
    std::string dir = prefix + "/dosdevices";
    for (char c = 'a'; c <= 'z'; c++) {
        std::string link = dir + "/" + c + ":";
        char buf[4096];
        ssize_t n = readlink(link.c_str(), buf, sizeof buf);
        if (n >= 0)
            out.push_back({static_cast<char>(c - 32), std::string(buf, static_cast<size_t>(n))});
    }
    return out;
}

int drive_cmd(Context& ctx, const Args& a) {
    if (a.pos.empty())
        usage_error("drive: say add, rm or list\nusage: " + qvctl::usage_line("drive"));
    const std::string& what = a.pos[0];
    if (what == "list") {
        need(a, 1, 1, "drive list");
        ctx.check_prefix();
        json drives = json::array();
        std::string human;
        for (const DriveLink& d : drive_links(ctx.launch.prefix)) {
            json j;
            j["letter"] = std::string(1, d.letter);
            put_text(j, "target", d.target);
            drives.push_back(j);
            human += std::string(1, d.letter) + ":  " + qvctl::readable(d.target) + "\n";
        }
        json r;
        r["drives"] = drives;
        emit(ctx, r, human);
        return kOk;
    }
    if (what == "add") {
        need(a, 2, 2, "drive add");
        std::string dir = a.pos[1];
        struct stat st;
        if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            usage_error("drive add: no such directory: " + dir);
        if (dir[0] != '/') {
            // The server runs elsewhere: a relative path would mean nothing to it.
            char* cwd = getcwd(nullptr, 0);
            dir = std::string(cwd ? cwd : "") + "/" + dir;
            std::free(cwd);
        }
        std::vector<DriveLink> before = drive_links(ctx.launch.prefix);
        qv::Result<char> d = qv::add_drive(ctx.session(), dir);
        if (!d)
            failed(d.error());
        bool mapped_before = false;
        for (const DriveLink& l : before)
            mapped_before = mapped_before || std::toupper(static_cast<unsigned char>(l.letter)) == *d;
        json r;
        r["directory"] = dir;
        r["letter"] = std::string(1, *d);
        r["new"] = !mapped_before;
        emit(ctx, r, std::string(1, *d) + ":" + (mapped_before ? " (already mapped)" : "") + "\n");
        return kOk;
    }
    if (what == "rm") {
        need(a, 2, 2, "drive rm");
        std::string l = a.pos[1];
        if (!((l.size() == 1 || (l.size() == 2 && l[1] == ':')) && std::isalpha(static_cast<unsigned char>(l[0]))))
            usage_error("drive rm: a drive is one letter, like D or D:");
        qv::Result<void> r = qv::remove_drive(ctx.session(), l[0]);
        if (!r)
            failed(r.error());
        json j;
        j["letter"] = std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(l[0]))));
        emit(ctx, j, "");
        return kOk;
    }
    usage_error("drive: unknown command " + what + "\nusage: " + qvctl::usage_line("drive"));
}

int find_cmd(Context& ctx, const Args& a) {
    need(a, 1, 1, "find");
    int max = -1;
    if (auto m = a.value("--max")) {
        char* end = nullptr;
        long v = std::strtol(m->c_str(), &end, 10);
        if (m->empty() || *end || v < 1 || v > 1000000000)
            usage_error("find: --max takes a positive number");
        max = static_cast<int>(v);
    }
    qv::Result<std::vector<qv::DirEntry>> f = qv::find_files(ctx.session(), a.pos[0], max);
    json entries = json::array();
    std::string human;
    if (f)
        for (const qv::DirEntry& e : *f) {
            json j;
            put_text(j, "name", e.name);
            j["directory"] = e.directory;
            entries.push_back(j);
            human += (e.directory ? "dir  " : "file ") + qvctl::readable(e.name) + "\n";
        }
    else if (!f.failure->is(qv::kFileNotFound))
        failed(a.pos[0] + ": " + f.error());
    json r;
    r["entries"] = entries;
    if (f) {
        emit(ctx, r, human);
        return kOk;
    }
    r["error"] = "no match for " + a.pos[0];
    emit(ctx, r, human, false);
    throw Exit{kFailed, r["error"].get<std::string>(), true};
}

int folder_cmd(Context& ctx, const Args& a) {
    need(a, 1, 1, "folder");
    qv::Result<std::string> f = qv::expanded_string(ctx.session(), a.pos[0]);
    if (!f)
        failed("no such folder or variable: " + a.pos[0]);
    json r;
    r["name"] = a.pos[0];
    put_text(r, "path", *f);
    emit(ctx, r, *f + "\n");
    return kOk;
}

int dir_cmd(Context& ctx, const Args& a) {
    need(a, 1, 1, "dir");
    const std::string& kind = a.pos[0];
    if (kind != "system" && kind != "windows")
        usage_error("dir: say system or windows");
    qv::Result<std::string> d = kind == "system" ? qv::system_dir(ctx.session()) : qv::windows_dir(ctx.session());
    if (!d)
        failed("the server has no " + kind + " directory to report");
    json r;
    put_text(r, "path", *d);
    emit(ctx, r, *d + "\n");
    return kOk;
}

int printer_cmd(Context& ctx, const Args& a) {
    if (a.pos.empty() || a.pos[0] != "add")
        usage_error("printer: say add\nusage: " + qvctl::usage_line("printer"));
    need(a, 2, SIZE_MAX, "printer add");
    std::vector<qv::CloudPrinter> printers;
    for (size_t i = 1; i < a.pos.size(); i++) {
        const std::string& p = a.pos[i];
        size_t comma = p.find(',');
        if (comma == std::string::npos || comma == 0 || comma + 1 == p.size())
            usage_error("printer add: expected NAME,ID: " + p);
        if (p.find('\n') != std::string::npos)
            usage_error("printer add: a line feed cannot travel in " + qv::visible(p));
        printers.push_back({p.substr(0, comma), p.substr(comma + 1)});
    }
    ctx.check_prefix();
    ctx.check_wine();
    if (auto ppd = a.value("--ppd")) {
        try {
            qv::place_ppd(ctx.launch.prefix, *ppd);
        } catch (const std::exception& e) {
            failed(std::string("printer add: ") + e.what());
        }
    }
    qv::LaunchOptions o = ctx.launch;
    o.exe = o.exe.substr(0, o.exe.rfind('/') + 1) + "qvaddprinter.exe";
    if (access(o.exe.c_str(), R_OK) != 0)
        throw Exit{kEnvironment, "no installer program at " + o.exe};
    // The installer takes a bounded number per run; runs of 50 also let the bar move.
    const size_t chunk = 50;
    int worst = 0;
    std::string out;
    {
        Progress bar("installing printers");
        for (size_t at = 0; at < printers.size(); at += chunk) {
            bar(at, printers.size());
            std::vector<qv::CloudPrinter> part(printers.begin() + static_cast<long>(at),
                                               printers.begin() + static_cast<long>(std::min(printers.size(), at + chunk)));
            qv::Result<qv::RunResult> r = qv::add_printers(o, part);
            out += r->out;
            if (!r && worst == 0)
                worst = r->exit_code;
        }
        bar(printers.size(), printers.size());
    }
    json r, names = json::array();
    for (const qv::CloudPrinter& p : printers)
        names.push_back(p.name);
    r["printers"] = names;
    r["installer_exit"] = worst;
    if (worst != 0) {
        std::cerr << out;
        failed("qvaddprinter exited with " + std::to_string(worst) +
               (worst < 0 ? " (stopped after its timeout)" : ""));
    }
    emit(ctx, r, "ran qvaddprinter for " + std::to_string(printers.size()) + " printer" +
                     (printers.size() == 1 ? "" : "s") + "\n");
    return kOk;
}

// ---- raw modes ----

int interactive(Context& ctx) {
    qv::Server& server = ctx.server();
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
    int code = ctx.session().quit();
    if (tty)
        std::cout << "\nserver exited with code " << code << "\n";
    return code == 0 ? kOk : kFailed;
}

int demo(Context& ctx) {
    qv::Server& server = ctx.server();
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
    int code = ctx.session().quit();
    std::cout << "server exited with code " << code << "\n";
    return code == 0 ? kOk : kFailed;
}

int request_cmd(Context& ctx, const std::vector<std::string>& words, size_t from) {
    if (from >= words.size())
        usage_error("request: name the request word\nusage: " + qvctl::usage_line("request"));
    std::string args;
    for (size_t i = from + 1; i < words.size(); i++)
        args += (args.empty() ? "" : " ") + words[i];
    std::string answer;
    ctx.server();
    try {
        answer = ctx.session().ask(words[from], args);
    } catch (const std::invalid_argument& e) {
        usage_error(std::string("request: ") + e.what());
    }
    json r;
    put_text(r, "answer", answer);
    emit(ctx, r, answer + (!answer.empty() && answer.back() != '\n' ? "\n" : ""));
    return kOk;
}

int run_words(Context& ctx, const std::vector<std::string>& words);

int batch_cmd(Context& ctx, const Args& a) {
    need(a, 0, 1, "batch");
    if (ctx.in_batch)
        usage_error("batch: batches do not nest");
    std::string file = a.pos.empty() ? "-" : a.pos[0];
    std::string text = read_input(file);
    bool stop = a.flag("--stop-on-error");
    std::istringstream in(text);
    std::string line;
    int worst = kOk;
    ctx.in_batch = true;
    size_t n = 0;
    while (std::getline(in, line)) {
        n++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::vector<std::string> words;
        std::string error;
        if (!qvctl::split_words(line, &words, &error)) {
            words.clear();
        }
        if (error.empty() && words.empty())
            continue;
        ctx.batch_line = n;
        int code;
        try {
            if (!error.empty())
                usage_error(error);
            if (words[0] == "batch")
                usage_error("batch: batches do not nest");
            code = run_words(ctx, words);
        } catch (const qv::ServerGone&) {
            throw;
        } catch (const std::exception& e) {
            code = kFailed;
            std::cerr << "qvctl: line " << n << ": " << e.what() << "\n";
            if (ctx.json) {
                json out;
                out["line"] = n;
                out["ok"] = false;
                out["exit"] = code;
                out["error"] = e.what();
                std::cout << out.dump(-1, ' ', false, json::error_handler_t::replace) << "\n" << std::flush;
            }
        } catch (const Exit& e) {
            code = e.code;
            if (!e.message.empty())
                std::cerr << "qvctl: line " << n << ": " << e.message << "\n";
            if (ctx.json && !e.emitted) {
                json out;
                out["line"] = n;
                out["ok"] = false;
                out["exit"] = e.code;
                out["error"] = e.message;
                std::cout << out.dump(-1, ' ', false, json::error_handler_t::replace) << "\n" << std::flush;
            }
            if (e.code == kEnvironment) {
                ctx.in_batch = false;
                throw Exit{kEnvironment, ""};
            }
        }
        worst = std::max(worst, code);
        if (code != kOk && stop)
            break;
    }
    ctx.in_batch = false;
    return worst;
}

int run_words(Context& ctx, const std::vector<std::string>& words) {
    const std::string& c = words[0];
    auto args = [&](size_t from, const std::string& name, std::vector<std::string> flags = {},
                    std::vector<std::string> with_value = {}) {
        return parse_args(words, from, flags, with_value, name);
    };
    if (c == "help")
        return std::cout << qvctl::help_text(words.size() > 1 ? words[1] + (words.size() > 2 ? " " + words[2] : "") : ""),
               kOk;
    if (c == "reg") {
        if (words.size() < 2 || words[1] == "--help" || words[1] == "-h") {
            if (words.size() < 2)
                usage_error("reg: say get, set, rm, rm-value, export or import\nusage: " + qvctl::usage_line("reg"));
            std::cout << qvctl::help_text("reg");
            return kOk;
        }
        std::string sub = "reg " + words[1];
        Args a = sub == "reg export" ? args(2, sub, {"--regedit4", "--utf8"})
                 : sub == "reg import" ? args(2, sub, {"--32"}, {"--to", "--from"})
                                       : args(2, sub);
        if (help_if_asked(a, sub))
            return kOk;
        if (sub == "reg get")
            return reg_get(ctx, a);
        if (sub == "reg set")
            return reg_set(ctx, a);
        if (sub == "reg rm")
            return reg_rm(ctx, a);
        if (sub == "reg rm-value")
            return reg_rm_value(ctx, a);
        if (sub == "reg export")
            return reg_export(ctx, a);
        if (sub == "reg import")
            return reg_import(ctx, a);
        usage_error("reg: unknown command " + words[1] + "\nusage: " + qvctl::usage_line("reg"));
    }
    struct Entry {
        const char* name;
        int (*fn)(Context&, const Args&);
        std::vector<std::string> flags, with_value;
    };
    static const Entry table[] = {
        {"path", path_cmd, {}, {}},       {"drive", drive_cmd, {}, {}},   {"find", find_cmd, {}, {"--max"}},
        {"folder", folder_cmd, {}, {}},   {"dir", dir_cmd, {}, {}},       {"printer", printer_cmd, {}, {"--ppd"}},
        {"batch", batch_cmd, {"--stop-on-error"}, {}},
    };
    for (const Entry& e : table)
        if (c == e.name) {
            Args a = args(1, c, e.flags, e.with_value);
            if (help_if_asked(a, a.pos.empty() || c == "find" || c == "folder" || c == "batch" ? c : c + " " + a.pos[0]))
                return kOk;
            return e.fn(ctx, a);
        }
    if (c == "request")
        return request_cmd(ctx, words, 1);
    if (c == "demo" && !ctx.in_batch)
        return demo(ctx);
    usage_error("unknown command " + c + " (qvctl --help lists them)");
}

// An installed qvctl (<root>/bin/qvctl) runs the server installed beside it;
// one in the build tree runs the build's own.
std::string default_qvmanip() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string path(self, static_cast<size_t>(n));
        std::string bin = path.substr(0, path.rfind('/'));
        if (bin.size() > 4 && bin.substr(bin.size() - 4) == "/bin") {
            qv::WindowsPrograms installed = qv::installed_programs(qv::WindowsArch::x86_64, bin.substr(0, bin.size() - 4));
            if (access(installed.qvmanip.c_str(), R_OK) == 0)
                return installed.qvmanip;
        }
    }
    return QV_DEFAULT_QVMANIP;
}

}  // namespace

int main(int argc, char** argv) {
    Context ctx;
    ctx.launch.exe = default_qvmanip();
    bool prefix_given = false;
    int i = 1;
    try {
        for (; i < argc; i++) {
            std::string arg = argv[i];
            if (arg == "--prefix" || arg == "--exe" || arg == "--wine") {
                if (i + 1 >= argc)
                    usage_error(arg + " needs a value");
                std::string value = argv[++i];
                if (arg == "--prefix") {
                    ctx.launch.prefix = value;
                    prefix_given = true;
                } else
                    (arg == "--exe" ? ctx.launch.exe : ctx.launch.wine) = value;
            } else if (arg == "--json")
                ctx.json = true;
            else if (arg == "--help" || arg == "-h") {
                std::cout << qvctl::help_text("");
                return kOk;
            } else if (arg.rfind("--", 0) == 0)
                usage_error("unknown option " + arg + " (qvctl --help lists them)");
            else
                break;
        }
        if (!prefix_given) {
            try {
                ctx.launch.prefix = qv::default_prefix();
            } catch (const std::runtime_error&) {
                throw Exit{kEnvironment, "no prefix: give --prefix or set WINEPREFIX (HOME is not set either)"};
            }
        }
        if (!ctx.launch.prefix.empty() && ctx.launch.prefix[0] != '/') {
            // Wine takes only an absolute WINEPREFIX.
            char* cwd = getcwd(nullptr, 0);
            ctx.launch.prefix = std::string(cwd ? cwd : ".") + "/" + ctx.launch.prefix;
            std::free(cwd);
        }
        int code;
        if (i >= argc)
            code = interactive(ctx);
        else
            code = run_words(ctx, std::vector<std::string>(argv + i, argv + argc));
        if (ctx.session_)
            ctx.session_->quit();
        return code;
    } catch (const Exit& e) {
        if (!e.message.empty())
            std::cerr << "qvctl: " << e.message << "\n";
        if (ctx.json && !e.emitted) {
            json out;
            out["ok"] = false;
            out["exit"] = e.code;
            out["error"] = e.message;
            std::cout << out.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
        }
        return e.code;
    } catch (const qv::ServerGone& e) {
        std::cerr << "qvctl: the server died: " << e.what() << "\n";
        return kEnvironment;
    } catch (const std::exception& e) {
        std::cerr << "qvctl: " << e.what() << "\n";
        return kFailed;
    }
}
