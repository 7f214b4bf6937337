// Random and mutated requests for every command, in a prefix of the test's
// own. Registry writes stay in scratch subtrees, drives map only scratch
// folders and only the drives the test mapped are removed. Each request is
// followed by a probe whose answer is known, so an answer with a missing or
// extra end marker shows at once. QV_FUZZ_REQUESTS and QV_FUZZ_SEED make a
// longer or different run.
#include <gtest/gtest.h>

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <cstdint>
#include <deque>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "qv/registry.h"
#include "robust_soak.h"
#include "robust_support.h"

namespace {

using qvtest::shown;

const std::vector<std::string> kScratch = {
    "HKCU\\Software\\QvFuzz", "HKLM\\Software\\QvFuzz", "HKCU\\Software\\Wow6432Node\\QvFuzz",
    "HKLM\\Software\\Wow6432Node\\QvFuzz"};

const std::vector<std::string> kModifying = {"setregkey", "rmregtree", "rmregvalue", "adddrive", "rmdrive"};

const std::vector<std::string> kCommands = {"findfiles",  "getregkey",   "getsystemdir",   "getwindowsdir",
                                            "unixpath",   "windowspath", "getexpandedstr", "setregkey",
                                            "adddrive",   "rmdrive",     "rmregtree",      "rmregvalue",
                                            "getregvalue", "expandstr"};

// The command word and argument text as the server sees them: the line ends
// at its first NUL, the word at the first space.
struct Parsed {
    std::string word, args;
};

Parsed parse(const std::string& line) {
    std::string text = line.substr(0, line.find('\0'));
    size_t space = text.find(' ');
    if (space == std::string::npos)
        return {text, ""};
    return {text.substr(0, space), text.substr(space + 1)};
}

bool one_of(const std::string& s, const std::vector<std::string>& set) {
    for (const std::string& x : set)
        if (s == x)
            return true;
    return false;
}

class Generator {
public:
    Generator(uint64_t seed, std::string drive_dir) : rng_(seed), drive_dir_(std::move(drive_dir)) {}

    uint64_t below(uint64_t n) { return n ? rng_() % n : 0; }
    bool chance(unsigned percent) { return below(100) < percent; }
    template <class T>
    const T& pick(const std::vector<T>& v) { return v[below(v.size())]; }

    // Any byte but LF, which would end the line.
    char byte() {
        char c = static_cast<char>(below(256));
        return c == '\n' ? '\r' : c;
    }
    std::string bytes(size_t n) {
        std::string s;
        for (size_t i = 0; i < n; i++)
            s += byte();
        return s;
    }

    std::string number() {
        static const std::vector<std::string> numbers = {
            "0", "1", "5", "-1", "-2", "2147483647", "2147483648", "-2147483648", "4294967295", "4294967296",
            "99999999999999999999999", "-99999999999999999999", "0x10", "1e9", "", " ", "+3", "007", "abc"};
        return pick(numbers);
    }

    std::string mutate(std::string s) {
        static const std::vector<std::string> bad_utf8 = {"\xff", "\xc0\x80", "\x80", "\xe2\x82", "\xed\xa0\x80",
                                                          "\xf4\x90\x80\x80", "\xf0\x9f\x98", "\xfe\xfe"};
        static const std::vector<std::string> escapes = {"\\n", "\\\\", "\\0", "\\", "\\x41", "\\r", "\\n\\n",
                                                         "\\\\n", "\\0 "};
        for (uint64_t k = 1 + below(4); k > 0; k--) {
            size_t at = below(s.size() + 1);
            switch (below(11)) {
            case 0: s.insert(at, bytes(1 + below(20))); break;
            case 1: s.insert(at, 1, '\0'); break;
            case 2: s.insert(at, 1, '\r'); break;
            case 3: s.insert(at, pick(bad_utf8)); break;
            case 4: s.insert(at, pick(escapes)); break;
            case 5: s.insert(at, number()); break;
            case 6: s.insert(at, std::string(chance(10) ? 70000 : 300 + below(3000), chance(50) ? 'A' : byte())); break;
            case 7: s.erase(at, below(10)); break;
            case 8: s.insert(at, s.substr(at, below(40))); break;
            case 9:
                if (!s.empty())
                    s[below(s.size())] = byte();
                break;
            default: s.resize(at); break;
            }
        }
        return s;
    }

    // The key paths that modifying commands may name: a scratch subtree and
    // a mutated rest, which cannot climb out of it.
    std::string scratch_key() {
        static const std::vector<std::string> roots = {
            "HKCU\\Software\\QvFuzz\\", "HKLM\\Software\\QvFuzz\\", "HKEY_CURRENT_USER\\Software\\QvFuzz\\",
            "hklm\\Software\\QvFuzz\\", "32\\HKLM\\Software\\QvFuzz\\", "3264\\HKLM\\Software\\QvFuzz\\",
            "32\\HKCU\\Software\\QvFuzz\\", "3264\\HKCU\\Software\\QvFuzz\\"};
        static const std::vector<std::string> rests = {"", "a", "a\\b", "deep\\er\\key", "sp ace", "\xc3\xa9t\xc3\xa9",
                                                       "end", "x\\\\n"};
        std::string rest = pick(rests);
        return pick(roots) + (chance(30) ? mutate(rest) : rest);
    }

    std::string literal() {
        static const std::vector<std::string> literals = {
            "dword:1",    "dword:ffffffff", "dword:fffffffffffff", "dword:-1", "dword:",  "dword:zz",
            "str:text",   "str:",           "str(2):%PATH%\\x",    "str(7):a\\0b\\0", "str(7):", "str(7)",
            "hex:",       "hex:01,02,ff",   "hex:1ff,-1",          "hex:,,,",  "hex:0",   "bogus:1",
            "str(3):x",   "DWORD:1",        "hex(7):00",           "str:a\\nend\\n", "str(7):x\\n\\0end\\0",
            "str(2):\\\\0 1 =", "str:\\n",        "hex(b):01,02,03,04,05,06,07,08", "hex(0):", "hex(B):ff",
            "hex(ffffffff):00,01", "hex(2):41,00,00,00", "hex(b):1,2", "hex(123456789):00", "hex(b):01,02,"};
        std::string l = pick(literals);
        return chance(40) ? mutate(l) : l;
    }

    std::string value_name() {
        static const std::vector<std::string> names = {"v", "", "end", "Name With Spaces", "\xc3\xa9", "a\\0b"};
        std::string n = pick(names);
        return chance(40) ? mutate(n) : n;
    }

    // Arguments as a user would write them, for every command.
    std::string plausible_args(const std::string& word) {
        if (word == "findfiles") {
            static const std::vector<std::string> patterns = {
                "C:\\windows\\*", "C:\\windows\\system32\\*.dll", "C:\\*", "C:\\nonexistent\\*", "\\\\?\\C:\\windows\\*",
                "*", "C:\\windows", "C:\\windows\\..\\*", "C:\\windows\\?????", "C:/windows/*", "C:\\windows\\*\\*"};
            std::string p = chance(30) ? "Z:" + slashes(drive_dir_) + "\\*" : pick(patterns);
            return number() + (chance(90) ? " " : "") + (chance(50) ? mutate(p) : p);
        }
        if (word == "getregkey") {
            static const std::vector<std::string> keys = {
                "HKCU\\Software", "HKLM\\Software\\Wine", "HKLM\\System\\CurrentControlSet\\Control", "HKCR\\.txt",
                "HKU\\.Default", "HKEY_LOCAL_MACHINE\\Software", "32\\HKLM\\Software", "3264\\HKLM\\Software",
                "HKCU\\", "HKLM", "HKXX\\Software", "HKCU\\Software\\QvFuzz", "HKCU\\Software\\QvFuzz\\a"};
            // Half of them list where the writes go, so that written data is read back.
            std::string k = chance(50) ? scratch_key() : pick(keys);
            return chance(40) ? mutate(k) : k;
        }
        if (word == "unixpath") {
            static const std::vector<std::string> paths = {
                "C:\\windows", "C:", "c:/windows/system32", "C:\\nonexistent\\a\\b", "\\\\?\\C:\\windows", "X:\\foo",
                "relative\\path", "", "\\\\server\\share\\x", "C:\\windows\\..\\..\\..", "Z:\\"};
            std::string p = pick(paths);
            return chance(60) ? mutate(p) : p;
        }
        if (word == "windowspath") {
            static const std::vector<std::string> paths = {"/", "/tmp", drive_dir_, "relative/path", "", "/nonexistent/x",
                                                           "//double", "/tmp/../tmp/./"};
            std::string p = pick(paths);
            return chance(60) ? mutate(p) : p;
        }
        if (word == "getexpandedstr") {
            static const std::vector<std::string> words = {"appdata", "desktop", "temp", "programs", "accessories",
                                                           "winsysdir64", "PATH", "WINEPREFIX", "%PATH%", "",
                                                           "APPDATA", "nosuchvariable"};
            std::string w = pick(words);
            return chance(50) ? mutate(w) : w;
        }
        if (word == "setregkey") {
            last_written_ = scratch_key();
            return last_written_ + "\\n" + value_name() + "\\n" + literal();
        }
        if (word == "getregvalue") {
            // Half of them read where the writes go.
            std::string k = chance(50) ? scratch_key() : "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion";
            std::string args = k + "\\n" + value_name();
            return chance(30) ? mutate(args) : args;
        }
        if (word == "expandstr") {
            static const std::vector<std::string> texts = {
                "%ProgramFiles%\\\\Foo", "%windir%", "%NOSUCH%", "100%", "%%", "%", "", "%PATH%%PATH%%PATH%",
                "%TEMP%\\n%APPDATA%", "%WINEPREFIX%", "a\\\\b %USERPROFILE%"};
            std::string t = pick(texts);
            return chance(50) ? mutate(t) : t;
        }
        if (word == "rmregtree")
            return scratch_key();
        if (word == "rmregvalue")
            return scratch_key() + "\\n" + value_name();
        if (word == "adddrive") {
            std::string dir = drive_dir_ + "/d" + std::to_string(below(4));
            return chance(50) ? dir + mutate("") : dir;
        }
        return chance(50) ? mutate("") : bytes(below(30));
    }

    const std::string& last_written() const { return last_written_; }

    std::string request(const std::set<char>& mapped) {
        switch (below(10)) {
        case 0: {
            // Noise: a random line of any length.
            std::string line = bytes(below(chance(5) ? 100000 : 120));
            return guarded(line);
        }
        case 1: {
            // A known command with random bytes for arguments.
            // Modifying ones get a first byte that no root key, drive letter
            // or path starts with; "adddrive #..." maps a relative path,
            // removed again like any other drive the test mapped.
            std::string word = pick(kCommands);
            return word + (one_of(word, kModifying) ? " #" : " ") + bytes(below(200));
        }
        case 2: {
            // A command word that is almost a known one.
            std::string word = mutate(pick(kCommands));
            return guarded(word + " " + plausible_args("noise"));
        }
        default: {
            std::string word = pick(kCommands);
            if (word == "rmdrive")
                return rmdrive(mapped);
            std::string sep = chance(3) ? (chance(50) ? "" : "  ") : " ";
            return word + sep + plausible_args(word);
        }
        }
    }

    // A line that must not reach a modifying command (or quit) by accident.
    static std::string guarded(std::string line) {
        Parsed p = parse(line);
        if (p.word == "quit" || one_of(p.word, kModifying))
            line.insert(0, "#");
        return line;
    }

    // rmdrive only for letters the test mapped, or for what is no letter.
    std::string rmdrive(const std::set<char>& mapped) {
        std::string first;
        if (!mapped.empty() && chance(50)) {
            auto it = mapped.begin();
            std::advance(it, below(mapped.size()));
            first = std::string(1, chance(50) ? *it : static_cast<char>(*it | 0x20));
        } else {
            static const std::vector<std::string> nonletters = {"", "1", "@", "[", "`", "{", "A", "Z", "a", "z",
                                                                " ", "\xc3", "\\", ":", "\r"};
            first = pick(nonletters);
        }
        std::string args = first + (chance(50) ? ":" : "") + (chance(30) ? mutate("") : "");
        // An empty first pick lets the mutated rest lead, which may be any
        // letter: such a line becomes harmless like an unguarded adddrive.
        char upper = static_cast<char>(args.empty() ? 0 : args[0] & ~0x20);
        if (upper >= 'B' && upper <= 'Y' && !mapped.count(upper))
            args.insert(0, "#");
        return "rmdrive " + args;
    }

    static std::string slashes(std::string path) {
        for (char& c : path)
            if (c == '/')
                c = '\\';
        return path;
    }

private:
    std::mt19937_64 rng_;
    std::string drive_dir_;
    std::string last_written_ = "HKCU\\Software\\QvFuzz\\a";
};

// A net under the generator: whether a request can only touch what the
// test may change.
bool confined(const Parsed& p, const std::set<char>& mapped, const std::string& drive_dir) {
    if (p.word == "setregkey" || p.word == "rmregtree" || p.word == "rmregvalue") {
        // As the server parses it: an optional view, then a root name.
        std::string path = p.args;
        for (const std::string view : {"32\\", "3264\\"})
            if (path.rfind(view, 0) == 0)
                path.erase(0, view.size());
        auto starts = [&](const std::string& root) {
            return path.size() >= root.size() && strncasecmp(path.c_str(), root.c_str(), root.size()) == 0;
        };
        for (const std::string root : {"HKEY_CLASSES_ROOT\\", "HKEY_USERS\\", "HKCR\\", "HKU\\"})
            if (starts(root))
                return false;
        for (const std::string root : {"HKEY_CURRENT_USER\\", "HKEY_LOCAL_MACHINE\\", "HKCU\\", "HKLM\\"})
            if (starts(root))
                return path.compare(root.size(), 16, "Software\\QvFuzz\\") == 0;
        return true;
    }
    if (p.word == "adddrive")
        return p.args.empty() || p.args[0] == '#' || p.args.rfind(drive_dir + "/", 0) == 0 ||
               p.args.rfind(" " + drive_dir + "/", 0) == 0;
    if (p.word == "rmdrive") {
        char upper = static_cast<char>(p.args[0] & ~0x20);
        return upper < 'B' || upper > 'Y' || mapped.count(upper);
    }
    return p.word != "quit";
}

bool one_line(const std::string& a) { return a.find('\n') == std::string::npos; }

bool all_lines_match(const std::string& answer, const std::vector<std::string>& prefixes, bool final_lf) {
    if (answer.empty())
        return true;
    std::string body = answer;
    if (final_lf) {
        if (body.back() != '\n')
            return false;
        body.pop_back();
    }
    size_t pos = 0;
    for (;;) {
        size_t lf = body.find('\n', pos);
        std::string line = body.substr(pos, lf == std::string::npos ? std::string::npos : lf - pos);
        bool ok = false;
        for (const std::string& p : prefixes)
            ok = ok || line.rfind(p, 0) == 0;
        if (!ok)
            return false;
        if (lf == std::string::npos)
            return true;
        pos = lf + 1;
    }
}

// What an answer to this request may look like; empty when it fits.
std::string misfit(const Parsed& p, const std::string& a, const std::string& windows_dir,
                   const std::string& system_dir) {
    const std::string& w = p.word;
    bool ok;
    if (w == "getwindowsdir")
        ok = a == windows_dir;
    else if (w == "getsystemdir")
        ok = a == system_dir;
    else if (w == "getregkey") {
        try {
            (void)qv::parse_listing(a);  // only whether it parses
            ok = true;
        } catch (const std::exception& e) {
            return std::string("listing does not parse: ") + e.what();
        }
    } else if (w == "setregkey" || w == "rmregtree" || w == "rmregvalue")
        ok = one_line(a) && (a == "success" || a.rfind("error ", 0) == 0);
    else if (w == "findfiles")
        ok = a == "error" || all_lines_match(a, {"file ", "dir ", "errno "}, false) ||
             all_lines_match(a, {"file ", "dir "}, true);
    else if (w == "unixpath")
        ok = one_line(a) && (a == "error" || a.rfind("path ", 0) == 0);
    else if (w == "windowspath")
        ok = one_line(a) && (a == "error cannot convert path" || a.rfind("path ", 0) == 0);
    else if (w == "getexpandedstr")
        ok = one_line(a);
    else if (w == "getregvalue") {
        // one value line, or a failure as a listing shows it
        if (a.rfind("error ", 0) == 0)
            ok = one_line(a);
        else {
            try {
                qv::Result<qv::RegKey> l = qv::parse_listing(a);
                ok = (l ? l->values.size() == 1 : l->values.empty()) && l->subkeys.empty();
            } catch (const std::exception& e) {
                return std::string("value does not parse: ") + e.what();
            }
        }
    } else if (w == "expandstr")
        ok = one_line(a) && (a.rfind("text ", 0) == 0 || a.rfind("error ", 0) == 0 || a.rfind("errno ", 0) == 0);
    else if (w == "adddrive")
        ok = one_line(a) && (a.empty() || a.rfind("errno ", 0) == 0 || a == "error no free drive letters" ||
                             (a.size() == 7 && a.rfind("drive ", 0) == 0 && a[6] >= 'A' && a[6] <= 'Z'));
    else if (w == "rmdrive")
        ok = a.empty() || a == "error invalid drive letter" || (one_line(a) && a.rfind("errno ", 0) == 0);
    else
        ok = a.empty();
    return ok ? "" : "unexpected answer";
}

// Sends line in one write or in pieces, so that the line assembler sees
// every kind of split.
bool send_in_pieces(robust::RawConversation& conv, Generator& gen, const std::string& bytes) {
    if (bytes.size() > 4096 || gen.chance(70))
        return conv.send(bytes);
    for (size_t i = 0; i < bytes.size();) {
        size_t n = 1 + gen.below(gen.chance(50) ? 3 : 700);
        if (!conv.send(bytes.substr(i, n)))
            return false;
        i += n;
    }
    return true;
}

// The generator alone, for many requests: none of them may reach beyond
// what the test may change, whatever drives happen to be mapped. (Seed 4242
// once made "rmdrive b" for a letter never mapped.)
TEST(Fuzz, TheGeneratorMakesOnlyConfinedRequests) {
    const std::string drive_dir = "/tmp/qv-fuzz-drives";
    for (uint64_t seed : {4242ull, 20240611ull, 7ull}) {
        Generator gen(seed, drive_dir);
        std::set<char> mapped;
        for (int i = 0; i < 200000; i++) {
            if (i % 1000 == 0) {
                mapped.clear();
                for (char letter = 'B'; letter <= 'Y'; letter++)
                    if (gen.chance(10))
                        mapped.insert(letter);
            }
            std::string line = gen.request(mapped);
            ASSERT_TRUE(confined(parse(line), mapped, drive_dir))
                << "seed " << seed << ", request " << i << ": \"" << shown(line.substr(0, 300)) << "\"";
        }
    }
}

TEST(Fuzz, RandomAndMutatedRequestsNeverBreakTheServerTheFramingOrThePrefix) {
    if (robust::behind_relay())
        GTEST_SKIP() << robust::kRelaySkip;
    robust::OwnPrefix prefix("fuzz");
    ASSERT_TRUE(prefix.ready()) << "could not clone a prefix into " << prefix.path();
    const std::string drive_dir = prefix.path() + "-drives";
    ::mkdir(drive_dir.c_str(), 0755);
    for (int i = 0; i < 4; i++)
        ::mkdir((drive_dir + "/d" + std::to_string(i)).c_str(), 0755);

    const std::vector<std::string> registry_before = robust::registry_snapshot(prefix, kScratch);
    const std::vector<std::string> drives_before = robust::dosdevices(prefix);
    ASSERT_GT(registry_before.size(), 1000u) << registry_before.front();

    const uint64_t seed = robust::env_number("QV_FUZZ_SEED", 20240611);
    const uint64_t requests = robust::env_number("QV_FUZZ_REQUESTS", 2000);
    const qv::Millis timeout = qvtest::patience(qv::Millis(30000));
    Generator gen(seed, drive_dir);

    // QV_FUZZ_SOAK=1 (scripts/soak.sh): a crash, hang or framing break is
    // counted, described and followed by a new server, and the run goes on;
    // progress and the tally are printed. Otherwise the first one ends the test.
    const bool soak = robust::env_number("QV_FUZZ_SOAK", 0) != 0;
    const auto began = qv::Clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(qv::Clock::now() - began).count(); };
    robust::SoakTally soak_tally;

    std::unique_ptr<robust::RawConversation> conv;
    std::string why, windows_dir, system_dir;
    size_t sent = 0;
    int servers_started = 0;
    std::deque<std::string> recent;  // in a soak, what the server was last sent
    // In a soak, where the current server's Wine output goes.
    auto server_log = [&] { return prefix.path() + ".server-" + std::to_string(servers_started - 1) + ".log"; };
    auto start_server = [&]() -> bool {
        recent.clear();
        qv::LaunchOptions options = prefix.options_for(qvtest::program("qvmanip.exe"));
        // A soak keeps what Wine says about a dying server.
        servers_started++;
        if (soak)
            options.stderr_path = server_log();
        conv = std::make_unique<robust::RawConversation>(options);
        sent = 2;
        std::string windows, system;
        if (!conv->started(&why) || !conv->send("getwindowsdir\ngetsystemdir\n") ||
            !conv->next(&windows, timeout, &why) || !conv->next(&system, timeout, &why))
            return false;
        if (!windows_dir.empty() && (windows != windows_dir || system != system_dir)) {
            why = "a new server answers other folders: " + shown(windows) + ", " + shown(system);
            return false;
        }
        windows_dir = windows;
        system_dir = system;
        return true;
    };
    ASSERT_TRUE(start_server()) << why;
    ASSERT_EQ(windows_dir, "C:\\windows");

    // One request and the probe after it.
    auto exchange = [&](const std::string& line, bool in_pieces, std::string* answer) {
        std::string bytes = line + "\ngetwindowsdir\n", probe;
        if (soak) {
            recent.push_back(bytes);
            if (recent.size() > 200)
                recent.pop_front();
        }
        if (!(in_pieces ? send_in_pieces(*conv, gen, bytes) : conv->send(bytes))) {
            why = "server input closed";
            return robust::Outcome::crash;
        }
        sent += 2;
        if (!conv->next(answer, timeout, &why) || !conv->next(&probe, timeout, &why)) {
            robust::Outcome outcome = robust::classify_failure(why);
            std::string fault = soak ? robust::wine_fault(server_log()) : "";
            if (outcome == robust::Outcome::hang && !fault.empty()) {
                why += ", and Wine's debugger holds the server after \"" + fault + "\"";
                outcome = robust::Outcome::crash;
            }
            return outcome;
        }
        if (probe != windows_dir) {
            why = "framing lost: the probe's answer was \"" + shown(probe.substr(0, 300)) + "\"";
            return robust::Outcome::framing_break;
        }
        return robust::Outcome::answered;
    };
    // A soak notes what the processes were doing, gives a hung server a
    // second chance to answer (telling slow from stuck), then starts anew;
    // after a hang the prefix's wineserver is restarted too.
    auto recover = [&](robust::Outcome outcome, const std::string& context) -> bool {
        soak_tally.count(outcome);
        std::printf("soak: %s after %llu requests, at %s: %s\n  server: %s\n  wineserver: %s\n  test: rss %ld MiB\n",
                    outcome == robust::Outcome::hang ? "hang" : outcome == robust::Outcome::crash ? "crash" : "framing break",
                    static_cast<unsigned long long>(soak_tally.requests), context.c_str(), why.c_str(),
                    robust::process_state(conv->peer().pid()).c_str(),
                    robust::process_state(prefix.wineserver_pid()).c_str(), robust::own_rss_mib());
        if (outcome == robust::Outcome::hang) {
            std::string late;
            auto asked = qv::Clock::now();
            bool came = conv->next(&late, qv::Millis(120000), &why);
            std::printf("  %s\n", came ? ("the answer came " +
                                          std::to_string(std::chrono::duration<double>(qv::Clock::now() - asked).count() + 30) +
                                          " s after the request")
                                             .c_str()
                                       : ("still no answer 150 s after the request: " + why).c_str());
        }
        if (outcome == robust::Outcome::crash)
            std::printf("  exit code %d; Wine's output in %s\n",
                        conv->peer().wait(qv::Clock::now() + qv::Millis(5000)), server_log().c_str());
        // The server's last requests, whole, to replay the fault.
        const std::string replay = prefix.path() + ".replay-" + std::to_string(servers_started - 1) + ".txt";
        if (std::FILE* f = std::fopen(replay.c_str(), "wb")) {
            for (const std::string& r : recent)
                std::fwrite(r.data(), 1, r.size(), f);
            std::fclose(f);
            std::printf("  the server's last %zu requests in %s\n", recent.size(), replay.c_str());
        }
        std::fflush(stdout);
        conv->peer().kill_now();
        if (outcome == robust::Outcome::hang)
            prefix.stop();
        return start_server();
    };

    // Letters the test mapped and has not removed. A and Z are given out only
    // when B to Y are all taken, and rmdrive cannot remove them, so the test
    // never fills B to Y.
    // QV_FUZZ_TRACE=FILE keeps every request and answer, shortened, for a look.
    const char* trace_path = std::getenv("QV_FUZZ_TRACE");
    std::FILE* trace = trace_path && *trace_path ? std::fopen(trace_path, "w") : nullptr;
    std::set<char> mapped;
    std::map<std::string, std::array<int, 2>> tally;  // answers with content, empty or error ones
    int failures = 0;
    for (uint64_t i = 0; i < requests && (soak || failures < 5); i++) {
        std::string line = gen.request(mapped);
        Parsed p = parse(line);
        if (p.word == "adddrive" && mapped.size() >= 20) {
            line.insert(0, "#");
            p = parse(line);
        }
        ASSERT_TRUE(confined(p, mapped, drive_dir)) << "the generator made \"" << shown(line.substr(0, 300)) << "\"";
        const std::string context = "request " + std::to_string(i) + " (seed " + std::to_string(seed) + "): \"" +
                                    shown(line.substr(0, 300)) + "\"" + (line.size() > 300 ? "..." : "");
        if (soak && i % 10000 == 0) {
            std::printf("soak progress: %s; test rss %ld MiB; server %s; wineserver %s\n",
                        soak_tally.line(seed, seconds()).c_str(), robust::own_rss_mib(),
                        robust::process_state(conv->peer().pid()).c_str(),
                        robust::process_state(prefix.wineserver_pid()).c_str());
            std::fflush(stdout);
        }

        soak_tally.requests++;
        std::string answer;
        robust::Outcome outcome = exchange(line, true, &answer);
        if (outcome != robust::Outcome::answered) {
            if (!soak)
                FAIL() << why << " at " << context << "; its answer: \"" << shown(answer.substr(0, 300)) << "\"";
            ADD_FAILURE() << why << " at " << context;
            ASSERT_TRUE(recover(outcome, context)) << "no new server: " << why;
            continue;
        }
        std::string bad = misfit(p, answer, windows_dir, system_dir);
        if (!bad.empty()) {
            ADD_FAILURE() << bad << " to " << context << ": \"" << shown(answer.substr(0, 300)) << "\"";
            failures++;
            soak_tally.unexpected++;
        }
        if (trace)
            std::fprintf(trace, "> %s\n< %s\n", shown(line.substr(0, 400)).c_str(), shown(answer.substr(0, 400)).c_str());
        tally[p.word.size() <= 14 ? p.word : "(noise)"][answer.empty() || answer.rfind("error", 0) == 0 ? 1 : 0]++;
        if (p.word == "setregkey" && answer == "success") {
            // What was written is listed back at once (one view: a listing
            // takes no "3264\").
            std::string key = gen.last_written();
            if (key.rfind("3264\\", 0) == 0)
                key.erase(0, 5);
            std::string listing;
            const std::string listing_context = "listing " + shown(key) + " after " + context;
            outcome = exchange("getregkey " + key, false, &listing);
            if (outcome != robust::Outcome::answered) {
                if (!soak)
                    FAIL() << why << " " << listing_context << "; the listing: \"" << shown(listing.substr(0, 300)) << "\"";
                ADD_FAILURE() << why << " " << listing_context;
                ASSERT_TRUE(recover(outcome, listing_context)) << "no new server: " << why;
                continue;
            }
            bad = misfit(parse("getregkey " + key), listing, windows_dir, system_dir);
            if (!bad.empty()) {
                ADD_FAILURE() << bad << " " << listing_context << ": \"" << shown(listing.substr(0, 300)) << "\"";
                failures++;
                soak_tally.unexpected++;
            }
        }
        if (p.word == "adddrive" && answer.rfind("drive ", 0) == 0)
            mapped.insert(answer[6]);
        if (p.word == "rmdrive" && answer.empty())
            mapped.erase(static_cast<char>(p.args[0] & ~0x20));
    }
    if (soak) {
        std::printf("soak tally: %s\n", soak_tally.line(seed, seconds()).c_str());
        std::fflush(stdout);
    }

    if (trace)
        std::fclose(trace);
    std::string summary;
    for (const auto& [word, counts] : tally)
        if (one_of(word, kCommands))
            summary += " " + word + " " + std::to_string(counts[0]) + "/" + std::to_string(counts[0] + counts[1]);
    std::printf("answers with content, per command:%s\n", summary.c_str());

    // Known requests still get their known answers.
    const std::string check = "HKCU\\Software\\QvFuzz\\after";
    ASSERT_TRUE(conv->send("setregkey " + check + "\\nv\\ndword:2a\ngetregkey " + check + "\nunixpath C:\\windows\n" +
                          "rmregtree HKCU\\Software\\QvFuzz\n"));
    sent += 4;
    std::string a;
    ASSERT_TRUE(conv->next(&a, timeout, &why)) << why;
    EXPECT_EQ(a, "success");
    ASSERT_TRUE(conv->next(&a, timeout, &why)) << why;
    EXPECT_EQ(a, "value v\\0 4 2a000000\n");
    ASSERT_TRUE(conv->next(&a, timeout, &why)) << why;
    EXPECT_EQ(a, "path " + prefix.path() + "/dosdevices/c:/windows");
    ASSERT_TRUE(conv->next(&a, timeout, &why)) << why;
    EXPECT_EQ(a, "success");
    for (char letter : mapped) {
        ASSERT_TRUE(conv->send(std::string("rmdrive ") + letter + "\n"));
        sent++;
        ASSERT_TRUE(conv->next(&a, timeout, &why)) << why;
        EXPECT_EQ(a, "") << "removing drive " << letter;
    }
    EXPECT_EQ(conv->finish(timeout), 0) << "the server must end cleanly at the end of its input";
    EXPECT_EQ(conv->markers_in_stream(), sent) << "one end marker per request, counted on the raw stream";
    EXPECT_EQ(conv->trailing(), "");

    EXPECT_EQ(robust::dosdevices(prefix), drives_before);
    // The mount manager keeps drive types under this key, made on its first
    // mapping; it must be empty again.
    std::vector<std::string> registry_after = robust::registry_snapshot(prefix, kScratch);
    const std::string drive_types = "k HKLM\\Software\\Wine\\Drives";
    if (std::find(registry_before.begin(), registry_before.end(), drive_types) == registry_before.end())
        registry_after.erase(std::remove(registry_after.begin(), registry_after.end(), drive_types),
                             registry_after.end());
    EXPECT_TRUE(registry_before == registry_after)
        << "registry outside the scratch subtrees changed:\n"
        << robust::snapshot_difference(registry_before, registry_after);
    if (!::testing::Test::HasFailure())
        std::system(("rm -rf '" + drive_dir + "'").c_str());
}

}  // namespace
