#include "qv/regtree.h"

#include <stdexcept>
#include <utility>

#include "qv/text.h"

namespace qv {

namespace {

constexpr size_t kBatch = 256;

std::string child_path(const std::string& parent, const std::string& name) {
    return parent.back() == '\\' ? parent + name : parent + "\\" + name;
}

// An enumeration that ends with "invalid handle" is the platform's own limit
// (the performance-counter keys such as Perflib\009, which its own editor
// exports empty too), not a gap in the export.
bool platform_cannot_list(const Failure& f) { return f.kind == Failure::Kind::incomplete && f.code == 6; }

// "" when key == base, "\rest" when below, else throws.
std::string path_under(const std::string& key_short, const std::string& base_short) {
    std::string k = key_short, b = base_short;
    if (!k.empty() && k.back() == '\\')
        k.pop_back();
    if (!b.empty() && b.back() == '\\')
        b.pop_back();
    if (iequals(k, b))
        return "";
    if (k.size() > b.size() && iequals(std::string_view(k).substr(0, b.size()), b) && k[b.size()] == '\\')
        return k.substr(b.size());
    throw std::invalid_argument("the key " + key_short + " is not below " + base_short);
}

struct Node {
    std::string path;  // short root form, as sent
    RegKey listing;
    std::vector<size_t> children;
    bool listed = false;
};

// Parents before children, children in listing order.
RegFile tree_file(const std::vector<Node>& nodes) {
    RegFile file;
    std::vector<size_t> stack{0};
    while (!stack.empty()) {
        size_t n = stack.back();
        stack.pop_back();
        if (!nodes[n].listed)
            continue;
        RegFileKey k;
        k.path = long_root_path(nodes[n].path);
        for (const RegValue& v : nodes[n].listing.values)
            k.values.push_back(file_value(v));
        file.keys.push_back(std::move(k));
        for (auto it = nodes[n].children.rbegin(); it != nodes[n].children.rend(); ++it)
            stack.push_back(*it);
    }
    return file;
}

// A literal of the server's named forms that stores exactly these bytes, or
// an empty string when none does.
std::string named_literal(uint32_t type, std::string_view data) {
    if (type == reg_dword && data.size() == 4)
        return dword_literal(static_cast<uint32_t>(little_endian(data)));
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

}  // namespace

// The named literal where one stores exactly these bytes (readable in a
// trace), else the typed one, which stores any bytes.
std::string exact_literal(uint32_t type, std::string_view data) {
    std::string named = named_literal(type, data);
    return named.empty() ? typed_literal(type, data) : named;
}

Result<TreeExport> export_tree(Session& session, std::string_view key, RegView view, const ProgressFn& progress) {
    std::vector<Node> nodes;
    try {
        std::string top = short_root_path(key);
        (void)list_key_request(top, view);  // the top key must be one the server can be asked for
        nodes.push_back({top, {}, {}, false});
    } catch (const std::invalid_argument& e) {
        return refused_failure(e.what());
    }
    TreeExport out;
    std::vector<std::string> gaps;  // keys missing from the file or lacking entries, with the reason
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
                    gaps.push_back(nodes[level[i]].path + ": " + e.what());
                }
            }
            std::vector<std::string> answers = session.ask_all(requests);
            for (size_t k = 0; k < answers.size(); k++) {
                size_t n = asked[k];
                Result<RegKey> l = parse_listing(answers[k]);
                if (l.failure && l.failure->kind != Failure::Kind::incomplete) {
                    if (n == 0)
                        return *l.failure;  // the top key: nothing was exported
                    gaps.push_back(nodes[n].path + ": " + l.error());
                    continue;
                }
                if (l.failure && platform_cannot_list(*l.failure))
                    out.warnings.push_back(nodes[n].path + ": the platform itself cannot list what this key holds "
                                                           "(its own registry editor leaves it out too)");
                else if (l.failure)
                    gaps.push_back(nodes[n].path + ": " + l.error());
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
    out.file = tree_file(nodes);
    if (gaps.empty())
        return out;
    std::string what = "the export of " + long_root_path(nodes[0].path) + " lacks " + std::to_string(gaps.size()) +
                       (gaps.size() == 1 ? " key" : " keys") + " or part of them:";
    for (const std::string& g : gaps)
        what += "\n  " + g;
    return Result<TreeExport>(std::move(out), incomplete_failure(what));
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

RegFileValue file_value(const RegValue& value) { return RegFileValue{value.name, false, value.type, value.data}; }

RegValue listed_value(const RegFileValue& value) {
    RegValue v;
    v.name = value.name;
    v.type = value.type;
    v.data = value.data;
    if (v.is_text())
        v.text = utf16le_to_utf8(value.data);
    return v;
}

}  // namespace qv
