// The .reg files of `reg import|export` and `regedit /S|/E`: the file a
// program's argument names, read into the registry or written from it.
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <fstream>
#include <iterator>

#include "qv/files.h"
#include "qv/regfile.h"
#include "qv/regtree.h"
#include "qv/text.h"
#include "served.h"

namespace front {

std::optional<std::string> file_argument(std::string path, Prefix& prefix) {
    for (unsigned char c : path)
        if (c < 0x20 || c > 0x7e || std::string_view("*?<>|\"").find(static_cast<char>(c)) != std::string_view::npos)
            return std::nullopt;
    if (path.empty())
        return std::nullopt;
    if (path[0] == '/')
        return path;
    bool drive = path.size() > 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
                 (path[2] == '\\' || path[2] == '/');
    if (!drive) {
        if (path[0] == '\\' || (path.size() > 1 && path[1] == ':'))
            return std::nullopt;  // rooted on the current drive, or relative on a drive
        // The program opens it from its current folder: the working folder
        // the loader was started in, as Wine names it.
        char here[PATH_MAX];
        if (!getcwd(here, sizeof here))
            return std::nullopt;
        qv::Result<std::string> folder = qv::windows_path(prefix.session(), here);
        if (!folder)
            return std::nullopt;
        path = *folder + "\\" + path;
    }
    qv::Result<std::string> unix_path = qv::unix_path(prefix.session(), path);
    if (!unix_path)
        return std::nullopt;
    return *unix_path;
}

namespace {

// Whether the file writes data of REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ as
// hex(N): Wine's programs read such data as 8-bit text in any file without
// the UTF-16 mark, version 5 too, where the library reads it as UTF-16LE.
bool hex_text_data(const std::string& bytes) {
    std::string text = lower(bytes);
    for (size_t at = text.find("hex("); at != std::string::npos; at = text.find("hex(", at + 4)) {
        size_t close = text.find(')', at + 4);
        uint64_t type = 0;
        if (close != std::string::npos &&
            qv::read_digits(std::string_view(text).substr(at + 4, close - at - 4), 16, UINT32_MAX, &type) ==
                qv::DigitsRead::ok &&
            (type == qv::reg_sz || type == qv::reg_expand_sz || type == qv::reg_multi_sz))
            return true;
    }
    return false;
}

}  // namespace

bool import_reg_file(const std::string& path, qv::RegView view, Prefix& prefix) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return false;
    qv::RegFile file;
    try {
        file = qv::parse_regfile(bytes);
    } catch (const std::exception&) {
        return false;
    }
    if (file.format == qv::RegFileFormat::v5_utf8 && hex_text_data(bytes))
        return false;
    return import_exactly(file, view, prefix);
}

bool import_exactly(const qv::RegFile& file, qv::RegView view, Prefix& prefix) {
    qv::Result<qv::ImportPlan> plan = qv::plan_import(file, view, "qvfront");
    if (!plan)
        return false;
    for (const qv::ImportPhase& phase : plan->phases)
        if (!phase.editor.keys.empty())
            return false;
    return qv::run_import(prefix.session(), *plan, view).ok();
}

Exported export_reg_file(const std::string& key, const std::string& path, qv::RegView view, Prefix& prefix) {
    qv::Result<qv::TreeExport> tree = qv::export_tree(prefix.session(), key, view);
    if (!tree)
        return tree.failure->is(qv::kFileNotFound) ? Exported::no_such_key : Exported::declined;
    std::string bytes = qv::write_regfile(tree->file, qv::RegFileFormat::v5_utf16);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !out.flush())
        return Exported::declined;  // the program tries, and says what it meets
    return Exported::written;
}

}  // namespace front
