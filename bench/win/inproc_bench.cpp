// The same platform calls the server makes for one request, in a loop inside
// one Windows process: the floor that no out-of-process controller can beat.
//   inproc_bench getregkey KEY N | setregkey KEY N | unixpath PATH N | findfiles PATTERN N
// KEY is under HKEY_CURRENT_USER. Prints microseconds per iteration.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef char *(CDECL *unix_name_fn)(const WCHAR *);

static WCHAR *widen(const char *s)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, NULL, 0);
    WCHAR *w = (WCHAR *)HeapAlloc(GetProcessHeap(), 0, n * sizeof(WCHAR));
    MultiByteToWideChar(CP_UTF8, 0, s, -1, w, n);
    return w;
}

static BOOL list_key(const WCHAR *path)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key))
        return FALSE;
    WCHAR name[260];
    BYTE data[260];
    for (DWORD i = 0;; i++)
    {
        DWORD name_len = 259, data_len = 259, type;
        if (RegEnumValueW(key, i, name, &name_len, NULL, &type, data, &data_len))
            break;
    }
    for (DWORD i = 0;; i++)
    {
        DWORD name_len = 259;
        if (RegEnumKeyExW(key, i, name, &name_len, NULL, NULL, NULL, NULL))
            break;
    }
    RegCloseKey(key);
    return TRUE;
}

static BOOL set_dword(const WCHAR *path, DWORD value)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, NULL, 0, KEY_READ | KEY_SET_VALUE, NULL, &key, NULL))
        return FALSE;
    LONG rc = RegSetValueExW(key, L"bench", 0, REG_DWORD, (const BYTE *)&value, sizeof(value));
    RegCloseKey(key);
    return rc == 0;
}

static BOOL unix_name(unix_name_fn fn, const WCHAR *path)
{
    char *name = fn(path);
    if (!name)
        return FALSE;
    HeapFree(GetProcessHeap(), 0, name);
    return TRUE;
}

static BOOL list_files(const WCHAR *pattern)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern, &data);
    if (find == INVALID_HANDLE_VALUE)
        return FALSE;
    while (FindNextFileW(find, &data))
        ;
    FindClose(find);
    return TRUE;
}

int main(int argc, char **argv)
{
    if (argc != 4)
    {
        fprintf(stderr, "usage: inproc_bench getregkey|setregkey|unixpath|findfiles ARG N\n");
        return 2;
    }
    const char *op = argv[1];
    WCHAR *arg = widen(argv[2]);
    int n = atoi(argv[3]);
    unix_name_fn to_unix =
        (unix_name_fn)(void *)GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_unix_file_name");

    LARGE_INTEGER freq, start, end;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    BOOL ok = TRUE;
    for (int i = 0; i < n && ok; i++)
    {
        if (!strcmp(op, "getregkey"))
            ok = list_key(arg);
        else if (!strcmp(op, "setregkey"))
            ok = set_dword(arg, (DWORD)i);
        else if (!strcmp(op, "unixpath"))
            ok = to_unix && unix_name(to_unix, arg);
        else if (!strcmp(op, "findfiles"))
            ok = list_files(arg);
        else
            ok = FALSE;
    }
    QueryPerformanceCounter(&end);
    HeapFree(GetProcessHeap(), 0, arg);
    if (!ok)
    {
        fprintf(stderr, "inproc_bench: %s failed\n", op);
        return 1;
    }
    printf("%.3f\n", (double)(end.QuadPart - start.QuadPart) * 1e6 / (double)freq.QuadPart / n);
    return 0;
}
