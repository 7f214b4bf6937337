// The installer when the heap cannot supply a block (a build of it whose n-th
// HeapAlloc fails): it never crashes, never installs a printer from a value it
// could not copy, and never exits 0 when a printer could not be handed over.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "printer_support.h"

namespace {

using prn::LogLine;

// Blocks in order: name and id of each pair while parsing, then one port name
// per printer while installing.
qv::RunResult run_failing_at(int n, const std::vector<std::string>& args) {
    qv::LaunchOptions o = prn::installer(qvtest::test_program64("qvaddprinter_faults.exe"));
    o.env.push_back({"QV_FAIL_HEAP_AT", std::to_string(n)});
    return prn::run(args, o);
}

std::string usage_of_faults_build() {
    std::string text = prn::kUsage;
    return "qvaddprinter_faults.exe" + text.substr(std::string("qvaddprinter.exe").size());
}

// Two pairs; each test has its own names so that no test sees another's printers.
std::vector<std::string> pairs(const std::string& stem) {
    return {"--gcloud", stem + " A,fa", "--gcloud", stem + " B,fb"};
}

TEST(PrinterHeapFailure, UncopiedValueRefusesTheRunAndInstallsNothing) {
    const std::string stem = "QV Fault Copy";
    prn::Cleanup cleanup{{stem + " A", stem + " B"}};
    struct Case {
        int n;
        std::string value;
    } cases[] = {{1, stem + " A,fa"}, {2, stem + " A,fa"}, {3, stem + " B,fb"}, {4, stem + " B,fb"}};
    for (const auto& c : cases) {
        auto r = run_failing_at(c.n, pairs(stem));
        EXPECT_EQ(r.exit_code, 1) << "block " << c.n << "\n" << r.err;
        EXPECT_EQ(r.out, usage_of_faults_build()) << "block " << c.n;
        EXPECT_EQ(prn::channel_lines(r.err),
                  (std::vector<LogLine>{prn::starting(),
                                        {"warn", "parse_cloudprinter_param", "Out of memory taking " + prn::q(c.value) + "."},
                                        prn::requires_pair()}))
            << "block " << c.n << "\n" << r.err;
        prn::expect_absent(cleanup.names, "block " + std::to_string(c.n));
    }
}

TEST(PrinterHeapFailure, MissingPortNameSkipsThatPrinterOnlyAndFailsTheRun) {
    const std::string stem = "QV Fault Port";
    const std::string a = stem + " A", b = stem + " B";
    struct Case {
        int n;
        std::string skipped, added, added_id;
    } cases[] = {{5, a, b, "fb"}, {6, b, a, "fa"}};
    for (const auto& c : cases) {
        prn::Cleanup cleanup{{a, b}};
        auto r = run_failing_at(c.n, pairs(stem));
        EXPECT_EQ(r.exit_code, 1) << "block " << c.n;
        EXPECT_EQ(r.out, "");
        const LogLine skipped{"warn", "add_printer", "Out of memory for the port of " + prn::q(c.skipped) + " - not added."};
        std::vector<LogLine> expected{prn::starting(), prn::adding(prn::q(a), "\"fa\"")};
        if (c.n == 5)
            expected.push_back(skipped);
        expected.push_back(prn::adding(prn::q(b), "\"fb\""));
        if (c.n == 6)
            expected.push_back(skipped);
        EXPECT_EQ(prn::channel_lines(r.err), expected) << r.err;
        auto got = prn::spooler({c.skipped, c.added});
        EXPECT_FALSE(got[0].has_value()) << c.skipped << " was added without its port";
        prn::expect_cloud_printer(got[1], c.added, c.added_id);
    }
}

TEST(PrinterHeapFailure, WithoutAFailureTheFaultBuildInstallsNormally) {
    const std::string stem = "QV Fault None";
    prn::Cleanup cleanup{{stem + " A", stem + " B"}};
    auto r = run_failing_at(0, pairs(stem));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    auto got = prn::spooler(cleanup.names);
    prn::expect_cloud_printer(got[0], stem + " A", "fa");
    prn::expect_cloud_printer(got[1], stem + " B", "fb");
}

}  // namespace
