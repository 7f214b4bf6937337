#include "spooler.h"

#include <sstream>

#include "qv/text.h"

namespace qvtest {

using qv::RunResult;
using qv::to_hex;

namespace {

// "-" is a null pointer, "\"\"" the empty string.
std::optional<std::string> field(const std::string& hex) {
    if (hex == "-")
        return std::nullopt;
    if (hex == "\"\"")
        return std::string();
    std::optional<std::string> bytes = qv::from_hex(hex);
    if (!bytes)
        throw SpoolerQueryError("malformed hex field \"" + hex + "\"");
    return bytes;
}

unsigned long long number(const std::string& text) {
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
        throw SpoolerQueryError("malformed number \"" + text + "\"");
    return std::stoull(text);
}

std::string text_field(const std::string& hex) { return field(hex).value_or(std::string()); }

std::vector<std::vector<std::string>> run_checker(LaunchOptions checker, std::vector<std::string> args,
                                                  Millis timeout) {
    const std::string what = args.front();
    checker.args = std::move(args);
    RunResult r = qv::run_program(std::move(checker), timeout).value;
    if (r.exit_code != 0)
        throw SpoolerQueryError("spooler_query " + what + " ended with " +
                                std::to_string(r.exit_code) + ": " + r.err);
    std::vector<std::vector<std::string>> records;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::vector<std::string> record;
        for (std::string w; words >> w;)
            record.push_back(w);
        if (!record.empty())
            records.push_back(std::move(record));
    }
    return records;
}

SpoolerQueryError unexpected(const std::vector<std::string>& record) {
    std::string line;
    for (const auto& w : record)
        line += (line.empty() ? "" : " ") + w;
    return SpoolerQueryError("unexpected checker line \"" + line + "\"");
}

}  // namespace

std::vector<SpoolerDriver> query_drivers(LaunchOptions checker, Millis timeout) {
    std::vector<SpoolerDriver> drivers;
    for (const auto& rec : run_checker(std::move(checker), {"drivers"}, timeout)) {
        if (rec[0] == "error" && rec.size() == 3)
            throw SpoolerQueryError("cannot list the drivers of " + text_field(rec[1]) + ": error " + rec[2]);
        if (rec[0] != "driver" || rec.size() != 8)
            throw unexpected(rec);
        SpoolerDriver d;
        d.environment = text_field(rec[1]);
        d.version = static_cast<unsigned>(number(rec[2]));
        d.name = text_field(rec[3]);
        d.driver_path = text_field(rec[4]);
        d.data_file = text_field(rec[5]);
        d.config_file = text_field(rec[6]);
        d.default_datatype = text_field(rec[7]);
        drivers.push_back(std::move(d));
    }
    return drivers;
}

std::vector<SpoolerPrinter> list_printers(LaunchOptions checker, Millis timeout) {
    std::vector<SpoolerPrinter> printers;
    for (const auto& rec : run_checker(std::move(checker), {"printers"}, timeout)) {
        if (rec[0] != "printer" || rec.size() != 5)
            throw unexpected(rec);
        SpoolerPrinter p;
        p.name = text_field(rec[1]);
        p.port = field(rec[2]);
        p.driver = field(rec[3]);
        p.print_processor = field(rec[4]);
        printers.push_back(std::move(p));
    }
    return printers;
}

std::vector<std::optional<SpoolerPrinter>> query_printers(LaunchOptions checker,
                                                          const std::vector<std::string>& names,
                                                          Millis timeout) {
    std::vector<std::optional<SpoolerPrinter>> out;
    if (names.empty())
        return out;
    std::vector<std::string> args{"printer"};
    for (const auto& n : names)
        args.push_back(to_hex(n));
    auto records = run_checker(std::move(checker), args, timeout);
    if (records.size() != names.size())
        throw SpoolerQueryError("spooler_query answered " + std::to_string(records.size()) + " records for " +
                                std::to_string(names.size()) + " names");
    for (size_t i = 0; i < records.size(); i++) {
        const auto& rec = records[i];
        if (rec.size() < 2 || text_field(rec[1]) != names[i])
            throw unexpected(rec);
        if (rec[0] == "absent" && rec.size() == 3) {
            out.push_back(std::nullopt);
            continue;
        }
        if (rec[0] != "printer" || rec.size() != 7)
            throw unexpected(rec);
        SpoolerPrinter p;
        p.name = names[i];
        p.open_error = static_cast<unsigned long>(number(rec[2]));
        p.written = number(rec[3]);
        p.port = field(rec[4]);
        p.driver = field(rec[5]);
        p.print_processor = field(rec[6]);
        out.push_back(std::move(p));
    }
    return out;
}

std::vector<std::string> delete_printers(LaunchOptions checker, const std::vector<std::string>& names,
                                         Millis timeout) {
    std::vector<std::string> kept;
    if (names.empty())
        return kept;
    std::vector<std::string> args{"delete"};
    for (const auto& n : names)
        args.push_back(to_hex(n));
    auto records = run_checker(std::move(checker), args, timeout);
    if (records.size() != names.size())
        throw SpoolerQueryError("spooler_query deleted " + std::to_string(records.size()) + " of " +
                                std::to_string(names.size()) + " names");
    for (size_t i = 0; i < records.size(); i++) {
        const auto& rec = records[i];
        if (rec.size() != 3 || (rec[0] != "deleted" && rec[0] != "kept"))
            throw unexpected(rec);
        if (rec[0] == "kept")
            kept.push_back(names[i]);
    }
    return kept;
}

}  // namespace qvtest
