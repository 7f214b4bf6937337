#pragma once
// Which Wine release a loader runs. Wine's own tools differ between releases
// (the Windows versions the configuration tool offers and the values it
// writes), so whatever copies them asks first.
#include <string>
#include <string_view>
#include <vector>

namespace qv {

struct WineRelease {
    std::string text;  // `<loader> --version`'s line: "wine-10.0 (Debian 10.0~repack-6)"; empty when not run
    int major = 0;     // 10; 0 when unknown
    int minor = 0;
};

// A `--version` line and its numbers ("wine-9.0-rc1 (Staging)" gives 9.0;
// major 0 for a line that names no Wine release).
WineRelease parse_wine_release(std::string_view line);

// The release the loader runs, asked once per loader and process (the
// loader answers by itself, without a prefix). Unknown when it cannot be run
// or answers something else.
WineRelease wine_release(const std::string& loader, const std::vector<std::string>& launcher = {});

// What wine_release answers from now on in this process, for a caller that
// knew it already (the front keeps it across its short-lived processes).
void remember_wine_release(const std::string& loader, const WineRelease& release,
                           const std::vector<std::string>& launcher = {});

}  // namespace qv
