// Importing a RegFile: a pure plan of what to send and what to leave to the
// platform's editor, and the executor that carries it out.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <stdexcept>
#include <utility>

#include "qv/files.h"
#include "qv/process.h"
#include "qv/regtree.h"
#include "qv/text.h"

namespace qv {

namespace {

// Requests between progress reports (each batch waits for its answers).
constexpr size_t kBatch = 1024;

std::string shown_name(const std::string& name) { return name.empty() ? "@" : "\"" + name + "\""; }

// A failed write's answer in words ("errno 5" -> "access is denied (Win32 error 5)").
std::string words(const std::string& answer) { return server_failure(answer).describe(); }

// Whether the platform's editor stores these bytes as they are: it ends text
// data that lacks its closing NUL with one, and cannot hold half a UTF-16 unit.
bool editor_stores_exactly(uint32_t type, std::string_view data) {
    if (!editor_text_type(type) || data.empty())
        return true;
    return data.size() % 2 == 0 && data[data.size() - 2] == '\0' && data[data.size() - 1] == '\0';
}

// The views a read-back has to look in.
std::vector<RegView> listed_views(RegView view) {
    if (view == RegView::both)
        return {RegView::native, RegView::win32};
    return {view};
}

// What a listing shows of text data: the server lists text as UTF-8, so
// ill-formed UTF-16 comes back as U+FFFD.
std::string as_listed(uint32_t type, const std::string& data) {
    RegValue probe;
    probe.type = type;
    return probe.is_text() ? utf8_to_utf16le(utf16le_to_utf8(data)) : data;
}

class Planner {
public:
    Planner(RegView view, std::string_view tag) : view_(view), tag_(tag) { plan_.phases.emplace_back(); }

    void add_key(const RegFileKey& key) {
        std::string path = short_root_path(key.path);
        if (key.remove) {
            end_phase_if_editor();
            push(ImportStep::Op::delete_tree, path, "", delete_tree_request(path, view_));
            return;
        }
        bool written = false;
        for (const RegFileValue& v : key.values) {
            // The editor's pending write of this value must land before what follows it.
            if (editor_names_.count({path, v.name}))
                end_phase_if_editor();
            if (v.remove) {
                push(ImportStep::Op::delete_value, path, v.name, delete_value_request(path, v.name, view_));
                continue;
            }
            written = true;
            // A name with LF would end the name field of the request early;
            // every other value the server stores exactly.
            std::string literal = v.name.find('\n') == std::string::npos ? exact_literal(v.type, v.data) : "";
            if (!literal.empty()) {
                push(ImportStep::Op::set, path, v.name, set_value_request(path, v.name, literal, view_));
                continue;
            }
            if (!editor_stores_exactly(v.type, v.data))
                throw std::invalid_argument(path + ": " + shown_name(v.name) +
                                            ": a name with LF goes through the registry editor, which cannot store "
                                            "text data of " + std::to_string(v.data.size()) +
                                            " bytes that does not end in a NUL character as it is");
            RegFile& editor = plan_.phases.back().editor;
            std::string long_path = long_root_path(path);
            if (editor.keys.empty() || editor.keys.back().path != long_path)
                editor.keys.push_back(RegFileKey{long_path, false, {}});
            editor.keys.back().values.push_back(v);
            editor_names_.insert({path, v.name});
            plan_.units++;
        }
        if (!written) {
            // No request creates a bare key: a value of our own makes it and goes again.
            std::string helper = "qvctl-new-key-" + std::string(tag_) + "-" + std::to_string(++helpers_);
            push(ImportStep::Op::create, path, helper, set_value_request(path, helper, string_literal(""), view_));
            push(ImportStep::Op::create_cleanup, path, helper, delete_value_request(path, helper, view_));
        }
        plan_.keys++;
    }

    ImportPlan finish() {
        if (plan_.phases.back().steps.empty() && plan_.phases.back().editor.keys.empty() && plan_.phases.size() > 1)
            plan_.phases.pop_back();
        return std::move(plan_);
    }

private:
    void push(ImportStep::Op op, const std::string& key, const std::string& name, Request request) {
        plan_.phases.back().steps.push_back({op, key, name, std::move(request)});
        plan_.units++;
    }

    void end_phase_if_editor() {
        if (plan_.phases.back().editor.keys.empty())
            return;
        plan_.phases.emplace_back();
        editor_names_.clear();
    }

    RegView view_;
    std::string_view tag_;
    ImportPlan plan_;
    std::set<std::pair<std::string, std::string>> editor_names_;
    size_t helpers_ = 0;
};

class Executor {
public:
    Executor(Session& session, RegView view, const ProgressFn& progress, size_t total)
        : session_(session), view_(view), progress_(progress), total_(total) {}

    void run(const ImportPhase& phase) {
        send(phase.steps);
        if (!phase.editor.keys.empty())
            through_editor(phase.editor);
    }

    TreeImport result;

private:
    void tick(size_t n) {
        done_ += n;
        if (progress_)
            progress_(done_, total_);
    }

    void fail(const ImportStep& s, const std::string& why) {
        result.failures.push_back(s.key + (s.op == ImportStep::Op::delete_tree ? "" : ": " + shown_name(s.name)) +
                                  ": " + why);
    }

    void send(const std::vector<ImportStep>& steps) {
        std::vector<std::string> answers;
        answers.reserve(steps.size());
        for (size_t at = 0; at < steps.size(); at += kBatch) {
            size_t end = std::min(steps.size(), at + kBatch);
            std::vector<Request> chunk;
            for (size_t i = at; i < end; i++)
                chunk.push_back(steps[i].request);
            for (std::string& a : session_.ask_all(chunk))
                answers.push_back(std::move(a));
            tick(end - at);
        }
        std::vector<std::pair<std::string, std::string>> check_deleted;
        for (size_t i = 0; i < steps.size(); i++) {
            const ImportStep& s = steps[i];
            bool ok = answers[i] == "success";
            switch (s.op) {
            case ImportStep::Op::set:
                ok ? (void)result.values_set++ : fail(s, words(answers[i]));
                break;
            case ImportStep::Op::delete_tree:
                ok ? (void)result.keys_deleted++ : fail(s, words(answers[i]));
                break;
            case ImportStep::Op::delete_value:
                if (ok)
                    result.values_deleted++;
                else
                    check_deleted.push_back({s.key, s.name});
                break;
            case ImportStep::Op::create:
                if (!ok)
                    result.failures.push_back(s.key + ": the key could not be created: " + words(answers[i]));
                break;
            case ImportStep::Op::create_cleanup:
                // The helper stays only if its create succeeded and this did not.
                if (!ok && i > 0 && steps[i - 1].op == ImportStep::Op::create && answers[i - 1] == "success")
                    fail(s, "could not remove the helper value: " + words(answers[i]));
                break;
            }
        }
        // Deleting what is not there leaves the wanted state; anything else is a failure.
        if (check_deleted.empty())
            return;
        std::vector<Result<RegKey>> listed = list_all(check_deleted);
        size_t views = listed_views(view_).size();
        for (size_t i = 0; i < check_deleted.size(); i++) {
            bool gone = true;
            for (size_t v = 0; v < views; v++)
                gone = gone && !listed[i * views + v]->find(check_deleted[i].second);
            if (gone)
                result.values_deleted++;
            else
                result.failures.push_back(check_deleted[i].first + ": " + shown_name(check_deleted[i].second) +
                                          ": could not be deleted");
        }
    }

    // Listings of each key in every view that counts, in that order.
    std::vector<Result<RegKey>> list_all(const std::vector<std::pair<std::string, std::string>>& keys) {
        std::vector<Request> requests;
        for (const auto& k : keys)
            for (RegView v : listed_views(view_))
                requests.push_back(list_key_request(k.first, v));
        std::vector<Result<RegKey>> out;
        for (const std::string& a : session_.ask_all(requests))
            out.push_back(parse_listing(a));
        return out;
    }

    void through_editor(const RegFile& file) {
        size_t count = 0;
        for (const RegFileKey& k : file.keys)
            count += k.values.size();
        std::string note = run_editor(file);
        // Read every value back: the editor says nothing about what it did.
        std::vector<std::pair<std::string, std::string>> keys;
        for (const RegFileKey& k : file.keys)
            keys.push_back({short_root_path(k.path), ""});
        std::vector<Result<RegKey>> listed = list_all(keys);
        size_t views = listed_views(view_).size();
        for (size_t i = 0; i < file.keys.size(); i++) {
            for (const RegFileValue& v : file.keys[i].values) {
                std::string wrong;
                for (size_t n = 0; n < views && wrong.empty(); n++) {
                    const RegValue* got = listed[i * views + n]->find(v.name);
                    if (!got)
                        wrong = "which did not store it";
                    else if (got->type != v.type || got->data != as_listed(v.type, v.data))
                        wrong = "which stored other bytes or another type";
                }
                if (wrong.empty()) {
                    result.values_set++;
                    result.via_editor++;
                } else
                    result.failures.push_back(keys[i].first + ": " + shown_name(v.name) + ": type " +
                                              std::to_string(v.type) + " went through the registry editor, " + wrong +
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
                Result<RunResult> r = run_program(o, Millis(120000));
                if (!r)
                    note = " (the registry editor: " + r.error() + ")";
                else if (r->exit_code != 0)
                    note = " (the registry editor exited with " + std::to_string(r->exit_code) + ")";
            }
        }
        unlink(unix_path.c_str());
        return note;
    }

    Session& session_;
    RegView view_;
    const ProgressFn& progress_;
    size_t total_;
    size_t done_ = 0;
};

}  // namespace

Result<ImportPlan> plan_import(const RegFile& file, RegView view, std::string_view helper_tag) {
    try {
        Planner planner(view, helper_tag);
        for (const RegFileKey& k : file.keys)
            planner.add_key(k);
        return planner.finish();
    } catch (const std::invalid_argument& e) {
        return refused_failure(e.what());
    }
}

Result<TreeImport> run_import(Session& session, const ImportPlan& plan, RegView view, const ProgressFn& progress) {
    Executor executor(session, view, progress, plan.units);
    executor.result.keys = plan.keys;
    for (const ImportPhase& phase : plan.phases)
        executor.run(phase);
    TreeImport& r = executor.result;
    if (r.failures.empty())
        return std::move(r);
    std::string what = std::to_string(r.failures.size()) + (r.failures.size() == 1 ? " entry" : " entries") +
                       " of the file could not be written:";
    for (const std::string& f : r.failures)
        what += "\n  " + f;
    return Result<TreeImport>(std::move(r), incomplete_failure(what));
}

Result<TreeImport> import_tree(Session& session, const RegFile& file, RegView view, const ProgressFn& progress) {
    Result<ImportPlan> plan = plan_import(file, view, std::to_string(getpid()));
    if (!plan)
        return *plan.failure;
    return run_import(session, *plan, view, progress);
}

}  // namespace qv
