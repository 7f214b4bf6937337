// `winecfg -v` (or /v) prints the prefix's Windows version as the tool's
// word and CRLF (Wine 10: on standard error, with LF); `winecfg -v VERSION` sets it, printing nothing. Both go
// through the library's copy of the tool of this Wine release, which writes
// both registry views as the tool does from either loader. Declined: other
// options, and words the 64-bit tool does not offer (a 32-bit winecfg
// offers more).
#include "qv/winver.h"
#include "served.h"

namespace front {

std::optional<Answer> serve_winecfg(const Invocation& call, Prefix& prefix) {
    if (call.args.empty() || call.args.size() > 2 || !(iequal(call.args[0], "-v") || iequal(call.args[0], "/v")))
        return std::nullopt;
    qv::Channel to(prefix.session());
    if (call.args.size() == 1) {
        qv::Result<qv::WindowsVersionReading> reading = qv::windows_version(to);
        if (!reading || reading->name.empty())
            return std::nullopt;
        // Wine 10's tool says it on standard error, as a plain line.
        if (call.release == 10)
            return Answer{"", reading->name + "\n", 0};
        return Answer{reading->name + "\r\n", "", 0};
    }
    if (!qv::windows_version_tool(to).find(call.args[1]))
        return std::nullopt;
    if (!qv::set_windows_version(to, call.args[1]))
        return std::nullopt;
    return Answer{};
}

}  // namespace front
