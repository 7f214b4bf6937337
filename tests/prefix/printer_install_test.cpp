// Installations checked through the spooler itself (spooler_query), never by
// trusting the installer: drivers per environment, printers with their
// driver, port and print processor, command-line order, and the 200 limit.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "printer_support.h"
#include "qv/host.h"

namespace {

using prn::LogLine;

class PrinterInstall : public ::testing::Test {
protected:
    static void SetUpTestSuite() { qv::place_ppd(qvtest::prefix(), prn::ppd_source()); }
};

// "C:\windows\..." in the test prefix, as a Unix path.
std::string unix_path(const std::string& windows) {
    std::string rest = windows.substr(3);
    for (auto& c : rest)
        if (c == '\\')
            c = '/';
    return qvtest::prefix() + "/drive_c/" + rest;
}


TEST_F(PrinterInstall, DriverForAllThreeEnvironmentsWithThePpdInItsVersionFolder) {
    prn::Cleanup cleanup{{"QV Inst Driver"}};
    auto r = prn::run({"--gcloud", "QV Inst Driver,drv1"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string ppd = qv::read_file(prn::ppd_source());
    ASSERT_FALSE(ppd.empty());
    struct Env {
        const char *name, *folder;
        unsigned version;
    } envs[] = {{"Windows NT x86", "\\w32x86\\3\\", 3}, {"Windows x64", "\\x64\\3\\", 3}, {"Windows 4.0", "\\win40\\0\\", 0}};
    auto drivers = qvtest::query_drivers(prn::checker());
    for (const auto& env : envs) {
        int found = 0;
        for (const auto& d : drivers) {
            if (d.environment != env.name || d.name != "Google Cloud Print")
                continue;
            found++;
            EXPECT_EQ(d.version, env.version) << env.name;
            const std::string folder = std::string("C:\\windows\\system32\\spool\\drivers") + env.folder;
            EXPECT_EQ(d.driver_path, folder + "wineps.drv") << env.name;
            EXPECT_EQ(d.config_file, folder + "wineps.drv") << env.name;
            EXPECT_EQ(d.data_file, folder + "Google_Cloud_Print.ppd") << env.name;
            EXPECT_EQ(d.default_datatype, "RAW") << env.name;
            // The spooler copied the PPD from the environment's folder.
            EXPECT_EQ(qv::read_file(unix_path(d.data_file)), ppd) << d.data_file;
        }
        EXPECT_EQ(found, 1) << env.name;
    }
}

TEST_F(PrinterInstall, PrintersInCommandLineOrderWithDriverPortAndProcessor) {
    // Reverse alphabetical, so the spooler's own sorting cannot pass for the order.
    const std::vector<qv::CloudPrinter> printers = {
        {"QV Inst Zulu", "z-1"}, {"QV Inst Mike", "m-2"}, {"QV Inst Alpha", "a-3"}};
    prn::Cleanup cleanup{{"QV Inst Zulu", "QV Inst Mike", "QV Inst Alpha"}};
    auto r = prn::run({"--gcloud", "QV Inst Zulu,z-1", "--bogus", "--gcloud", "QV Inst Mike,m-2", "extra",
                       "--gcloud", "QV Inst Alpha,a-3"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(prn::channel_lines(r.err),
              (std::vector<LogLine>{prn::starting(), prn::unknown("\"--bogus\""), prn::unknown("\"extra\""),
                                    prn::adding("\"QV Inst Zulu\"", "\"z-1\""),
                                    prn::adding("\"QV Inst Mike\"", "\"m-2\""),
                                    prn::adding("\"QV Inst Alpha\"", "\"a-3\"")}))
        << r.err;
    auto got = prn::spooler(cleanup.names);
    for (size_t i = 0; i < printers.size(); i++)
        prn::expect_cloud_printer(got[i], printers[i].name, printers[i].id);
    // The spooler wrote the printers' keys one after the other.
    if (got[0] && got[1] && got[2]) {
        EXPECT_LT(got[0]->written, got[1]->written);
        EXPECT_LT(got[1]->written, got[2]->written);
    }
    // EnumPrintersA lists them too.
    int listed = 0;
    for (const auto& p : qvtest::list_printers(prn::checker()))
        for (const auto& want : printers)
            if (p.name == want.name) {
                listed++;
                EXPECT_EQ(p.port, "QV_GCLOUD:" + want.id);
                EXPECT_EQ(p.driver, "Google Cloud Print");
            }
    EXPECT_EQ(listed, 3);
}

TEST_F(PrinterInstall, NamesAndIdsReachTheSpoolerAsTheyAre) {
    // Under C.UTF-8 the runtime hands the program code page 1252 bytes:
    // "é" arrives as 0xe9, "€" as 0x80; the spooler keeps exactly those.
    struct Case {
        std::string arg_name, arg_id, name, id, traced;
    } cases[] = {
        {"  QV Inst  Spaced ", "id with spaces", "  QV Inst  Spaced ", "id with spaces",
         "\"  QV Inst  Spaced \" printer_id \"id with spaces\""},
        {"QV Inst Back\\slash", "b\\1", "QV Inst Back\\slash", "b\\1",
         "\"QV Inst Back\\\\slash\" printer_id \"b\\\\1\""},
        {"QV Inst Caf\xc3\xa9", "\xe2\x82\xac" "5", "QV Inst Caf\xe9", "\x80" "5",
         "\"QV Inst Caf\\xe9\" printer_id \"\\x805\""},
        {"QV Inst Commas", "a,b,,c", "QV Inst Commas", "a,b,,c", "\"QV Inst Commas\" printer_id \"a,b,,c\""},
    };
    std::vector<std::string> args, names;
    std::vector<LogLine> expected{prn::starting()};
    for (const auto& c : cases) {
        args.push_back("--gcloud");
        args.push_back(c.arg_name + "," + c.arg_id);
        names.push_back(c.name);
        expected.push_back({"trace", "add_printer", "Adding cloud printer name " + c.traced});
    }
    prn::Cleanup cleanup{names};
    auto r = prn::run(args);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(prn::channel_lines(r.err), expected) << r.err;
    auto got = prn::spooler(names);
    for (size_t i = 0; i < names.size(); i++)
        prn::expect_cloud_printer(got[i], cases[i].name, cases[i].id);
}

TEST_F(PrinterInstall, SameNameTwiceIsProcessedTwice) {
    const std::string name = "QV Inst Twice";
    prn::Cleanup cleanup{{name}};
    auto r = prn::run({"--gcloud", name + ",first", "--gcloud", name + ",second"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(prn::channel_lines(r.err),
              (std::vector<LogLine>{prn::starting(), prn::adding(prn::q(name), "\"first\""),
                                    prn::adding(prn::q(name), "\"second\"")}))
        << r.err;
    auto got = prn::spooler({name});
    ASSERT_TRUE(got[0].has_value());
    // Which one the spooler keeps is its own business; it must be one of them.
    EXPECT_TRUE(got[0]->port == "QV_GCLOUD:first" || got[0]->port == "QV_GCLOUD:second")
        << got[0]->port.value_or("(null)");
    std::printf("spooler kept port %s for the repeated name\n", got[0]->port.value_or("(null)").c_str());
    EXPECT_EQ(got[0]->driver, "Google Cloud Print");
}

// --- the 200 limit ---------------------------------------------------------

std::vector<qv::CloudPrinter> numbered(const std::string& stem, int count) {
    std::vector<qv::CloudPrinter> out;
    char buf[64];
    for (int i = 1; i <= count; i++) {
        std::snprintf(buf, sizeof buf, "%s %03d", stem.c_str(), i);
        out.push_back({buf, "id" + std::to_string(i)});
    }
    return out;
}

std::vector<std::string> names_of(const std::vector<qv::CloudPrinter>& printers) {
    std::vector<std::string> out;
    for (const auto& p : printers)
        out.push_back(p.name);
    return out;
}

// Runs the pairs plus a tail; the first 200 must be installed, the rest ignored.
void expect_first_200(const std::string& stem, int pairs, const std::vector<std::string>& tail) {
    auto printers = numbered(stem, pairs);
    prn::Cleanup cleanup{names_of(printers)};
    std::vector<std::string> args = qv::addprinter_args(printers);
    args.insert(args.end(), tail.begin(), tail.end());
    auto r = prn::run(args);
    EXPECT_EQ(r.exit_code, 0) << stem;
    EXPECT_EQ(r.out, "") << stem;

    std::vector<LogLine> expected{prn::starting(), prn::limit_reached()};
    for (int i = 0; i < 200; i++)
        expected.push_back(prn::adding(prn::q(printers[i].name), prn::q(printers[i].id)));
    auto lines = prn::channel_lines(r.err);
    EXPECT_EQ(lines.size(), expected.size()) << stem;
    for (size_t i = 0; i < std::min(lines.size(), expected.size()); i++)
        if (!(lines[i] == expected[i])) {
            ADD_FAILURE() << stem << ": log line " << i << " is " << lines[i] << ", expected " << expected[i];
            break;
        }

    auto got = prn::spooler(cleanup.names);
    int present = 0;
    for (int i = 0; i < pairs; i++) {
        if (i < 200) {
            prn::expect_cloud_printer(got[i], printers[i].name, printers[i].id);
            present += got[i].has_value();
        } else
            EXPECT_FALSE(got[i].has_value()) << printers[i].name << " is beyond the limit";
    }
    EXPECT_EQ(present, 200) << stem;
}

TEST_F(PrinterInstall, Exactly200PairsAreAllInstalledWithTheLimitWarning) {
    expect_first_200("QV Cap Exact", 200, {});
}

TEST_F(PrinterInstall, EverythingAfterThe200thPairIsIgnored) {
    expect_first_200("QV Cap Over", 201, {"--bogus"});
    expect_first_200("QV Cap Help", 200, {"--help"});
    expect_first_200("QV Cap Bad", 200, {"--gcloud", "nocomma", "--gcloud"});
}

}  // namespace
