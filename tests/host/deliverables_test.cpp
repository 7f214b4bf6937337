// Static checks of the built Windows programs: the 32-bit deliverables are
// what users ship, the 64-bit build is what the prefix tests run.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>

#include "pe_image.h"

namespace {

constexpr uint16_t kI386 = 0x14c, kAmd64 = 0x8664;
constexpr uint16_t kPe32 = 0x10b, kPe32Plus = 0x20b;
constexpr uint16_t kGui = 2, kConsole = 3;

struct Build {
    const char* dir;
    uint16_t machine, magic;
};
const Build kBuilds[] = {{QV_WIN32_DIR, kI386, kPe32}, {QV_WIN64_DIR, kAmd64, kPe32Plus}};

qvtest::PeImage image(const std::string& path) {
    std::string error;
    auto img = qvtest::read_pe_image(path, &error);
    EXPECT_TRUE(img) << path << ": " << error;
    return img.value_or(qvtest::PeImage{});
}

std::set<std::string> lower_imports(const qvtest::PeImage& img) {
    std::set<std::string> out;
    for (std::string name : img.imports) {
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        out.insert(name);
    }
    return out;
}

void expect_imports_within(const std::string& path, const std::set<std::string>& allowed) {
    for (const std::string& dll : lower_imports(image(path)))
        EXPECT_TRUE(allowed.count(dll)) << path << " imports " << dll;
}

TEST(Deliverables, ServerIsAGuiProgramForEachTarget) {
    for (const Build& b : kBuilds) {
        qvtest::PeImage img = image(std::string(b.dir) + "/qvmanip.exe");
        EXPECT_EQ(img.machine, b.machine) << b.dir;
        EXPECT_EQ(img.magic, b.magic) << b.dir;
        EXPECT_EQ(img.subsystem, kGui) << b.dir;
    }
}

TEST(Deliverables, PrinterToolIsAConsoleProgramForEachTarget) {
    for (const Build& b : kBuilds) {
        qvtest::PeImage img = image(std::string(b.dir) + "/qvaddprinter.exe");
        EXPECT_EQ(img.machine, b.machine) << b.dir;
        EXPECT_EQ(img.magic, b.magic) << b.dir;
        EXPECT_EQ(img.subsystem, kConsole) << b.dir;
    }
}

TEST(Deliverables, ImportOnlySystemDllsAndTheCRuntime) {
    // No compiler runtime DLLs (libstdc++, libgcc, winpthread) may be needed.
    for (const Build& b : kBuilds) {
        expect_imports_within(std::string(b.dir) + "/qvmanip.exe",
                              {"kernel32.dll", "advapi32.dll", "shell32.dll", "user32.dll", "msvcrt.dll"});
        expect_imports_within(std::string(b.dir) + "/qvaddprinter.exe",
                              {"kernel32.dll", "msvcrt.dll", "winspool.drv", "ntdll.dll"});
    }
}

TEST(Deliverables, ServerCarriesItsAccessoriesStringInEnglishAndFrench) {
    for (const Build& b : kBuilds) {
        qvtest::PeImage img = image(std::string(b.dir) + "/qvmanip.exe");
        // String 1 lives in block 1 (strings 0 to 15), at index 1.
        auto block = img.string_blocks.find(1);
        ASSERT_NE(block, img.string_blocks.end()) << b.dir << ": no string block 1";
        std::map<uint32_t, std::u16string> string1;
        for (const auto& [lang, strings] : block->second)
            if (strings.size() > 1)
                string1[lang] = strings[1];
        EXPECT_EQ(string1, (std::map<uint32_t, std::u16string>{{1033, u"Accessories"}, {1036, u"Accessoires"}}))
            << b.dir;
    }
}

// Every compile, flag and link line of one sub-build's ninja file, with what
// names the target (triple, Wine's per-architecture import folder) replaced.
std::multiset<std::string> build_commands(const std::string& dir) {
    std::multiset<std::string> out;
    std::ifstream ninja(dir + "/build.ninja");
    EXPECT_TRUE(ninja) << dir << ": no build.ninja";
    static const std::regex wanted("^  (FLAGS|DEFINES|INCLUDES|LINK_FLAGS|LINK_LIBRARIES) = .*|^build \\S+: \\S+ /\\S+\\.(cpp|rc).*");
    static const std::regex target_names(
        "i686-w64-mingw32|x86_64-w64-mingw32|i386-linux-gnu/wine/i386-windows|"
        "x86_64-linux-gnu/wine/x86_64-windows");
    std::string line;
    while (std::getline(ninja, line))
        if (std::regex_match(line, wanted))
            out.insert(std::regex_replace(line, target_names, "<target>"));
    return out;
}

TEST(Deliverables, BothTargetsBuildFromTheSameSourcesAndOptions) {
    std::multiset<std::string> b32 = build_commands(QV_WIN32_DIR), b64 = build_commands(QV_WIN64_DIR);
    EXPECT_GT(b32.size(), 2u);
    EXPECT_EQ(b32, b64);
}

}  // namespace
