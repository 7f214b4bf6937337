#pragma once
// Installing cloud printers in a prefix with qvaddprinter, and reading back
// what the print spooler holds through the spooler_query checker program.
#include <optional>
#include <stdexcept>
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
RunResult add_printers(LaunchOptions options, const std::vector<CloudPrinter>& printers,
                       Millis timeout = Millis(120000));

// The spooler's per-environment source folders of a prefix, from where every
// driver installation copies the driver's files into its version folder:
// <prefix>/drive_c/windows/system32/spool/drivers/{w32x86,x64,win40}.
std::vector<std::string> driver_source_dirs(const std::string& prefix);
// Copies the PPD into each of them (creating them when missing). Throws
// std::runtime_error when a copy fails.
void place_ppd(const std::string& prefix, const std::string& ppd_path);

struct SpoolerDriver {
    std::string environment;
    unsigned version = 0;
    std::string name, driver_path, data_file, config_file, default_datatype;
};

struct SpoolerPrinter {
    std::string name;
    // 0 when the spooler opened the printer and the fields came from it,
    // else its error code and the fields came from the spooler's registry key.
    unsigned long open_error = 0;
    unsigned long long written = 0;  // last write of the key, 100 ns units
    std::optional<std::string> port, driver, print_processor;
};

// A spooler_query run gone wrong (no start, bad exit, unreadable output).
struct SpoolerQueryError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The options must name spooler_query.exe; args are replaced.
std::vector<SpoolerDriver> query_drivers(LaunchOptions checker, Millis timeout = Millis(60000));
// What EnumPrintersA lists (name, port, driver, processor; open_error and written unset).
std::vector<SpoolerPrinter> list_printers(LaunchOptions checker, Millis timeout = Millis(60000));
// One entry per name, in order; nullopt for a name the spooler does not know.
std::vector<std::optional<SpoolerPrinter>> query_printers(LaunchOptions checker,
                                                          const std::vector<std::string>& names,
                                                          Millis timeout = Millis(60000));
// Removes the printers (DeletePrinter where the spooler opens them, else the
// registry entries it wrote). Returns the names that could not be removed.
std::vector<std::string> delete_printers(LaunchOptions checker, const std::vector<std::string>& names,
                                         Millis timeout = Millis(60000));

}  // namespace qv
