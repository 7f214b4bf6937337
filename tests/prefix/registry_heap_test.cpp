// When the heap refuses a block, each registry handler answers an error,
// never "success", and gives back every block it took. The handlers run in a
// test program whose heap calls refuse the Nth block; N grows until a run
// needs no refusal.
#include <gtest/gtest.h>

#include <string>

#include "qv/escape.h"
#include "qv/text.h"
#include "registry_support.h"

namespace {

using namespace std::string_literals;
using RegistryHeap = regtest::RegistryTest;

struct Run {
    std::string answer;
    bool refused = false;
    long live = 0;
};

Run run_with_refusal(regtest::LineProgram& units, long n, const std::string& command, const std::string& args) {
    std::string out = units.ask_through(
        "heap " + std::to_string(n) + " " + command + " " + regtest::arg(args), "#heap ");
    Run r;
    size_t tail = out.rfind("#heap ");
    if (tail == std::string::npos || tail == 0) {
        r.answer = "<bad output: " + out + ">";
        return r;
    }
    r.answer = out.substr(0, tail - 1);
    int refused = 0;
    std::sscanf(out.c_str() + tail, "#heap %d %ld", &refused, &r.live);
    r.refused = refused != 0;
    return r;
}

// Refuses the 1st, 2nd, ... block until the handler runs through; returns
// the answer of that last run.
std::string check_every_refusal(regtest::LineProgram& units, const std::string& command, const std::string& args) {
    for (long n = 0; n < 100; n++) {
        Run r = run_with_refusal(units, n, command, args);
        EXPECT_EQ(r.live, 0) << command << " with block " << n << " refused";
        if (!r.refused)
            return r.answer;
        EXPECT_EQ(r.answer.find("success"), std::string::npos) << command << " block " << n;
        bool reported = r.answer.rfind("error ", 0) == 0 || r.answer.find("errno 8\n") != std::string::npos;
        EXPECT_TRUE(reported) << command << " block " << n << ": " << qvtest::shown(r.answer);
    }
    ADD_FAILURE() << command << " still refused after 100 blocks";
    return "";
}

TEST_F(RegistryHeap, RefusedBlocksGiveErrorsAndNothingLeaks) {
    const std::string k = key("HKLM");
    const std::string esc = qv::escape(k);
    regtest::LineProgram units("registry_units.exe");

    for (const std::string literal : {"dword:1", "str:text", "str(2):%x%", "str(7):a\\\\0b", "hex:01,02",
                                      "hex(b):01,02,03,04,05,06,07,08", "hex(0):"})
        EXPECT_EQ(check_every_refusal(units, "setregkey", "3264\\\\" + esc + "\\nv\\n" + literal), "success")
            << literal;

    // The units program is a 64-bit build whatever the server under test.
    ASSERT_EQ(c.set(k, "text", qv::reg_sz, qv::utf8_to_utf16le("some text\0"s), "64"), "ok");
    ASSERT_EQ(c.set(k, "big", qv::reg_binary, std::string(300, 'b'), "64"), "ok");
    ASSERT_EQ(c.mkkey(k + "\\sub", "64"), "ok");
    std::string listing = check_every_refusal(units, "getregkey", k);
    EXPECT_NE(listing.find("value big\\0 3 "), std::string::npos) << listing;
    EXPECT_NE(listing.find("subkey sub\n"), std::string::npos) << listing;
    EXPECT_EQ(check_every_refusal(units, "getregvalue", esc + "\\nbig"),
              "value big\\0 3 " + regtest::hex(std::string(300, 'b')) + "\n");
    // a result longer than the first buffer
    EXPECT_EQ(check_every_refusal(units, "expandstr", "%windir%\\\\" + std::string(1500, 'x')),
              "text C:\\\\windows\\\\" + std::string(1500, 'x'));

    EXPECT_EQ(check_every_refusal(units, "rmregvalue", "3264\\\\" + esc + "\\nv"), "success");
    EXPECT_EQ(check_every_refusal(units, "rmregtree", "3264\\\\" + esc), "success");
    EXPECT_FALSE(c.exists(k, "64"));
    EXPECT_FALSE(c.exists(k, "32"));
}

}  // namespace
