#include "qv/printers.h"

#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace qv {

namespace fs = std::filesystem;

std::vector<std::string> addprinter_args(const std::vector<CloudPrinter>& printers) {
    std::vector<std::string> args;
    for (const auto& p : printers) {
        args.push_back("--gcloud");
        args.push_back(p.name + "," + p.id);
    }
    return args;
}

Result<RunResult> add_printers(LaunchOptions options, const std::vector<CloudPrinter>& printers, Millis timeout) {
    options.args = addprinter_args(printers);
    Result<RunResult> r = run_program(std::move(options), timeout);
    if (r && r->exit_code != 0) {
        std::string why = "the printer installer exited with " + std::to_string(r->exit_code);
        std::string_view err = r->err;
        while (!err.empty() && (err.back() == '\n' || err.back() == '\r'))
            err.remove_suffix(1);
        if (!err.empty())
            why += ": " + std::string(err.substr(err.rfind('\n') == std::string_view::npos ? 0 : err.rfind('\n') + 1));
        r.failure = Failure{Failure::Kind::server, 0, why};
    }
    return r;
}

std::vector<std::string> driver_source_dirs(const std::string& prefix) {
    std::vector<std::string> dirs;
    for (const char* env : {"w32x86", "x64", "win40"})
        dirs.push_back(prefix + "/drive_c/windows/system32/spool/drivers/" + env);
    return dirs;
}

void place_ppd(const std::string& prefix, const std::string& ppd_path) {
    for (const auto& dir : driver_source_dirs(prefix)) {
        std::error_code ec;
        fs::create_directories(dir, ec);
        fs::copy_file(ppd_path, fs::path(dir) / "Google_Cloud_Print.ppd", fs::copy_options::overwrite_existing,
                      ec);
        if (ec)
            throw std::runtime_error("cannot place " + ppd_path + " in " + dir + ": " + ec.message());
    }
}

}  // namespace qv
