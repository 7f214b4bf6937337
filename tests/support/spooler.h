#pragma once
// Reading back what the print spooler holds, through the spooler_query
// checker program (tests/win/spooler_query.cpp): the tests' independent view
// of what the printer installer did.
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "qv/process.h"

namespace qvtest {

using qv::LaunchOptions;
using qv::Millis;

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

}  // namespace qvtest
