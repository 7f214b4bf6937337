#include "qv/regtree.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <stdexcept>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

#include "qv/files.h"
#include "qv/process.h"

namespace qv {

namespace {

constexpr size_t kBatch = 256;

std::string child_path(const std::string& parent, const std::string& name) {
    return parent.back() == '\\' ? parent + name : parent + "\\" + name;
}

// Listed, perhaps not completely.
bool listed(const Result<RegKey>& l) { return l || l.failure->kind == Failure::Kind::incomplete; }

std::string shown_name(const std::string& name) { return name.empty() ? "@" : "\"" + name + "\""; }

// What a listing shows of text data: the server lists text as UTF-8, so
// ill-formed UTF-16 comes back as U+FFFD and an odd last byte is dropped.
std::string as_listed(uint32_t type, const std::string& data) {
    RegValue probe;
    probe.type = type;
    return probe.is_text() ? utf8_to_utf16le(utf16le_to_utf8(data)) : data;
}

std::string path_under(const std::string& key_short, const std::string& base_short) {
    // "" when key == base, "\rest" when below, else throws
    auto upper = [](std::string s) {
        for (char& c : s)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 32);
        return s;
    };
    std::string k = key_short, b = base_short;
    if (!k.empty() && k.back() == '\\')
        k.pop_back();
    if (!b.empty() && b.back() == '\\')
        b.pop_back();
    std::string ku = upper(k), bu = upper(b);
    if (ku == bu)
        return "";
    if (ku.size() > bu.size() && ku.compare(0, bu.size(), bu) == 0 && ku[bu.size()] == '\\')
        return k.substr(b.size());
    throw std::invalid_argument("the key " + key_short + " is not below " + base_short);
}

class Importer {
public:
    Importer(Session& session, RegView view, const ProgressFn& progress)
        : session_(session), view_(view), progress_(progress) {}

    void add_key(const RegFileKey& key) {
        std::string path = short_root_path(key.path);
        if (key.remove) {
            flush_editor();
            push(delete_tree_request(path, view_), Op::delete_tree, path, "");
            return;
        }
        size_t sets = 0;
        bool fallback = false;
        for (const RegFileValue& v : key.values) {
            std::pair<std::string, std::string> id{path, v.name};
            // The editor's pending write of this value must land before what follows it.
            if (editor_names_.count(id))
                flush_editor();
            if (v.remove) {
                push(delete_value_request(path, v.name, view_), Op::delete_value, path, v.name);
                continue;
            }
            // A name with LF would end the name field of the request early.
            std::string literal = v.name.find('\n') == std::string::npos ? exact_literal(v.type, v.data) : "";
            if (!literal.empty()) {
                push(set_value_request(path, v.name, literal, view_), Op::set, path, v.name);
                sets++;
                continue;
            }
            if (editor_.keys.empty() || editor_.keys.back().path != long_root_path(path))
                editor_.keys.push_back(RegFileKey{long_root_path(path), false, {}});
            editor_.keys.back().values.push_back(v);
            editor_names_.insert(id);
            fallback = true;
        }
        if (!sets && !fallback) {
            // No command creates a bare key: a value of our own makes it and goes again.
            std::string temp = "qvctl-new-key-" + std::to_string(getpid()) + "-" + std::to_string(++temp_count_);
            push(set_value_request(path, temp, string_literal(""), view_), Op::create, path, temp);
            push(delete_value_request(path, temp, view_), Op::create_cleanup, path, temp);
        }
        result_.keys++;
    }

    TreeImport finish() {
        flush_editor();
        send();
        return std::move(result_);
    }

    size_t planned = 0;

private:
    enum class Op { set, delete_value, delete_tree, create, create_cleanup };
    struct Pending {
        Op op;
        std::string key, name;
    };

    void push(Request r, Op op, const std::string& key, const std::string& name) {
        requests_.push_back(std::move(r));
        pending_.push_back({op, key, name});
    }

    void tick(size_t n) {
        done_ += n;
        if (progress_)
            progress_(done_, planned);
    }

    void send() {
        std::vector<std::pair<std::string, std::string>> check_deleted;
        for (size_t at = 0; at < requests_.size(); at += kBatch) {
            size_t end = std::min(requests_.size(), at + kBatch);
            std::vector<Request> chunk(requests_.begin() + static_cast<long>(at), requests_.begin() + static_cast<long>(end));
            std::vector<std::string> answers = session_.ask_all(chunk);
            for (size_t k = 0; k < answers.size(); k++) {
                const Pending& p = pending_[at + k];
                bool ok = answers[k] == "success";
                switch (p.op) {
                case Op::set:
                    ok ? (void)result_.values_set++ : fail(p, answers[k]);
                    break;
                case Op::delete_tree:
                    ok ? (void)result_.keys_deleted++ : fail(p, answers[k]);
                    break;
                case Op::delete_value:
                    if (ok)
                        result_.values_deleted++;
                    else
                        check_deleted.push_back({p.key, p.name});
                    break;
                case Op::create:
                    if (!ok)
                        result_.failures.push_back(p.key + ": the key could not be created: " + answers[k]);
                    break;
                case Op::create_cleanup:
                    if (!ok && pending_[at + k - 1].op == Op::create && answers[k - 1] == "success")
                        fail(p, "could not remove the helper value: " + answers[k]);
                    break;
                }
            }
            tick(end - at);
        }
        requests_.clear();
        pending_.clear();
        // Deleting what is not there leaves the wanted state; anything else is a failure.
        for (const auto& [key, name] : check_deleted) {
            Result<RegKey> l = list_key(session_, key, view_);
            if (l->find(name))
                result_.failures.push_back(key + ": " + shown_name(name) + ": could not be deleted");
            else
                result_.values_deleted++;
        }
    }

    void fail(const Pending& p, const std::string& answer) {
        result_.failures.push_back(p.key + (p.op == Op::delete_tree ? "" : ": " + shown_name(p.name)) + ": " + answer);
    }

    void flush_editor() {
        if (editor_.keys.empty())
            return;
        send();
        RegFile file = std::move(editor_);
        editor_ = RegFile{};
        editor_names_.clear();
        size_t count = 0;
        for (const RegFileKey& k : file.keys)
            count += k.values.size();
        std::string note = run_editor(file);
        // Read every value back: the editor says nothing about what it did.
        std::vector<Request> lists;
        for (const RegFileKey& k : file.keys)
            lists.push_back(list_key_request(short_root_path(k.path), view_ == RegView::both ? RegView::native : view_));
        std::vector<std::string> answers = session_.ask_all(lists);
        for (size_t i = 0; i < file.keys.size(); i++) {
            Result<RegKey> l = parse_listing(answers[i]);
            for (const RegFileValue& v : file.keys[i].values) {
                const RegValue* got = l->find(v.name);
                if (got && got->type == v.type && got->data == as_listed(v.type, v.data)) {
                    result_.values_set++;
                    result_.via_editor++;
                } else
                    result_.failures.push_back(short_root_path(file.keys[i].path) + ": " + shown_name(v.name) +
                                               ": type " + std::to_string(v.type) + " went through the registry editor, " +
                                               (got ? "which stored other bytes or another type" : "which did not store it") +
                                               note);
            }
        }
        tick(count);
    }

    // Returns a note for failure messages ("" when the editor ran cleanly).
    std::string run_editor(const RegFile& file) {
        const LaunchOptions& launch = session_.options().launch;
        std::string dir = launch.prefix + "/drive_c/windows/temp";
        mkdir(dir.c_str(), 0777);
        std::string unix_path = dir + "/qvctl-import-XXXXXX.reg";
        int fd = mkstemps(unix_path.data(), 4);
        if (fd < 0)
            return " (no temporary file in " + dir + ")";
        std::string bytes = write_regfile(file, RegFileFormat::v5_utf16);
        bool written = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        close(fd);
        std::string note;
        Result<std::string> win = windows_path(session_, unix_path);
        if (!written || !win)
            note = " (the temporary file could not be written or named)";
        else {
            std::vector<std::string> editors;
            if (view_ != RegView::win32)
                editors.push_back("regedit");
            if (view_ != RegView::native)
                editors.push_back("C:\\windows\\syswow64\\regedit.exe");
            for (const std::string& exe : editors) {
                LaunchOptions o = launch;
                o.exe = exe;
                o.args = {"/S", *win};
                RunResult r = run_program(o, Millis(120000)).value;
                if (r.exit_code != 0)
                    note = " (the registry editor exited with " + std::to_string(r.exit_code) + ")";
            }
        }
        unlink(unix_path.c_str());
        return note;
    }

    Session& session_;
    RegView view_;
    const ProgressFn& progress_;
    std::vector<Request> requests_;
    std::vector<Pending> pending_;
    RegFile editor_;
    std::set<std::pair<std::string, std::string>> editor_names_;
    TreeImport result_;
    size_t done_ = 0;
    int temp_count_ = 0;
};

}  // namespace

std::string exact_literal(uint32_t type, std::string_view data) {
    if (type == reg_dword && data.size() == 4) {
        uint32_t v = 0;
        for (int k = 3; k >= 0; k--)
            v = (v << 8) | static_cast<unsigned char>(data[static_cast<size_t>(k)]);
        return dword_literal(v);
    }
    if (type == reg_binary)
        return binary_literal(data);
    if (type != reg_sz && type != reg_expand_sz && type != reg_multi_sz)
        return {};
    if (data.size() < 2 || data.size() % 2 || data.substr(data.size() - 2) != std::string_view("\0\0", 2))
        return {};
    std::string_view units = data.substr(0, data.size() - 2);
    std::string text = utf16le_to_utf8(units);
    if (utf8_to_utf16le(text) != units)
        return {};
    if (type != reg_multi_sz) {
        if (text.find('\0') != std::string::npos)
            return {};
        return type == reg_sz ? string_literal(text) : expand_string_literal(text);
    }
    // Each string ends with NUL and the list with one more, which the server adds.
    std::vector<std::string> strings;
    if (!text.empty()) {
        if (text.back() != '\0')
            return {};
        for (size_t start = 0; start < text.size();) {
            size_t nul = text.find('\0', start);
            strings.push_back(text.substr(start, nul - start));
            start = nul + 1;
        }
    }
    for (const std::string& s : strings)
        if (s.empty() || s.find("\\0") != std::string::npos)
            return {};
    return multi_string_literal(strings);
}

TreeExport export_tree(Session& session, std::string_view key, RegView view, const ProgressFn& progress) {
    struct Node {
        std::string path;  // short root form, as sent
        RegKey listing;
        std::vector<size_t> children;
        bool listed = false;
    };
    TreeExport out;
    std::vector<Node> nodes;
    nodes.push_back({short_root_path(key), {}, {}, false});
    std::vector<size_t> level{0};
    size_t done = 0;
    while (!level.empty()) {
        std::vector<size_t> next;
        for (size_t at = 0; at < level.size(); at += kBatch) {
            size_t end = std::min(level.size(), at + kBatch);
            std::vector<Request> requests;
            std::vector<size_t> asked;
            for (size_t i = at; i < end; i++) {
                try {
                    requests.push_back(list_key_request(nodes[level[i]].path, view));
                    asked.push_back(level[i]);
                } catch (const std::invalid_argument& e) {
                    out.incomplete.push_back(nodes[level[i]].path + ": " + e.what());
                }
            }
            std::vector<std::string> answers = session.ask_all(requests);
            for (size_t k = 0; k < answers.size(); k++) {
                size_t n = asked[k];
                Result<RegKey> l = parse_listing(answers[k]);
                if (!listed(l)) {
                    if (n == 0)
                        out.error = l.error();
                    else
                        out.incomplete.push_back(nodes[n].path + ": " + l.error());
                    continue;
                }
                if (l.failure)
                    out.incomplete.push_back(nodes[n].path + ": " + l.error());
                for (const std::string& sub : l->subkeys) {
                    nodes[n].children.push_back(nodes.size());
                    next.push_back(nodes.size());
                    nodes.push_back({child_path(nodes[n].path, sub), {}, {}, false});
                }
                nodes[n].listing = std::move(l.value);
                nodes[n].listed = true;
            }
            done += end - at;
            if (progress)
                progress(done, nodes.size());
        }
        level = std::move(next);
    }
    if (!out.error.empty())
        return out;
    // Parents before children, children in listing order.
    std::vector<size_t> stack{0};
    while (!stack.empty()) {
        size_t n = stack.back();
        stack.pop_back();
        if (!nodes[n].listed)
            continue;
        RegFileKey k;
        k.path = long_root_path(nodes[n].path);
        for (const RegValue& v : nodes[n].listing.values)
            k.values.push_back(RegFileValue{v.name, false, v.type, v.data});
        out.file.keys.push_back(std::move(k));
        for (auto it = nodes[n].children.rbegin(); it != nodes[n].children.rend(); ++it)
            stack.push_back(*it);
    }
    return out;
}

TreeImport import_tree(Session& session, const RegFile& file, RegView view, const ProgressFn& progress) {
    // Everything is checked before the first request.
    size_t planned = 0;
    for (const RegFileKey& k : file.keys) {
        std::string path = short_root_path(k.path);
        if (k.remove) {
            delete_tree_request(path, view);
            planned++;
            continue;
        }
        set_value_request(path, "x", "", view);
        planned += k.values.empty() ? 2 : k.values.size();
        for (const RegFileValue& v : k.values) {
            if (v.remove)
                delete_value_request(path, v.name, view);
            else if (v.name.find('\n') == std::string::npos)
                set_value_request(path, v.name, "", view);
        }
    }
    Importer importer(session, view, progress);
    importer.planned = planned;
    for (const RegFileKey& k : file.keys)
        importer.add_key(k);
    return importer.finish();
}

void rebase_regfile(RegFile& file, std::string_view from, std::string_view to) {
    std::string base = short_root_path(from);
    std::string target = short_root_path(to);
    if (!target.empty() && target.back() == '\\')
        target.pop_back();
    std::vector<std::string> moved;
    for (const RegFileKey& k : file.keys)
        moved.push_back(long_root_path(target + path_under(short_root_path(k.path), base)));
    for (size_t i = 0; i < file.keys.size(); i++)
        file.keys[i].path = moved[i];
}

}  // namespace qv
