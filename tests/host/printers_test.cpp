// The printer calls' reading of spooler_query's records, against a stand-in
// checker (a shell script run in place of Wine), so that malformed or
// mismatched answers are seen to be refused rather than misread.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include "qv/printers.h"
#include "spooler.h"

namespace {

class StandIn {
public:
    explicit StandIn(const std::string& body) {
        char dir[] = "/tmp/qvprn.XXXXXX";
        dir_ = mkdtemp(dir);
        std::ofstream(dir_ + "/checker.sh") << body;
    }
    ~StandIn() {
        unlink((dir_ + "/checker.sh").c_str());
        rmdir(dir_.c_str());
    }
    qv::LaunchOptions options() const {
        qv::LaunchOptions o;
        o.wine = "/bin/sh";
        o.exe = dir_ + "/checker.sh";
        return o;
    }

private:
    std::string dir_;
};

TEST(PrinterRecords, NamesTravelAsHexAndComeBackWhole) {
    // Echoes every name back as an absent printer, then one as present.
    StandIn s("shift\nfor a; do echo \"absent $a 2\"; done\n");
    const std::vector<std::string> names = {"plain", "two  spaces ", "back\\slash", "caf\xe9,\x80", "-", "\"\""};
    auto got = qvtest::query_printers(s.options(), names);
    ASSERT_EQ(got.size(), names.size());
    for (const auto& g : got)
        EXPECT_FALSE(g.has_value());
    auto kept = qvtest::delete_printers(StandIn("shift\nfor a; do echo \"kept $a 5\"; done\n").options(), names);
    EXPECT_EQ(kept, names);
}

TEST(PrinterRecords, FieldsNullEmptyAndText) {
    // "P" = 50; port "QV" = 5156; driver null; processor empty.
    StandIn s("echo 'printer 50 1801 12345678901 5156 - \"\"'\n");
    auto got = qvtest::query_printers(s.options(), {"P"});
    ASSERT_EQ(got.size(), 1u);
    ASSERT_TRUE(got[0].has_value());
    EXPECT_EQ(got[0]->open_error, 1801u);
    EXPECT_EQ(got[0]->written, 12345678901ull);
    EXPECT_EQ(got[0]->port, std::optional<std::string>("QV"));
    EXPECT_EQ(got[0]->driver, std::nullopt);
    EXPECT_EQ(got[0]->print_processor, std::optional<std::string>(""));
}

TEST(PrinterRecords, AnswersThatDoNotFitAreRefused) {
    const char* bodies[] = {
        "",                                          // no record for the name
        "echo 'absent 51 2'\n",                      // another name
        "echo 'printer 50 0 1 5156 -'\n",            // a field short
        "echo 'printer 50 0 1 515 - -'\n",           // odd hex
        "echo 'printer 50 0 1 zz - -'\n",            // not hex
        "echo 'printer 50 0 1 5G - -'\n",            // not hex either
        "echo 'printer 50 x 1 5156 - -'\n",          // not a number
        "echo 'printer 50 0 -1 5156 - -'\n",         // nor this
        "echo 'absent 50 2'; echo 'absent 50 2'\n",  // one record too many
        "echo 'absent 50 2'; exit 3\n",              // checker failed
    };
    for (const char* body : bodies) {
        StandIn s(body);
        EXPECT_THROW(qvtest::query_printers(s.options(), {"P"}), qvtest::SpoolerQueryError) << body;
    }
    StandIn error("echo 'error 57 5'\n");
    EXPECT_THROW(qvtest::query_drivers(error.options()), qvtest::SpoolerQueryError);
    StandIn odd("echo 'deleted 50'\n");
    EXPECT_THROW(qvtest::delete_printers(odd.options(), {"P"}), qvtest::SpoolerQueryError);
}

TEST(PrinterRecords, DriverRecordsInOrder) {
    StandIn s("echo 'driver 78 3 47 41 42 43 524157'; echo 'driver 79 0 47 - \"\" 43 -'\n");
    auto d = qvtest::query_drivers(s.options());
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].environment, "x");
    EXPECT_EQ(d[0].version, 3u);
    EXPECT_EQ(d[0].name, "G");
    EXPECT_EQ(d[0].driver_path, "A");
    EXPECT_EQ(d[0].data_file, "B");
    EXPECT_EQ(d[0].config_file, "C");
    EXPECT_EQ(d[0].default_datatype, "RAW");
    EXPECT_EQ(d[1].environment, "y");
    EXPECT_EQ(d[1].version, 0u);
    EXPECT_EQ(d[1].driver_path, "");
}

}  // namespace
