// Tells what Wine makes of the prefix's settings for this program, by the
// name it runs under:
//   osprobe version    -> "version MAJOR.MINOR.BUILD sp MAJOR.MINOR type N csd TEXT"
//                         (RtlGetVersion, which no compatibility shim lowers)
//   osprobe load NAME  -> "loaded PATH test-dll yes|no" or "failed CODE" (LoadLibraryA;
//                         "yes" when the module is the non-Wine test DLL)
#include <windows.h>

#include <stdio.h>
#include <string.h>

typedef LONG(WINAPI* rtl_get_version_fn)(OSVERSIONINFOEXW*);

static int version_cmd(void) {
    rtl_get_version_fn get =
        (rtl_get_version_fn)(void*)GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion");
    OSVERSIONINFOEXW v;
    memset(&v, 0, sizeof v);
    v.dwOSVersionInfoSize = sizeof v;
    if (!get || get(&v) != 0) {
        printf("failed\n");
        return 1;
    }
    printf("version %lu.%lu.%lu sp %u.%u type %u csd %ls\n", v.dwMajorVersion, v.dwMinorVersion,
           v.dwBuildNumber, v.wServicePackMajor, v.wServicePackMinor, v.wProductType, v.szCSDVersion);
    return 0;
}

static int load_cmd(const char* name) {
    HMODULE m = LoadLibraryA(name);
    if (!m) {
        printf("failed %lu\n", GetLastError());
        return 1;
    }
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(m, path, sizeof path);
    path[n < sizeof path ? n : sizeof path - 1] = 0;
    printf("loaded %s test-dll %s\n", path, GetProcAddress(m, "qv_probe_native") ? "yes" : "no");
    FreeLibrary(m);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "version") == 0)
        return version_cmd();
    if (argc == 3 && strcmp(argv[1], "load") == 0)
        return load_cmd(argv[2]);
    fprintf(stderr, "usage: osprobe version | osprobe load NAME.dll\n");
    return 2;
}
