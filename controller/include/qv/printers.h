#pragma once
// Installing cloud printers in a prefix with qvaddprinter.
#include <string>
#include <vector>

#include "qv/process.h"

namespace qv {

struct CloudPrinter {
    std::string name;
    std::string id;
};

// The installer's arguments: "--gcloud name,id" per printer, in order.
std::vector<std::string> addprinter_args(const std::vector<CloudPrinter>& printers);

// Runs qvaddprinter (options.exe) for the printers; options.args is replaced.
// A non-zero exit is a failure naming the code and the installer's last
// message line; the value keeps the whole output either way.
Result<RunResult> add_printers(LaunchOptions options, const std::vector<CloudPrinter>& printers,
                       Millis timeout = Millis(120000));

// The spooler's per-environment source folders of a prefix, from where every
// driver installation copies the driver's files into its version folder:
// <prefix>/drive_c/windows/system32/spool/drivers/{w32x86,x64,win40}.
std::vector<std::string> driver_source_dirs(const std::string& prefix);
// Copies the PPD into each of them (creating them when missing). Throws
// std::runtime_error when a copy fails.
void place_ppd(const std::string& prefix, const std::string& ppd_path);

}  // namespace qv
