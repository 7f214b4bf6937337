#pragma once
// Which program the front stands in for, and where the real one is.
#include <optional>
#include <string>
#include <string_view>

namespace front {

enum class Role { wine, wine64, wineserver };

// The role a program name gives (the last component of argv[0]); none for
// any other name.
std::optional<Role> role_of(std::string_view argv0);
const char* role_name(Role role);
// The variable that names the real program for a role.
const char* role_variable(Role role);

// The front's own executable and folder, without links.
std::string own_executable();
std::string own_folder();

// The real program for a role, as a caller would have found it without the
// front: the program the role's variable names; else the first of that name
// on PATH that is not the front (its folder, or a link to it), searched as
// the shell searches; for wine64 that is not on PATH, the one in the folder
// of the `wineboot` found on PATH with links followed (Debian keeps wine64
// only in Wine's own folder, and prefix managers look there too). None when
// nothing is found; `tried` then says where it looked.
std::optional<std::string> real_program(Role role, std::string* tried = nullptr);

// Whether a `wine` loader runs programs as 32-bit ones: an ELF loader by its
// class; Debian's wrapper script by the loader it picks (its 32-bit one when
// installed). None when it cannot tell (another script), and when the
// wrapper would first print its hint that wine32 is missing.
std::optional<bool> runs_32bit(const std::string& loader);

// Whether the 32-bit loader, `wine` beside the real 64-bit one (links
// followed, as Wine finds it), is there to run 32-bit programs.
bool has_32bit_loader(const std::string& wine64);

}  // namespace front
