#include "qv/dlls.h"

#include "qv/registry.h"
#include "qv/text.h"
#include "qv/wineconfig.h"

#include "calls/call.h"

namespace qv {

namespace {

struct ModeName {
    DllMode mode;
    const char* text;
    const char* word;
    const char* short_form;
};

const ModeName kModes[] = {
    {DllMode::native, "native", "native", "n"},
    {DllMode::builtin, "builtin", "builtin", "b"},
    {DllMode::native_builtin, "native,builtin", "native,builtin", "n,b"},
    {DllMode::builtin_native, "builtin,native", "builtin,native", "b,n"},
    {DllMode::disabled, "", "disabled", nullptr},
};

const ModeName& mode_name(DllMode mode) {
    for (const ModeName& m : kModes)
        if (m.mode == mode)
            return m;
    return kModes[0];
}

// The mode a stored text means, if it is one of ours.
std::optional<DllMode> mode_of(std::string_view text) {
    for (const ModeName& m : kModes)
        if (iequals(text, m.text) || iequals(text, m.word) || (m.short_form && iequals(text, m.short_form)))
            return m.mode;
    return std::nullopt;
}

}  // namespace

const std::vector<DllMode>& dll_modes() {
    static const std::vector<DllMode> modes = {DllMode::native, DllMode::builtin, DllMode::native_builtin,
                                               DllMode::builtin_native, DllMode::disabled};
    return modes;
}

const char* dll_mode_text(DllMode mode) { return mode_name(mode).text; }
const char* dll_mode_word(DllMode mode) { return mode_name(mode).word; }

Result<DllMode> parse_dll_mode(std::string_view text) {
    if (std::optional<DllMode> m = mode_of(text))
        return *m;
    return refused_failure("unknown DLL override mode \"" + visible(text) +
                           "\" (use native, builtin, native,builtin, builtin,native or disabled)");
}

std::string dll_overrides_key(std::string_view app) { return wine_settings_key(app) + "\\DllOverrides"; }

std::string dll_override_name(std::string_view dll) {
    if (dll.size() >= 4 && iequals(dll.substr(dll.size() - 4), ".dll"))
        dll.remove_suffix(4);
    if (dll.empty())
        throw Refused("a DLL override needs the DLL's name");
    if (dll.find_first_of(std::string_view("\n\0", 2)) != std::string_view::npos)
        throw Refused("a DLL name cannot hold NUL or LF");
    return std::string(dll);
}

Request dll_overrides_request(std::string_view app) { return list_key_request(dll_overrides_key(app)); }

Request set_dll_override_request(std::string_view dll, DllMode mode, std::string_view app) {
    return set_value_request(dll_overrides_key(app), dll_override_name(dll), string_literal(dll_mode_text(mode)));
}

Request remove_dll_override_request(std::string_view dll, std::string_view app) {
    return delete_value_request(dll_overrides_key(app), dll_override_name(dll));
}

Result<std::vector<DllOverride>> parse_dll_overrides(std::string_view answer) {
    Result<RegKey> key = parse_listing(answer);
    if (!key && key.failure->is(kFileNotFound))
        return std::vector<DllOverride>();
    if (!key && key.failure->kind != Failure::Kind::incomplete)
        return *key.failure;
    std::vector<DllOverride> out;
    for (const RegValue& v : key->values) {
        // Wine reads only text values here; the key's default value is no DLL.
        if (v.name.empty() || !v.is_text())
            continue;
        out.push_back({v.name, v.string(), mode_of(v.string())});
    }
    if (!key)
        return Result<std::vector<DllOverride>>(std::move(out), *key.failure);
    return out;
}

Result<std::vector<DllOverride>> dll_overrides(Channel to, std::string_view app) {
    return detail::call(to, [&] { return dll_overrides_request(app); }, parse_dll_overrides);
}

Result<DllOverride> dll_override(Channel to, std::string_view dll, std::string_view app) {
    std::string name;
    try {
        name = dll_override_name(dll);
    } catch (const Refused& e) {
        return refused_failure(e.what());
    }
    // The key is listed rather than the one value read: a value read answers
    // with the name as asked, and callers show the name as stored (the
    // registry ignores case, so "DXGI" finds "dxgi").
    Result<std::vector<DllOverride>> all = dll_overrides(to, app);
    if (!all)
        return *all.failure;
    for (DllOverride& o : *all)
        if (iequals(o.dll, name))
            return std::move(o);
    return Failure{Failure::Kind::win32, kFileNotFound,
                   "no override for " + name + " in " + dll_overrides_key(app)};
}

Result<void> set_dll_override(Channel to, std::string_view dll, DllMode mode, std::string_view app) {
    return detail::call(to, [&] { return set_dll_override_request(dll, mode, app); }, parse_write);
}

Result<void> set_dll_override(Channel to, std::string_view dll, std::string_view mode, std::string_view app) {
    Result<DllMode> m = parse_dll_mode(mode);
    if (!m)
        return *m.failure;
    return set_dll_override(to, dll, *m, app);
}

Result<void> remove_dll_override(Channel to, std::string_view dll, std::string_view app) {
    Result<DllOverride> there = dll_override(to, dll, app);
    if (!there)
        return *there.failure;
    // Removed by the name it is stored under (the registry ignores case, the
    // server's request does not need to).
    return detail::call(to, [&] { return remove_dll_override_request(there->dll, app); }, parse_write);
}

}  // namespace qv
