#pragma once
// The Windows version a prefix reports to programs, read and set as Wine's
// configuration tool does, in the Wine release at hand.
//
// Globally, the version lives in the values that tool writes (below, from
// windows_version_changes): under "HKLM\Software\Microsoft\Windows NT\CurrentVersion"
// in both registry views of a 64-bit prefix, and under
// HKLM\System\CurrentControlSet\Control. A "Version" value under
// HKCU\Software\Wine overrides it for every program, one under
// HKCU\Software\Wine\AppDefaults\NAME.exe for one program; setting the global
// version removes the former, as the tool does (except for the 16-bit
// versions of Wine 10, which live only there).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qv/failure.h"
#include "qv/registry.h"
#include "qv/session.h"

namespace qv {

// One version the configuration tool offers, with the exact values it writes.
struct WindowsVersion {
    // Where the version lives: the NT values; the older family's values
    // (VersionNumber, SubVersionNumber, ProductName under
    // HKLM\Software\Microsoft\Windows\CurrentVersion); or, for the 16-bit
    // versions, only the user-wide "Version" under HKCU\Software\Wine.
    enum class Family { nt, win9x, win16 };
    const char* name;          // the tool's word for it: "win10"
    const char* description;   // as the tool lists it: "Windows 10"
    Family family = Family::nt;
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
    // NT: "CurrentVersion" ("10.0" for Windows 10 up to Wine 8, "6.3" from
    // Wine 10 on, as Windows 10 itself has it); 9x: "VersionNumber".
    const char* version_text;
    const char* csd_version;   // NT: service pack text ("Service Pack 1", ""); 9x: "SubVersionNumber"
    uint32_t service_pack = 0; // (major << 8) | minor of the service pack
    const char* product_name;  // "Microsoft Windows 10"
    const char* product_type;  // "WinNT" for workstations, "ServerNT" for servers
};

// The configuration tool of one Wine release: the versions it offers, in the
// order it lists them (newest first), and how it judges registry values.
struct WindowsVersionTool {
    int first_release = 0;              // the oldest Wine release (major number) it describes
    std::vector<WindowsVersion> versions;
    const char* fallback = "";          // what it shows for values it cannot place
    bool reads_version_numbers = false; // CurrentMajor/MinorVersionNumber before CurrentVersion
    bool reads_9x = false;              // the older family's values where the NT ones are absent
    // The version of that name (ASCII case ignored), or nullptr.
    const WindowsVersion* find(std::string_view name) const;
};

// The tool of a Wine release by its major number, as measured with Wine 8.0
// and 10.0: releases before 10, and an unknown release (0), get Wine 8's.
// Wine 8's tool in a 32-bit prefix is a 32-bit program and offers the
// 32-bit and 16-bit versions as well; Wine 10's offers them everywhere.
const WindowsVersionTool& windows_version_tool(int wine_major, bool win32_prefix = false);
// The tool of the Wine that runs the channel's server: the release of its
// session's loader, else (a bare server, or a loader that does not answer
// as Wine) of the default loader; for the architecture of the channel's
// prefix (a bare server's: the default prefix's, WINEPREFIX or ~/.wine).
const WindowsVersionTool& windows_version_tool(Channel to);

// One change to the registry: a value written, or a value removed.
struct RegChange {
    enum class Op { set, remove };
    Op op = Op::set;
    std::string key;
    std::string name;
    uint32_t type = reg_sz;  // reg_sz or reg_dword, for set
    std::string text;        // REG_SZ data
    uint32_t dword = 0;      // REG_DWORD data
    RegView view = RegView::native;
};

// What setting the version writes and removes, in the tool's order: for an
// app, its AppDefaults "Version"; globally, the values of its family in each
// view that holds them, and the removal of the other families' values
// (removals one view at a time).
std::vector<RegChange> windows_version_changes(const WindowsVersion& version, std::string_view app = {});
// The request that makes one change (throws qv::Refused as the builders do).
Request change_request(const RegChange& change);

// The version as Wine's configuration tool judges it, and where it came from.
struct WindowsVersionReading {
    enum class Source {
        app,       // HKCU\Software\Wine\AppDefaults\NAME.exe "Version"
        user,      // HKCU\Software\Wine "Version"
        registry,  // the values under HKLM (the default view)
    };
    Source source = Source::registry;
    // The version's word: the stored text for an app or user override (as
    // Wine stores it, even when it is no word the tool knows), else the
    // tool's best match for the registry values; empty when nothing matches.
    std::string name;
    // The registry values (Source::registry only; 0 and empty when absent).
    std::string current_version;   // NT "CurrentVersion" ("6.3"), else the 9x "VersionNumber"
    uint32_t build = 0;            // CurrentBuildNumber
    std::string product_type;      // "WinNT"
    std::string product_name;
    std::string csd_version;
    // name is a version the tool offers, set exactly (registry: major,
    // minor and build match, not only the closest version or the tool's
    // fallback).
    bool exact = false;
};

const char* source_name(WindowsVersionReading::Source source);

// The prefix's version, for one program when app is not empty (its override,
// else the global version), judged as the tool of the channel's Wine does. A
// prefix without version values (NT ones, or the older family's where the
// tool reads them) fails with kFileNotFound.
Result<WindowsVersionReading> windows_version(Channel to, std::string_view app = {});

// Sets the version by the tool's word, globally or for one program, in one
// pipelined batch; the batch ends by reading the values back, so a write the
// server refused or a removal that left the value in place is a failure.
// The word and the values are those of the channel's Wine's tool. An
// unknown word, or a bad app name, is refused before anything is sent;
// globally, so is a 32-bit server in a 64-bit prefix (asked first), which
// cannot reach the 64-bit view.
Result<void> set_windows_version(Channel to, std::string_view name, std::string_view app = {});

// The requests windows_version reads with, and the parser of their answers,
// for batches: the answers in the order of the requests.
std::vector<Request> windows_version_requests(std::string_view app = {});
Result<WindowsVersionReading> parse_windows_version(const WindowsVersionTool& tool,
                                                    const std::vector<std::string>& answers,
                                                    std::string_view app = {});

}  // namespace qv
