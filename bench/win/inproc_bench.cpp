// The same platform calls the server makes for one request, in a loop inside
// one Windows process: the floor that no out-of-process controller can beat.
//   inproc_bench OP ARG N
//   OP: getregkey KEY | getregvalue KEY (its value "a") | setregkey KEY
//       | setqword KEY | rmregvalue KEY | setbinary KEY | unixpath PATH
//       | findfiles PATTERN | getexpandedstr appdata | expandstr TEXT
// KEY is under HKEY_CURRENT_USER. Each iteration is timed on its own; prints
// "median p95" in microseconds. rmregvalue creates its value untimed first.
#include <windows.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef char *(CDECL *unix_name_fn)(const WCHAR *);

static WCHAR *widen(const char *s)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, NULL, 0);
    WCHAR *w = (WCHAR *)HeapAlloc(GetProcessHeap(), 0, n * sizeof(WCHAR));
    if (w)
        MultiByteToWideChar(CP_UTF8, 0, s, -1, w, n);
    return w;
}

/* Grows like the server's listing: its buffers start at 259 units/bytes. */
static BOOL list_key(const WCHAR *path, BYTE **big, DWORD *big_size)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key))
        return FALSE;
    WCHAR name[260];
    BYTE small[260];
    BOOL ok = TRUE;
    for (DWORD i = 0;;)
    {
        BYTE *data = *big ? *big : small;
        DWORD name_len = 259, data_len = *big ? *big_size : 259, type;
        LONG rc = RegEnumValueW(key, i, name, &name_len, NULL, &type, data, &data_len);
        if (rc == ERROR_MORE_DATA && data_len > (*big ? *big_size : 259))
        {
            HeapFree(GetProcessHeap(), 0, *big);
            *big = (BYTE *)HeapAlloc(GetProcessHeap(), 0, data_len);
            *big_size = data_len;
            if (!*big)
            {
                ok = FALSE;
                break;
            }
            continue;
        }
        if (rc)
        {
            ok = rc == ERROR_NO_MORE_ITEMS;
            break;
        }
        i++;
    }
    for (DWORD i = 0; ok; i++)
    {
        DWORD name_len = 259;
        LONG rc = RegEnumKeyExW(key, i, name, &name_len, NULL, NULL, NULL, NULL);
        if (rc)
        {
            ok = rc == ERROR_NO_MORE_ITEMS;
            break;
        }
    }
    RegCloseKey(key);
    return ok;
}

/* As the server reads one value: open, query into a 260-byte buffer, close. */
static BOOL get_value(const WCHAR *path, const WCHAR *name)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key))
        return FALSE;
    BYTE data[260];
    DWORD type, size = sizeof(data);
    LONG rc = RegQueryValueExW(key, name, NULL, &type, data, &size);
    RegCloseKey(key);
    return rc == 0;
}

static BOOL expand(const WCHAR *text)
{
    WCHAR out[1024];
    DWORD n = ExpandEnvironmentStringsW(text, out, sizeof(out) / sizeof(out[0]));
    return n && n <= sizeof(out) / sizeof(out[0]);
}

static BOOL set_value(const WCHAR *path, const WCHAR *name, DWORD type, const BYTE *data, DWORD size)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, NULL, 0, KEY_READ | KEY_SET_VALUE, NULL, &key, NULL))
        return FALSE;
    LONG rc = RegSetValueExW(key, name, 0, type, data, size);
    RegCloseKey(key);
    return rc == 0;
}

static BOOL delete_value(const WCHAR *path, const WCHAR *name)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_ALL_ACCESS, &key))
        return FALSE;
    LONG rc = RegDeleteValueW(key, name);
    RegCloseKey(key);
    return rc == 0;
}

static BOOL unix_name(unix_name_fn fn, const WCHAR *path)
{
    char *name = fn ? fn(path) : NULL;
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

static BOOL appdata(void)
{
    WCHAR path[MAX_PATH];
    return SHGetFolderPathAndSubDirW(NULL, CSIDL_APPDATA, NULL, SHGFP_TYPE_CURRENT, NULL, path) == S_OK;
}

static int compare_doubles(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char **argv)
{
    if (argc != 4 || atoi(argv[3]) <= 0)
    {
        fprintf(stderr, "usage: inproc_bench getregkey|getregvalue|setregkey|setqword|rmregvalue|setbinary|"
                        "unixpath|findfiles|getexpandedstr|expandstr ARG N\n");
        return 2;
    }
    const char *op = argv[1];
    WCHAR *arg = widen(argv[2]);
    int n = atoi(argv[3]);
    double *samples = (double *)HeapAlloc(GetProcessHeap(), 0, n * sizeof(double));
    BYTE *blob = NULL, *list_buf = NULL;
    DWORD blob_size = 1 << 20, list_size = 0;
    if (!strcmp(op, "setbinary"))
    {
        blob = (BYTE *)HeapAlloc(GetProcessHeap(), 0, blob_size);
        if (blob)
            for (DWORD i = 0; i < blob_size; i++)
                blob[i] = (BYTE)i;
    }
    unix_name_fn to_unix =
        (unix_name_fn)(void *)GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_unix_file_name");

    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    BOOL ok = arg && samples;
    for (int i = 0; i < n && ok; i++)
    {
        DWORD value = (DWORD)i;
        if (!strcmp(op, "rmregvalue"))
            ok = set_value(arg, L"bench", REG_DWORD, (const BYTE *)&value, sizeof(value));
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        if (!ok)
            ;
        else if (!strcmp(op, "getregkey"))
            ok = list_key(arg, &list_buf, &list_size);
        else if (!strcmp(op, "getregvalue"))
            ok = get_value(arg, L"a");
        else if (!strcmp(op, "setregkey"))
            ok = set_value(arg, L"bench", REG_DWORD, (const BYTE *)&value, sizeof(value));
        else if (!strcmp(op, "setqword"))
        {
            ULONGLONG qword = 0x0102030405060700ull + (ULONGLONG)i;
            ok = set_value(arg, L"benchq", REG_QWORD, (const BYTE *)&qword, sizeof(qword));
        }
        else if (!strcmp(op, "rmregvalue"))
            ok = delete_value(arg, L"bench");
        else if (!strcmp(op, "setbinary"))
            ok = blob && set_value(arg, L"blob", REG_BINARY, blob, blob_size);
        else if (!strcmp(op, "unixpath"))
            ok = unix_name(to_unix, arg);
        else if (!strcmp(op, "findfiles"))
            ok = list_files(arg);
        else if (!strcmp(op, "getexpandedstr"))
            ok = appdata();
        else if (!strcmp(op, "expandstr"))
            ok = expand(arg);
        else
            ok = FALSE;
        QueryPerformanceCounter(&end);
        if (ok)
            samples[i] = (double)(end.QuadPart - start.QuadPart) * 1e6 / (double)freq.QuadPart;
    }
    if (ok)
    {
        qsort(samples, n, sizeof(double), compare_doubles);
        int p95 = (int)(0.95 * (n - 1) + 0.5);
        printf("%.3f %.3f\n", samples[(n - 1) / 2], samples[p95]);
    }
    else
        fprintf(stderr, "inproc_bench: %s failed\n", op);
    HeapFree(GetProcessHeap(), 0, list_buf);
    HeapFree(GetProcessHeap(), 0, blob);
    HeapFree(GetProcessHeap(), 0, samples);
    HeapFree(GetProcessHeap(), 0, arg);
    return ok ? 0 : 1;
}
