// An independent view from inside the prefix for the file-system tests:
// asks the platform directly, one question per input line, one hex answer
// line each (so LF and other bytes come through intact).
//   unix PATH      -> wine_get_unix_file_name(PATH) as hex bytes, or "null"
//   find PATTERN   -> one "d:NAME:SHORT" or "f:NAME:SHORT" per entry (UTF-8, hex; SHORT
//                     empty when the platform has no short name), space-separated,
//                     or "errno N"
//   env NAME       -> the variable's bytes as hex (GetEnvironmentVariableA), or "unset"
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

static void put_hex(const char *bytes, size_t n)
{
    for (size_t i = 0; i < n; i++)
        printf("%02x", (unsigned char)bytes[i]);
}

static WCHAR *to_wide(const char *utf8)
{
    static WCHAR wide[4096];
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 4096);
    return wide;
}

int main(void)
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    typedef char *(CDECL * unix_name_t)(const WCHAR *);
    unix_name_t unix_name =
        (unix_name_t)(void (*)(void))GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_unix_file_name");

    static char line[8192];
    while (fgets(line, sizeof(line), stdin))
    {
        line[strcspn(line, "\n")] = 0;
        char *arg = strchr(line, ' ');
        arg = arg ? arg + 1 : line + strlen(line);
        if (!strncmp(line, "unix ", 5))
        {
            char *path = unix_name ? unix_name(to_wide(arg)) : NULL;
            if (path)
                put_hex(path, strlen(path));
            else
                printf("null");
            HeapFree(GetProcessHeap(), 0, path);
        }
        else if (!strncmp(line, "find ", 5))
        {
            WIN32_FIND_DATAW data;
            HANDLE find = FindFirstFileW(to_wide(arg), &data);
            if (find == INVALID_HANDLE_VALUE)
                printf("errno %lu", (unsigned long)GetLastError());
            else
            {
                do
                {
                    char name[1024];
                    int n = WideCharToMultiByte(CP_UTF8, 0, data.cFileName, -1, name, sizeof(name), NULL, NULL);
                    printf("%s:", (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? "d" : "f");
                    put_hex(name, n > 0 ? n - 1 : 0);
                    n = WideCharToMultiByte(CP_UTF8, 0, data.cAlternateFileName, -1, name, sizeof(name), NULL, NULL);
                    printf(":");
                    put_hex(name, n > 0 ? n - 1 : 0);
                    printf(" ");
                } while (FindNextFileW(find, &data));
                FindClose(find);
            }
        }
        else if (!strncmp(line, "env ", 4))
        {
            static char value[65536];
            DWORD n = GetEnvironmentVariableA(arg, value, sizeof(value));
            if (n && n < sizeof(value))
                put_hex(value, n);
            else
                printf("unset");
        }
        else
            printf("unknown");
        printf("\n");
        fflush(stdout);
    }
    return 0;
}
