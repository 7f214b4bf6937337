#include "qv/wineconfig.h"

#include "qv/failure.h"

namespace qv {

std::string wine_settings_key(std::string_view app) {
    if (app.empty())
        return std::string(kWineSettingsKey);
    // Wine looks the program up by its file name alone, so a path would make
    // a key (or nested keys) that nothing ever reads.
    if (app.find_first_of(std::string_view("\\/\n\0", 4)) != std::string_view::npos || app == "." || app == "..")
        throw Refused("\"" + std::string(app) +
                      "\" is not a program file name (like game.exe): no path, backslash, slash, NUL or LF");
    return std::string(kWineSettingsKey) + "\\AppDefaults\\" + std::string(app);
}

}  // namespace qv
