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

const std::vector<std::string> kArgs = {"--gcloud", "QV Fault A,fa", "--gcloud", "QV Fault B,fb"};

TEST(PrinterHeapFailure, UncopiedValueRefusesTheRunAndInstallsNothing) {
    prn::Cleanup cleanup{{"QV Fault A", "QV Fault B"}};
    struct Case {
        int n;
        std::string value;
    } cases[] = {{1, "QV Fault A,fa"}, {2, "QV Fault A,fa"}, {3, "QV Fault B,fb"}, {4, "QV Fault B,fb"}};
    for (const auto& c : cases) {
        auto r = run_failing_at(c.n, kArgs);
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
    struct Case {
        int n;
        std::string skipped, added, added_id;
    } cases[] = {{5, "QV Fault A", "QV Fault B", "fb"}, {6, "QV Fault B", "QV Fault A", "fa"}};
    for (const auto& c : cases) {
        prn::Cleanup cleanup{{"QV Fault A", "QV Fault B"}};
        auto r = run_failing_at(c.n, kArgs);
        EXPECT_EQ(r.exit_code, 1) << "block " << c.n;
        EXPECT_EQ(r.out, "");
        const LogLine skipped{"warn", "add_printer", "Out of memory for the port of " + prn::q(c.skipped) + " - not added."};
        std::vector<LogLine> expected{prn::starting(), prn::adding("\"QV Fault A\"", "\"fa\"")};
        if (c.n == 5)
            expected.push_back(skipped);
        expected.push_back(prn::adding("\"QV Fault B\"", "\"fb\""));
        if (c.n == 6)
            expected.push_back(skipped);
        EXPECT_EQ(prn::channel_lines(r.err), expected) << r.err;
        auto got = prn::spooler({c.skipped, c.added});
        EXPECT_FALSE(got[0].has_value()) << c.skipped << " was added without its port";
        prn::expect_cloud_printer(got[1], c.added, c.added_id);
    }
}

TEST(PrinterHeapFailure, WithoutAFailureTheFaultBuildInstallsNormally) {
    prn::Cleanup cleanup{{"QV Fault A", "QV Fault B"}};
    auto r = run_failing_at(0, kArgs);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    auto got = prn::spooler(cleanup.names);
    prn::expect_cloud_printer(got[0], "QV Fault A", "fa");
    prn::expect_cloud_printer(got[1], "QV Fault B", "fb");
}

}  // namespace
