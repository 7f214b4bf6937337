#pragma once
// The facts about a prefix that prefix managers show, gathered in one call:
// its Windows version, architecture, the Wine that last updated it, its drive
// letters and its main folders.
#include <string>
#include <vector>

#include "qv/failure.h"
#include "qv/files.h"
#include "qv/process.h"
#include "qv/session.h"
#include "qv/winver.h"

namespace qv {

// Wine records when it last updated a prefix by writing the time of its own
// wine.inf into <prefix>/.update-timestamp, not its version; the version is
// known when the Wine at hand wrote that time.
struct WineUpdate {
    std::string stamp;          // the file's content ("" when absent; "disable" stops updates)
    std::string wine;           // `<loader> --version` of the Wine at hand ("wine-8.0 (...)")
    std::string wine_inf;       // that Wine's wine.inf, when found
    bool by_this_wine = false;  // the stamp is that wine.inf's time
    // wine when by_this_wine, else empty: the Wine that last updated the prefix.
    std::string last_updated_by;
};

struct PrefixFolder {
    std::string name;          // "windows", "system", or the server's keyword ("appdata", ...)
    std::string windows_path;  // "C:\windows"
    std::string unix_path;     // "<prefix>/dosdevices/c:/windows"
};

struct PrefixInfo {
    std::string prefix;                     // the prefix folder
    WindowsVersionReading windows_version;  // the global version
    std::string arch;                       // "win64" or "win32"; empty when unknown
    std::string processor;                  // PROCESSOR_ARCHITECTURE: "AMD64", "x86"
    WineUpdate update;
    std::vector<DriveMapping> drives;
    std::vector<PrefixFolder> folders;
};

// The folders prefix_info reports, by name, in its order.
const std::vector<std::string>& prefix_folder_names();

// Two pipelined batches (registry and folders, then the folders' Unix
// paths) and the prefix's own files. wine is the loader whose version is
// compared; a folder the server cannot tell is left out.
Result<PrefixInfo> prefix_info(Channel to, const std::string& wine = default_wine_loader());

// Wine's record of its last update of prefix, against the Wine at that loader.
WineUpdate wine_update(const std::string& prefix, const std::string& wine = default_wine_loader(),
                       const std::vector<std::string>& launcher = {});

}  // namespace qv
