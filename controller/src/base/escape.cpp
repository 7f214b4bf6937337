#include "qv/escape.h"

namespace qv {

std::string escape(std::string_view data) {
    std::string out;
    out.reserve(data.size() + data.size() / 8);
    for (char c : data) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

std::string unescape(std::string_view wire) {
    std::string out;
    out.reserve(wire.size());
    for (size_t i = 0; i < wire.size(); i++) {
        if (wire[i] == '\\' && i + 1 < wire.size()) {
            char next = wire[i + 1];
            if (next == 'n' || next == '\\' || next == '0') {
                out += next == 'n' ? '\n' : next == '0' ? '\0' : '\\';
                i++;
                continue;
            }
        }
        out += wire[i];
    }
    return out;
}

}  // namespace qv
