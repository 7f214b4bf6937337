// reg get, set, rm, rm-value, export and import.
#include <fstream>
#include <functional>
#include <future>
#include <iostream>

#include "cli.h"
#include "progress.h"
#include "qv/regfile.h"
#include "qv/registry.h"
#include "qv/regtree.h"
#include "qv/text.h"
#include "text.h"

namespace qvctl {

namespace {

struct KeyArg {
    std::string path;  // short root form, as sent
    qv::RegView view;
};

// KEY with the view from --32 (or, as older scripts write it, a leading
// 32\ or 3264\ on the key).
KeyArg key_arg(std::string text, const Args& a, const std::string& command) {
    KeyArg k{"", a.flag("--32") ? qv::RegView::win32 : qv::RegView::native};
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
        usage_error(command + ": bad registry path \"" + text + "\": " + e.what());
    }
    if (k.path.find('\n') != std::string::npos)
        usage_error(command + ": bad registry path \"" + qv::visible(text) + "\": a key path cannot hold a line feed");
    return k;
}

std::string long_path(const KeyArg& k) { return qv::long_root_path(k.path); }

// The value NAME: the second word, or --default (the row's count allows one).
std::string name_arg(const Args& a) { return a.flag("--default") ? "" : a.pos[1]; }

[[noreturn]] void listing_failed(const qv::Failure& f, const KeyArg& k) {
    if (f.is(qv::kFileNotFound))
        throw Exit{kFailed, "no such key: " + long_path(k) + " (Win32 error 2)", "win32", f.code};
    failed("cannot read " + long_path(k), f);
}

json value_json(const qv::RegValue& v) {
    json j;
    put_text(j, "name", v.name);
    j["type"] = type_name(v.type);
    j["type_code"] = v.type;
    if (v.type == qv::reg_multi_sz) {
        json list = json::array();
        for (const std::string& s : v.strings())
            list.push_back(s);
        j["data"] = list;
    } else if (v.is_text())
        j["data"] = v.string();
    else if ((v.type == qv::reg_dword || v.type == qv::reg_dword_big_endian) && v.data.size() == 4)
        j["data"] = v.type == qv::reg_dword ? v.dword() : big_endian32(v.data);
    else if (v.type == qv::reg_qword && v.data.size() == 8)
        j["data"] = std::to_string(v.qword());  // a string: exact beyond 2^53 in every reader
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
        names.push_back(value_name_text(v.contains("name_hex") ? *qv::from_hex(v["name_hex"].get<std::string>())
                                                               : v["name"].get<std::string>()));
        name_w = std::max(name_w, columns(names.back()));
        type_w = std::max(type_w, v["type"].get<std::string>().size());
    }
    std::string out;
    size_t i = 0;
    for (const json& v : values) {
        std::string t = v["type"].get<std::string>();
        out += indent + names[i] + std::string(name_w - columns(names[i]) + 2, ' ') + t +
               std::string(type_w - t.size() + 2, ' ') + data_text(v) + "\n";
        i++;
    }
    return out;
}

json key_json(const std::string& path, const qv::RegKey& key, std::string* human, bool with_subkeys) {
    json r, values = json::array(), subkeys = json::array();
    r["key"] = path;
    for (const qv::RegValue& v : key.values)
        values.push_back(value_json(v));
    *human += path + "\n" + values_text(values, "  ");
    for (const std::string& s : key.subkeys) {
        json name;
        put_text(name, "name", s);
        subkeys.push_back(name["name"]);
        if (with_subkeys)
            *human += "  " + readable(s) + "\\\n";
    }
    r["values"] = values;
    r["subkeys"] = subkeys;
    return r;
}

struct Tree {
    qv::TreeExport ex;
    std::vector<std::string> warnings, missing;
};

// The lines after the first of a failure's message ("  KEY: why" each).
std::vector<std::string> detail_lines(const qv::Failure& f) {
    std::vector<std::string> out;
    for (size_t at = f.message.find('\n'); at != std::string::npos;) {
        size_t end = f.message.find('\n', at + 1);
        std::string line = f.message.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
        size_t first = line.find_first_not_of(' ');
        if (first != std::string::npos)
            out.push_back(line.substr(first));
        at = end;
    }
    return out;
}

// Keys the platform itself cannot list (its own editor skips them too) are
// warnings; any other key that could not be read whole makes the tree
// incomplete, and what was read is kept.
Tree read_tree(Context& ctx, const KeyArg& k, const std::string& label) {
    ctx.session();
    qv::Result<qv::TreeExport> ex;
    {
        Progress bar(label);
        ex = qv::export_tree(ctx.session(), k.path, k.view, bar.fn());
    }
    if (ex.failure) {
        const qv::Failure& f = *ex.failure;
        if (f.kind == qv::Failure::Kind::refused)
            usage_error(label == "exporting" ? "reg export: " + f.message : "reg get: " + f.message);
        if (f.kind != qv::Failure::Kind::incomplete)
            listing_failed(f, k);
    }
    Tree t;
    t.ex = std::move(ex.value);
    t.warnings = t.ex.warnings;
    if (ex.failure)
        t.missing = detail_lines(*ex.failure);
    for (const std::string& w : t.warnings)
        std::cerr << "qvctl: warning: " << w << "\n";
    for (const std::string& m : t.missing)
        std::cerr << "qvctl: incomplete: " << m << "\n";
    return t;
}

int reg_get_recursive(Context& ctx, const Args& a, const KeyArg& k, const std::optional<std::string>& name) {
    Tree t = read_tree(ctx, k, "reading");
    json keys = json::array();
    std::string human;
    for (const qv::RegFileKey& fk : t.ex.file.keys) {
        qv::RegKey key;
        for (const qv::RegFileValue& fv : fk.values)
            if (!name || fv.name == *name)
                key.values.push_back(qv::listed_value(fv));
        if (name && key.values.empty())
            continue;
        std::string text;
        json j = key_json(fk.path, key, &text, false);
        j.erase("subkeys");
        keys.push_back(j);
        if (a.flag("--data")) {
            for (const qv::RegValue& v : key.values)
                human += data_only(value_json(v));
        } else
            human += (human.empty() ? "" : "\n") + text;
    }
    json r;
    r["key"] = long_path(k);
    r["keys"] = keys;
    r["warnings"] = t.warnings;
    if (!t.missing.empty())
        emit_partial(ctx, r, human, kFailed,
                     "the listing of " + long_path(k) + " is incomplete: " + t.missing.front() +
                         (t.missing.size() > 1 ? " (and " + std::to_string(t.missing.size() - 1) + " more)" : ""),
                     "incomplete");
    if (name && keys.empty())
        throw Exit{kFailed, "no value " + value_name_text(*name) + " in " + long_path(k) + " or below it", "win32",
                   qv::kFileNotFound};
    emit(ctx, r, human);
    return kOk;
}

int reg_get(Context& ctx, const Command& c, const Args& a) {
    KeyArg k = key_arg(a.pos[0], a, c.name);
    if (k.view == qv::RegView::both)
        usage_error("reg get: a key is read in one view; use --32 or nothing");
    std::optional<std::string> name;
    if (a.flag("--default"))
        name = "";
    else if (a.pos.size() == 2)
        name = a.pos[1];
    if (a.flag("--data") && !name && !a.flag("-s"))
        usage_error("reg get: --data prints one value's data; name it (or give --default)");
    if (a.flag("-s"))
        return reg_get_recursive(ctx, a, k, name);
    if (name) {
        // One value, one request, whatever the size of its key.
        qv::Result<std::optional<qv::RegValue>> v = qv::get_value(ctx.session(), k.path, *name, k.view);
        if (!v)
            listing_failed(*v.failure, k);
        if (!*v)
            throw Exit{kFailed, "no value " + value_name_text(*name) + " in " + long_path(k), "win32",
                       qv::kFileNotFound};
        json r, one = value_json(**v);
        r["key"] = long_path(k);
        r["value"] = one;
        emit(ctx, r, a.flag("--data") ? data_only(one) : values_text(json::array({one}), ""));
        return kOk;
    }
    qv::Result<qv::RegKey> l = qv::list_key(ctx.session(), k.path, k.view);
    if (!l && l.failure->kind != qv::Failure::Kind::incomplete)
        listing_failed(*l.failure, k);
    std::string human;
    json r = key_json(long_path(k), *l, &human, true);
    r["complete"] = l.ok();
    if (!l.ok())
        emit_partial(ctx, r, human, kFailed, "the listing of " + long_path(k) + " ended early: " + l.error(),
                     "incomplete", l.failure->code);
    emit(ctx, r, human);
    return kOk;
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s;
}

// The stored bytes of TYPE from the DATA words (or the --data-file's bytes).
std::pair<uint32_t, std::string> typed_data(const std::string& type_word, const std::vector<std::string>& words,
                                            const std::optional<std::string>& file_bytes) {
    std::string type = qv::ascii_lower(type_word);
    if (type.rfind("reg_", 0) == 0)
        type = type.substr(4) == "expand_sz" ? "expand" : type.substr(4) == "multi_sz" ? "multi" : type.substr(4);
    bool multi = type == "multi", none = type == "none";
    if (file_bytes && !words.empty())
        usage_error("reg set: give the data as DATA words or --data-file, not both");
    if (!file_bytes && !multi && !(none && words.empty()) && words.size() != 1)
        usage_error("reg set: type " + type_word + " takes exactly one DATA word (or --data-file)");
    std::string one = file_bytes ? *file_bytes : words.empty() ? "" : words[0];
    auto text = [](const std::string& t) {
        if (!qv::valid_utf8(t))
            throw std::invalid_argument("the text is not UTF-8");
        return qv::utf8_to_utf16le(t) + std::string(2, '\0');
    };
    if (type == "sz" || type == "str")
        return {qv::reg_sz, text(one)};
    if (type == "expand")
        return {qv::reg_expand_sz, text(one)};
    if (multi) {
        std::vector<std::string> strings = words;
        if (file_bytes) {
            strings.clear();
            size_t from = 0;
            while (from < one.size()) {
                size_t lf = one.find('\n', from);
                strings.push_back(one.substr(from, lf == std::string::npos ? std::string::npos : lf - from));
                from = lf == std::string::npos ? one.size() : lf + 1;
            }
        }
        std::string bytes;
        for (const std::string& s : strings)
            bytes += text(s);
        return {qv::reg_multi_sz, bytes + std::string(2, '\0')};
    }
    if (type == "dword")
        return {qv::reg_dword, qv::little_endian_bytes(parse_dword(trimmed(one)), 4)};
    if (type == "qword")
        return {qv::reg_qword, qv::little_endian_bytes(parse_qword(trimmed(one)), 8)};
    if (type == "binary" || type == "hex")
        return {qv::reg_binary, file_bytes ? one : parse_hex_bytes(one)};
    if (none)
        return {qv::reg_none, file_bytes ? one : parse_hex_bytes(one)};
    usage_error("reg set: unknown type " + type_word + " (sz, expand, multi, dword, qword, binary, none)");
}

int reg_set(Context& ctx, const Command& c, const Args& a) {
    bool dflt = a.flag("--default");
    size_t fixed = dflt ? 2 : 3;  // KEY [NAME] TYPE
    KeyArg k = key_arg(a.pos[0], a, c.name);
    std::string name = dflt ? "" : a.pos[1];
    const std::string& type = a.pos[fixed - 1];
    std::vector<std::string> words(a.pos.begin() + static_cast<long>(fixed), a.pos.end());
    std::optional<std::string> file_bytes;
    if (auto f = a.value("--data-file"))
        file_bytes = read_input(*f, "reg set: --data-file");
    std::pair<uint32_t, std::string> data;
    try {
        data = typed_data(type, words, file_bytes);
    } catch (const std::invalid_argument& e) {
        usage_error(std::string("reg set: ") + e.what());
    }
    std::string what = long_path(k) + ": " + value_name_text(name);
    // Every type and byte is one plain request.
    qv::Request req;
    try {
        req = qv::set_value_request(k.path, name, qv::exact_literal(data.first, data.second), k.view);
    } catch (const std::invalid_argument& e) {
        usage_error("reg set: " + what + ": " + e.what());
    }
    qv::Result<void> done = qv::parse_write(ctx.session().ask(req.command, req.args));
    if (!done)
        failed("cannot write " + what, *done.failure);
    json r;
    r["key"] = long_path(k);
    put_text(r, "name", name);
    r["type"] = type_name(data.first);
    emit(ctx, r, "");
    return kOk;
}

int reg_rm(Context& ctx, const Command& c, const Args& a) {
    KeyArg k = key_arg(a.pos[0], a, c.name);
    if (k.path.back() == '\\')
        usage_error("reg rm: refusing to delete the root key " + long_path(k) + " itself");
    qv::Result<void> done = qv::delete_tree(ctx.session(), k.path, k.view);
    if (!done)
        failed("cannot delete " + long_path(k), *done.failure);
    json r;
    r["key"] = long_path(k);
    emit(ctx, r, "");
    return kOk;
}

int reg_rm_value(Context& ctx, const Command& c, const Args& a) {
    KeyArg k = key_arg(a.pos[0], a, c.name);
    std::string name = name_arg(a);
    qv::Result<void> done = qv::delete_value(ctx.session(), k.path, name, k.view);
    if (!done)
        failed("cannot delete " + long_path(k) + ": " + value_name_text(name), *done.failure);
    json r;
    r["key"] = long_path(k);
    put_text(r, "name", name);
    emit(ctx, r, "");
    return kOk;
}

int reg_export(Context& ctx, const Command& c, const Args& a) {
    KeyArg k = key_arg(a.pos[0], a, c.name);
    if (k.view == qv::RegView::both)
        usage_error("reg export: a tree is read in one view; use --32 or nothing");
    std::string file = a.pos.size() > 1 ? a.pos[1] : "-";
    bool to_stdout = file == "-";
    if (to_stdout && ctx.json)
        usage_error("reg export: with --json the file cannot be standard output; name a FILE");
    if (a.flag("--regedit4") + a.flag("--utf8") + a.flag("--utf16") > 1)
        usage_error("reg export: choose one of --regedit4, --utf8 and --utf16");
    // A terminal or a pipe gets readable UTF-8; a file what the platform's editor writes.
    qv::RegFileFormat format = a.flag("--regedit4") ? qv::RegFileFormat::regedit4
                               : a.flag("--utf8")   ? qv::RegFileFormat::v5_utf8
                               : a.flag("--utf16")  ? qv::RegFileFormat::v5_utf16
                               : to_stdout          ? qv::RegFileFormat::v5_utf8
                                                    : qv::RegFileFormat::v5_utf16;
    Tree t = read_tree(ctx, k, "exporting");
    std::string bytes;
    try {
        bytes = qv::write_regfile(t.ex.file, format);
    } catch (const std::invalid_argument& e) {
        usage_error(std::string("reg export: ") + e.what());  // the format chosen cannot carry the tree
    }
    if (to_stdout)
        std::cout.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    else {
        std::ofstream out(file, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out)
            throw Exit{kEnvironment, "reg export: cannot write " + file, "environment"};
    }
    size_t values = 0;
    for (const qv::RegFileKey& key : t.ex.file.keys)
        values += key.values.size();
    json r;
    r["key"] = long_path(k);
    r["file"] = file;
    r["keys"] = t.ex.file.keys.size();
    r["values"] = values;
    r["warnings"] = t.warnings;
    std::string human = to_stdout ? "" : "exported " + std::to_string(t.ex.file.keys.size()) + " keys, " +
                                             std::to_string(values) + " values to " + file + "\n";
    if (!t.missing.empty()) {
        r["incomplete"] = t.missing;
        emit_partial(ctx, r, human, kFailed,
                     "the export of " + long_path(k) + " is incomplete: " + std::to_string(t.missing.size()) +
                         " keys could not be read whole",
                     "incomplete");
    }
    emit(ctx, r, human);
    return kOk;
}

// The file read, checked and planned: what reg import sends.
qv::ImportPlan planned_import(const Command& c, const std::string& file, const Args& a, qv::RegView view) {
    qv::RegFile parsed;
    try {
        parsed = qv::parse_regfile(read_input(file, "reg import"));
    } catch (const qv::RegFileError& e) {
        usage_error("reg import: " + file + ": " + e.what());
    }
    std::optional<std::string> to = a.value("--to"), from = a.value("--from");
    if (from && !to)
        usage_error("reg import: --from needs --to");
    if (to) {
        if (parsed.keys.empty())
            usage_error("reg import: " + file + " holds no keys to move");
        try {
            qv::rebase_regfile(parsed, from ? *from : parsed.keys.front().path, key_arg(*to, a, c.name).path);
        } catch (const std::invalid_argument& e) {
            usage_error(std::string("reg import: ") + e.what());
        }
    }
    qv::Result<qv::ImportPlan> plan = qv::plan_import(parsed, view, std::to_string(getpid()));
    if (!plan)
        usage_error("reg import: " + file + ": " + plan.failure->message);  // refused before anything is sent
    return std::move(plan.value);
}

int reg_import(Context& ctx, const Command& c, const Args& a) {
    std::string file = a.pos[0];
    qv::RegView view = a.flag("--32") ? qv::RegView::win32 : qv::RegView::native;
    // The file is read and planned while the server starts; what is wrong
    // with the file is still reported before what is wrong with the prefix.
    std::future<qv::ImportPlan> planning = std::async(std::launch::async, planned_import, std::cref(c), file, a, view);
    std::exception_ptr start_failure;
    try {
        ctx.session();
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
        usage_error("reg import: " + file + ": " + result.failure->message);  // nothing was sent
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
    std::string human =
        "imported " + std::to_string(im.keys) + " keys, " + std::to_string(im.values_set) + " values";
    if (im.via_editor)
        human += " (" + std::to_string(im.via_editor) + " through the registry editor)";
    if (im.keys_deleted || im.values_deleted)
        human += "; deleted " + std::to_string(im.keys_deleted) + " keys, " + std::to_string(im.values_deleted) +
                 " values";
    if (!result)
        emit_partial(ctx, r, human + "\n", kFailed,
                     "the import of " + file + " failed for " + std::to_string(im.failures.size()) + " entries",
                     "incomplete");
    emit(ctx, r, human + "\n");
    return kOk;
}

const char kKeyHelp[] =
    "KEY is ROOT\\path with ROOT one of HKEY_CLASSES_ROOT, HKEY_CURRENT_USER,\n"
    "HKEY_LOCAL_MACHINE, HKEY_USERS or HKCR, HKCU, HKLM, HKU (any case). --32 uses\n"
    "the 32-bit view (older scripts may still write 32\\KEY).\n";

}  // namespace

std::vector<Command> registry_commands() {
    std::string key_help = kKeyHelp;
    return {
        {"reg get", "reg get KEY [NAME | --default] [-s] [--data] [--32]", "values and subkeys, or one value",
         "Lists the values and subkeys of KEY, or shows the value NAME; --default\n"
         "names the key's default value (NAME \"\" does too). -s lists every key\n"
         "below KEY as well (with NAME: where that value is). --data prints only the\n"
         "data: text as it is, numbers in decimal, binary as hex, one line per\n"
         "string of a multi-string.\n" +
             key_help +
             "Readable form: names and text that hold blanks at their ends, quotes,\n"
             "control characters or bytes that are not UTF-8 are shown in double quotes\n"
             "with C escapes (\\n is a line feed, \\\\ a backslash), so a real line feed\n"
             "and a backslash-n differ; (default) unquoted is the default value, a value\n"
             "named \"(default)\" is shown quoted; the strings of a multi-string are always\n"
             "quoted.\n"
             "JSON: {key, values: [{name, type, type_code, data, hex}], subkeys, complete};\n"
             "with NAME {key, value}; with -s {key, keys: [...], warnings}. data is text,\n"
             "a list of strings, a number (dword), a decimal string (qword: exact) or hex.\n",
         {"-s", "--data", "--default", "--32"}, {}, {1, 2, true}, reg_get},
        {"reg set", "reg set KEY (NAME | --default) TYPE [DATA...] [--data-file FILE] [--32]",
         "write a value",
         "Writes one value, creating KEY and its parents. TYPE: sz, expand, multi\n"
         "(one DATA word per string, none for an empty list), dword and qword\n"
         "(decimal, or hex after 0x), binary and none (hex pairs, optionally\n"
         "separated by , : or blanks; none may have no data). --data-file FILE takes\n"
         "the data from FILE (\"-\": standard input) instead: its bytes for binary\n"
         "and none, its text for sz and expand, one string per line for multi.\n"
         "--default writes the key's default value. A leading 3264\\ on KEY writes\n"
         "both views.\n" +
             key_help,
         {"--default", "--32"}, {"--data-file"}, {3, kMany, true}, reg_set},
        {"reg rm", "reg rm KEY [--32]", "delete a key and all below it",
         "Deletes KEY with everything below it; a missing key counts as deleted.\n"
         "Root keys themselves are refused.\n" +
             key_help,
         {"--32"}, {}, {1, 1}, reg_rm},
        {"reg rm-value", "reg rm-value KEY (NAME | --default) [--32]", "delete one value",
         "Deletes one value; a missing key or value is a failure.\n" + key_help, {"--default", "--32"}, {},
         {2, 2, true}, reg_rm_value},
        {"reg export", "reg export KEY [FILE] [--utf8 | --utf16 | --regedit4] [--32]", "a tree as a .reg file",
         "Writes KEY and everything below it as a .reg file: \"Windows Registry Editor\n"
         "Version 5.00\" text, in UTF-8 on standard output (no FILE, or \"-\") and in\n"
         "UTF-16LE with a BOM in FILE, as the platform's own editor writes it;\n"
         "--utf8 and --utf16 choose, --regedit4 the older REGEDIT4 form. Every type\n"
         "and byte of a value is kept, as far as the listing shows it. Keys that Wine\n"
         "itself cannot enumerate (its editor leaves them out too) are skipped with a\n"
         "warning; any other key that cannot be read whole fails the export (exit 1)\n"
         "after writing the rest. A progress bar shows on a terminal.\n" +
             key_help,
         {"--regedit4", "--utf8", "--utf16", "--32"}, {}, {1, 2}, reg_export},
        {"reg import", "reg import FILE [--to KEY [--from KEY]] [--32]", "a .reg file into the registry",
         "Writes a .reg file (\"-\": standard input): REGEDIT4 or version 5.00,\n"
         "UTF-16LE with BOM or UTF-8/8-bit text. --to moves the keys below --from\n"
         "(default: the file's first key) to below KEY. --32 writes the 32-bit view.\n"
         "Every type is written as it is; only values whose name holds a line feed\n"
         "go through the prefix's registry editor and are read back to check them.\n"
         "The file is checked whole before anything is written.\n",
         {"--32"}, {"--to", "--from"}, {1, 1}, reg_import},
    };
}

}  // namespace qvctl
