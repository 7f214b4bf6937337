/*
 * qvmanip: a command server that lets a controlling process inspect and
 * change the Wine prefix it runs in.
 *
 * The controller starts it with pipes on stdin/stdout and waits for the
 * handshake line.  Each request is one line, "command argument text"; each
 * answer is whatever the handler writes, followed by "\nend\n".
 */

#include <windows.h>
#include <io.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <wctype.h>

struct command
{
    const char *name;
    void (*func)(char *args);
};

/* ------------------------------------------------------------------------ */
/* Line reader                                                              */
/* ------------------------------------------------------------------------ */

static char *buffer;
static int buffer_size;
static int buffer_len;
static int buffer_pos;

/* Bytes the buffer must hold after a refill.  The sizes are signed 32-bit,
 * so a line that would not fit them is refused like a failed allocation. */
static BOOL line_buffer_need(int held, int got, int *need)
{
    if (held < 0 || got < 0 || held > INT_MAX - got)
        return FALSE;
    *need = held + got;
    return TRUE;
}

static char *raw_input(void)
{
    char chunk[4096];

    for (;;)
    {
        if (buffer_pos < buffer_len)
        {
            char *lf = (char *)memchr(buffer + buffer_pos, '\n', buffer_len - buffer_pos);
            if (lf)
            {
                char *line = buffer + buffer_pos;
                *lf = 0;
                buffer_pos = (int)(lf - buffer) + 1;
                return line;
            }
        }

        int got = _read(0, chunk, sizeof(chunk));
        if (got <= 0)
            return NULL;

        int held = buffer_len - buffer_pos;
        int need;
        if (!line_buffer_need(held, got, &need))
            return NULL;

        char *target;
        if (buffer_size >= need)
        {
            if (!buffer)
                return NULL;
            target = buffer;
        }
        else
        {
            target = (char *)HeapAlloc(GetProcessHeap(), 0, need);
            if (!target)
                return NULL;
        }

        memmove(target, buffer + buffer_pos, held);
        memcpy(target + held, chunk, got);

        if (target != buffer)
        {
            if (buffer)
                HeapFree(GetProcessHeap(), 0, buffer);
            buffer = target;
            buffer_size = need;
        }
        buffer_len = need;
        buffer_pos = 0;
    }
}

/* ------------------------------------------------------------------------ */
/* Text conversion and escaping                                             */
/* ------------------------------------------------------------------------ */

static void *heap_alloc(SIZE_T size)
{
    return HeapAlloc(GetProcessHeap(), 0, size);
}

static void heap_free(void *block)
{
    if (block)
        HeapFree(GetProcessHeap(), 0, block);
}

/* UTF-8 -> new NUL-terminated UTF-16 block, or NULL when out of memory. */
static WCHAR *AtoW(const char *str)
{
    int units = MultiByteToWideChar(CP_UTF8, 0, str, -1, NULL, 0);
    if (units <= 0)
        return NULL;
    WCHAR *strW = (WCHAR *)heap_alloc((SIZE_T)units * sizeof(WCHAR));
    if (!strW)
        return NULL;
    MultiByteToWideChar(CP_UTF8, 0, str, -1, strW, units);
    return strW;
}

/* UTF-16 (n units, or -1 for up to and including the NUL) -> new UTF-8
 * block; *len receives the byte count.  NULL when out of memory. */
static char *WtoA_n(const WCHAR *wstr, int n, int *len)
{
    int bytes = n == 0 ? 0 : WideCharToMultiByte(CP_UTF8, 0, wstr, n, NULL, 0, NULL, NULL);
    if (bytes < 0)
        bytes = 0;
    /* never ask the heap for zero bytes, so an empty result is not mistaken for failure */
    char *str = (char *)heap_alloc(bytes ? bytes : 1);
    if (!str)
    {
        *len = 0;
        return NULL;
    }
    if (bytes)
        WideCharToMultiByte(CP_UTF8, 0, wstr, n, str, bytes, NULL, NULL);
    else
        str[0] = 0;
    *len = bytes;
    return str;
}

static char *WtoA(const WCHAR *wstr)
{
    int len;
    return WtoA_n(wstr, -1, &len);
}

/* Writes str[0..n) escaped; plain runs go out in one fwrite. */
static void send_escaped_bytes(const char *str, size_t n, BOOL escape_nul)
{
    size_t run = 0;
    for (size_t i = 0; i < n; i++)
    {
        const char *escape = NULL;
        switch (str[i])
        {
        case '\n': escape = "\\n"; break;
        case '\\': escape = "\\\\"; break;
        case 0:
            if (escape_nul)
                escape = "\\0";
            break;
        }
        if (!escape)
            continue;
        fwrite(str + run, 1, i - run, stdout);
        fwrite(escape, 1, 2, stdout);
        run = i + 1;
    }
    fwrite(str + run, 1, n - run, stdout);
}

static void sendescapedstring(const char *str)
{
    send_escaped_bytes(str, strlen(str), FALSE);
}

static void sendescapedstring_n(const char *str, unsigned int n)
{
    send_escaped_bytes(str, n, TRUE);
}

/* Undoes backslash-n and double backslashes; any other backslash stays. */
static char *readescapedstring(const char *str)
{
    if (!str)
        return NULL;
    char *result = (char *)heap_alloc(strlen(str) + 1);
    if (!result)
        return NULL;

    char *out = result;
    while (*str)
    {
        if (str[0] == '\\' && str[1] == 'n')
        {
            *out++ = '\n';
            str += 2;
        }
        else if (str[0] == '\\' && str[1] == '\\')
        {
            *out++ = '\\';
            str += 2;
        }
        else
            *out++ = *str++;
    }
    *out = 0;
    return result;
}

/* ------------------------------------------------------------------------ */
/* Registry commands                                                        */
/* ------------------------------------------------------------------------ */

static void getregkey_cmd(char *args)
{
    (void)args;
}

static void setregkey_cmd(char *args)
{
    (void)args;
}

static void rmregtree_cmd(char *args)
{
    (void)args;
}

static void rmregvalue_cmd(char *args)
{
    (void)args;
}

/* ------------------------------------------------------------------------ */
/* File-system commands                                                     */
/* ------------------------------------------------------------------------ */

static void unixpath_cmd(char *args)
{
    (void)args;
}

static void windowspath_cmd(char *args)
{
    (void)args;
}

static void adddrive_cmd(char *args)
{
    (void)args;
}

static void rmdrive_cmd(char *args)
{
    (void)args;
}

static void findfiles_cmd(char *args)
{
    (void)args;
}

/* Writes a folder path that the platform put in a MAX_PATH buffer. */
static void send_folder(const WCHAR *folderW)
{
    char *folderA = WtoA(folderW);
    if (folderA)
        fputs(folderA, stdout);
    heap_free(folderA);
}

static void getsystemdir_cmd(char *args)
{
    WCHAR systemdir[MAX_PATH];
    (void)args;
    UINT len = GetSystemDirectoryW(systemdir, MAX_PATH);
    if (len && len < MAX_PATH)
        send_folder(systemdir);
}

static void getwindowsdir_cmd(char *args)
{
    WCHAR windowsdir[MAX_PATH];
    (void)args;
    UINT len = GetWindowsDirectoryW(windowsdir, MAX_PATH);
    if (len && len < MAX_PATH)
        send_folder(windowsdir);
}

static void getexpandedstr_cmd(char *args)
{
    (void)args;
}

/* ------------------------------------------------------------------------ */
/* Command loop                                                             */
/* ------------------------------------------------------------------------ */

static const struct command commands[] = {
    {"findfiles", findfiles_cmd},
    {"getregkey", getregkey_cmd},
    {"getsystemdir", getsystemdir_cmd},
    {"getwindowsdir", getwindowsdir_cmd},
    {"unixpath", unixpath_cmd},
    {"windowspath", windowspath_cmd},
    {"getexpandedstr", getexpandedstr_cmd},
    {"setregkey", setregkey_cmd},
    {"adddrive", adddrive_cmd},
    {"rmdrive", rmdrive_cmd},
    {"rmregtree", rmregtree_cmd},
    {"rmregvalue", rmregvalue_cmd},
    {NULL, NULL},
};

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR cmdline, int show)
{
    (void)instance;
    (void)previous;
    (void)cmdline;
    (void)show;

    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);

    if (fputs("QVMANIP OK\n", stdout) < 0)
        return 2;

    for (;;)
    {
        fflush(stdout);

        char *line = raw_input();
        if (!line)
            return 0;

        char *args = strchr(line, ' ');
        if (args)
            *args++ = 0;
        else
            args = line + strlen(line);

        if (!strcmp(line, "quit"))
            return 0;

        for (const struct command *cmd = commands; cmd->name; cmd++)
        {
            if (!strcmp(cmd->name, line))
            {
                cmd->func(args);
                break;
            }
        }

        fputs("\nend\n", stdout);
    }
}
