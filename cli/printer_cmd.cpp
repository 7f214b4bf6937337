// printer add: cloud printers through the prefix's installer program.
#include <iostream>

#include <unistd.h>

#include "cli.h"
#include "progress.h"
#include "qv/printers.h"
#include "qv/text.h"

namespace qvctl {

namespace {

int printer_add(Context& ctx, const Command&, const Args& a) {
    std::vector<qv::CloudPrinter> printers;
    for (const std::string& p : a.pos) {
        size_t comma = p.find(',');
        if (comma == std::string::npos || comma == 0 || comma + 1 == p.size())
            usage_error("printer add: expected NAME,ID, not \"" + p + "\"");
        if (p.find('\n') != std::string::npos)
            usage_error("printer add: a line feed cannot travel in " + qv::visible(p));
        printers.push_back({p.substr(0, comma), p.substr(comma + 1)});
    }
    ctx.check_prefix();
    ctx.check_drive_c();
    ctx.check_wine();
    if (auto ppd = a.value("--ppd")) {
        read_input(*ppd, "printer add: --ppd");  // a missing file is the user's to fix
        try {
            qv::place_ppd(ctx.launch.prefix, *ppd);
        } catch (const std::exception& e) {
            throw Exit{kEnvironment, std::string("printer add: cannot place the PPD: ") + e.what(), "environment"};
        }
    }
    qv::LaunchOptions o = ctx.launch;
    o.exe = o.exe.substr(0, o.exe.rfind('/') + 1) + "qvaddprinter.exe";
    if (access(o.exe.c_str(), R_OK) != 0)
        environment_error("no installer program at " + o.exe);
    // The installer takes a bounded number per run; runs of 50 also let the bar move.
    const size_t chunk = 50;
    int worst = 0;
    std::string out;
    {
        Progress bar("installing printers");
        for (size_t at = 0; at < printers.size(); at += chunk) {
            bar(at, printers.size());
            std::vector<qv::CloudPrinter> part(
                printers.begin() + static_cast<long>(at),
                printers.begin() + static_cast<long>(std::min(printers.size(), at + chunk)));
            qv::Result<qv::RunResult> r = qv::add_printers(o, part);
            out += r->out;
            if (!r && worst == 0)
                worst = r->exit_code;
        }
        bar(printers.size(), printers.size());
    }
    json r, names = json::array();
    for (const qv::CloudPrinter& p : printers)
        names.push_back(p.name);
    r["printers"] = names;
    r["installer_exit"] = worst;
    if (worst != 0) {
        std::cerr << out;
        emit_partial(ctx, r, "", kFailed,
                     "printer add: the installer exited with " + std::to_string(worst) +
                         (worst < 0 ? " (stopped after its timeout)" : ""),
                     "incomplete");
    }
    emit(ctx, r, "ran qvaddprinter for " + std::to_string(printers.size()) + " printer" +
                     (printers.size() == 1 ? "" : "s") + "\n");
    return kOk;
}

}  // namespace

std::vector<Command> printer_commands() {
    return {
        {"printer add", "printer add NAME,ID... [--ppd FILE]", "install cloud printers",
         "Installs cloud printers with qvaddprinter (the name ends at the first\n"
         "comma). --ppd copies the PPD into the prefix first. The installer reports\n"
         "nothing per printer; its exit code is passed on. Runs of 50 printers;\n"
         "a progress bar shows on a terminal.\n"
         "JSON: {printers: [names], installer_exit}.\n",
         {}, {"--ppd"}, {1, kMany}, printer_add},
    };
}

}  // namespace qvctl
