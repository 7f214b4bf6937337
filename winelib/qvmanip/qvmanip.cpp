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
/* The bytes from buffer_pos up to here hold no LF: the search goes on from
 * here, so a line that spans many reads is searched once. */
static int buffer_scan;

#define LINE_CHUNK 4096
/* A larger buffer that holds little is given back before the next read, so
 * one huge line does not pin its memory for the rest of the session. */
#define LINE_BUFFER_KEEP (64 * 1024)

/* Bytes the buffer must hold after a refill.  The sizes are signed 32-bit,
 * so a line that would not fit them is refused like a failed allocation. */
static BOOL line_buffer_need(int held, int got, int *need)
{
    if (held < 0 || got < 0 || held > INT_MAX - got)
        return FALSE;
    *need = held + got;
    return TRUE;
}

/* Moves the unconsumed bytes to the start of target, which replaces the
 * buffer unless it is the buffer itself. */
static void line_buffer_move(char *target)
{
    int held = buffer_len - buffer_pos;
    if (held)
        memmove(target, buffer + buffer_pos, held);
    buffer_scan -= buffer_pos;
    buffer_len = held;
    buffer_pos = 0;
    if (target != buffer)
    {
        if (buffer)
            HeapFree(GetProcessHeap(), 0, buffer);
        buffer = target;
    }
}

/* Room for need unconsumed bytes.  The capacity at least doubles when it
 * grows, so assembling a long line costs time in proportion to its length;
 * when the heap cannot give that much, exactly what is needed will do. */
static BOOL line_buffer_room(int need)
{
    if (buffer && need <= buffer_size - buffer_pos)
        return TRUE;
    if (buffer && need <= buffer_size / 2)
    {
        line_buffer_move(buffer);
        return TRUE;
    }
    int size = buffer_size > INT_MAX / 2 ? INT_MAX : buffer_size * 2;
    if (size < LINE_CHUNK)
        size = LINE_CHUNK;
    if (size < need)
        size = need;
    char *block = (char *)HeapAlloc(GetProcessHeap(), 0, size);
    if (!block && size > need)
    {
        size = need;
        block = (char *)HeapAlloc(GetProcessHeap(), 0, size);
    }
    if (!block)
        return FALSE;
    line_buffer_move(block);
    buffer_size = size;
    return TRUE;
}

/* Gives back a large buffer that holds little: all of it when it is empty,
 * else all but a small block for the bytes it still holds. */
static void line_buffer_trim(void)
{
    int held = buffer_len - buffer_pos;
    if (buffer_size <= LINE_BUFFER_KEEP || held > buffer_size / 8)
        return;
    if (!held)
    {
        HeapFree(GetProcessHeap(), 0, buffer);
        buffer = NULL;
        buffer_size = buffer_len = buffer_pos = buffer_scan = 0;
        return;
    }
    int size = held * 2 > LINE_BUFFER_KEEP ? held * 2 : LINE_BUFFER_KEEP;
    char *block = (char *)HeapAlloc(GetProcessHeap(), 0, size);
    if (!block)
        return;
    line_buffer_move(block);
    buffer_size = size;
}

static char *raw_input(void)
{
    char chunk[LINE_CHUNK];

    for (;;)
    {
        int from = buffer_scan > buffer_pos ? buffer_scan : buffer_pos;
        if (from < buffer_len)
        {
            char *lf = (char *)memchr(buffer + from, '\n', buffer_len - from);
            if (lf)
            {
                char *line = buffer + buffer_pos;
                *lf = 0;
                buffer_pos = (int)(lf - buffer) + 1;
                buffer_scan = buffer_pos;
                return line;
            }
        }
        buffer_scan = buffer_len;

        /* No line is handed out any more, so the buffer may move. */
        line_buffer_trim();

        int got = _read(0, chunk, sizeof(chunk));
        if (got <= 0)
            return NULL;

        int need;
        if (!line_buffer_need(buffer_len - buffer_pos, got, &need) || !line_buffer_room(need))
            return NULL;
        memcpy(buffer + buffer_len, chunk, got);
        buffer_len += got;
    }
}

/* Whether a whole request is already read: answers wait in the output buffer
 * until the server would block for input, so a pipelined batch leaves in a
 * few pipe writes rather than one per answer. */
static BOOL line_pending(void)
{
    int from = buffer_scan > buffer_pos ? buffer_scan : buffer_pos;
    if (from >= buffer_len)
        return FALSE;
    if (memchr(buffer + from, '\n', buffer_len - from))
        return TRUE;
    buffer_scan = buffer_len;
    return FALSE;
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

/* UTF-8 -> new NUL-terminated UTF-16 block, or NULL when out of memory.
 * The bytes are converted by count and the NUL added here: asked to convert
 * up to the terminator, Wine takes the NUL after a cut-off 3- or 4-byte
 * sequence ("a\xe9") into the invalid sequence and returns no terminator. */
static WCHAR *AtoW(const char *str)
{
    size_t bytes = strlen(str);
    if (bytes >= INT_MAX)
        return NULL;
    int units = bytes ? MultiByteToWideChar(CP_UTF8, 0, str, (int)bytes, NULL, 0) : 0;
    if (bytes && units <= 0)
        return NULL;
    WCHAR *strW = (WCHAR *)heap_alloc(((SIZE_T)units + 1) * sizeof(WCHAR));
    if (!strW)
        return NULL;
    if (units)
        units = MultiByteToWideChar(CP_UTF8, 0, str, (int)bytes, strW, units);
    strW[units] = 0;
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
static void sendescapedbytes(const char *str, size_t n, BOOL escape_nul)
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

/* The runtime flushes standard output at every LF that fputc (and so
 * printf) writes: a pipe write per line.  LFs written with fwrite wait in the
 * buffer, so an answer goes out at once when it is complete. */
static void sendlf(void)
{
    fwrite("\n", 1, 1, stdout);
}

/* The runtime's printf hands every character of its output to fputc on its
 * own, so answers are written with fputs and fwrite; this writes the prefix
 * and the number in decimal, as "%i" and "%u" would. */
static void senddecimal(const char *prefix, long long value)
{
    char text[24];
    char *end = text + sizeof(text), *digit = end;
    unsigned long long magnitude = value < 0 ? 0ull - (unsigned long long)value : (unsigned long long)value;
    do
        *--digit = (char)('0' + magnitude % 10);
    while (magnitude /= 10);
    if (value < 0)
        *--digit = '-';
    fputs(prefix, stdout);
    fwrite(digit, 1, end - digit, stdout);
}

/* "errno N": a registry call's LONG shows signed, as "%i" would, and a
 * GetLastError DWORD unsigned, as "%u" would; the argument's own type picks. */
static void senderrno(long long code)
{
    senddecimal("errno ", code);
}

/* Two lower-case hex digits per byte, written in runs. */
static void sendhex(const unsigned char *data, unsigned int size)
{
    static const char digits[] = "0123456789abcdef";
    char run[512];
    unsigned int used = 0;
    for (unsigned int i = 0; i < size; i++)
    {
        run[used++] = digits[data[i] >> 4];
        run[used++] = digits[data[i] & 15];
        if (used == sizeof(run))
        {
            fwrite(run, 1, used, stdout);
            used = 0;
        }
    }
    fwrite(run, 1, used, stdout);
}

static void sendescapedstring(const char *str)
{
    sendescapedbytes(str, strlen(str), FALSE);
}

static void sendescapedstring_n(const char *str, unsigned int n)
{
    sendescapedbytes(str, n, TRUE);
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

/* The view a registry command acts on. */
enum reg_arch
{
    REG_WIN32 = 0,
    REG_NATIVE = 1,
    REG_BOTH = 2,
};

/* Tried in this order; each name is compared together with its backslash. */
static const struct
{
    const char *name;
    HKEY key;
} reg_roots[] = {
    {"HKEY_CLASSES_ROOT\\", HKEY_CLASSES_ROOT},
    {"HKEY_CURRENT_USER\\", HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE\\", HKEY_LOCAL_MACHINE},
    {"HKEY_USERS\\", HKEY_USERS},
    {"HKCR\\", HKEY_CLASSES_ROOT},
    {"HKCU\\", HKEY_CURRENT_USER},
    {"HKLM\\", HKEY_LOCAL_MACHINE},
    {"HKU\\", HKEY_USERS},
};

/* Splits "[32\|3264\]ROOT\key path"; *subtree points into path. */
static int get_reg_root(const char *path, HKEY *rootkey, enum reg_arch *arch, const char **subtree)
{
    *arch = REG_NATIVE;
    if (!strncmp(path, "32\\", 3))
    {
        *arch = REG_WIN32;
        path += 3;
    }
    else if (!strncmp(path, "3264\\", 5))
    {
        *arch = REG_BOTH;
        path += 5;
    }

    for (size_t i = 0; i < sizeof(reg_roots) / sizeof(reg_roots[0]); i++)
    {
        size_t len = strlen(reg_roots[i].name);
        if (!_strnicmp(path, reg_roots[i].name, len))
        {
            *rootkey = reg_roots[i].key;
            *subtree = path + len;
            return 1;
        }
    }
    return 0;
}

/* A modifying registry request, unescaped and split into its LF-separated
 * fields: the path, then for the commands that take them the value name and
 * the rest of the text (which may hold LF itself). */
struct reg_request
{
    char *argsA; /* the unescaped argument; rest points into it */
    HKEY rootkey;
    enum reg_arch arch;
    WCHAR *subtreeW;
    WCHAR *nameW;     /* with two fields or more */
    const char *rest; /* with three fields */
};

/* NULL when the request holds its fields and a valid path, else the answer.
 * Either way freeregrequest releases what it took. */
static const char *readregrequest(char *args, int fields, struct reg_request *req)
{
    memset(req, 0, sizeof(*req));
    req->argsA = readescapedstring(args);
    if (!req->argsA)
        return "error unable to unescape args";
    if (fields > 1)
    {
        /* one field: the whole text is the path, an LF belongs to a key name */
        char *name = strchr(req->argsA, '\n');
        char *rest = name && fields > 2 ? strchr(name + 1, '\n') : NULL;
        if (!name || (fields > 2 && !rest))
            return "error invalid command line";
        *name++ = 0;
        if (rest)
        {
            *rest++ = 0;
            req->rest = rest;
        }
        req->nameW = AtoW(name);
        if (!req->nameW)
            return "error out of memory";
    }
    const char *subtree;
    if (!get_reg_root(req->argsA, &req->rootkey, &req->arch, &subtree))
        return "error not a valid root key";
    req->subtreeW = AtoW(subtree);
    if (!req->subtreeW)
        return "error out of memory";
    return NULL;
}

static void freeregrequest(struct reg_request *req)
{
    heap_free(req->subtreeW);
    heap_free(req->nameW);
    heap_free(req->argsA);
}

/* The longest key path (below its root) the registry calls take, in UTF-16
 * units: Wine cuts a longer one to this length without a word, and the call
 * would act on an ancestor of the key named (rmregtree would delete it). A
 * longer path is refused as Wine refuses an over-long key name. */
#define REG_PATH_MAX 32766

static BOOL reg_path_fits(const WCHAR *subtreeW)
{
    return wcslen(subtreeW) <= REG_PATH_MAX;
}

/* Wine's headers here have no wine_is_64bit; this is the same build-time test. */
static BOOL reg_64bit_build(void)
{
#ifdef _WIN64
    return TRUE;
#else
    return FALSE;
#endif
}

/* A 32-bit server sees only its own view, so there the prefixes are accepted
 * but every modifying command makes one pass in the default view. */
static enum reg_arch reg_view_gate(enum reg_arch arch, BOOL is_64bit)
{
    return is_64bit ? arch : REG_NATIVE;
}

static REGSAM reg_access(REGSAM rights, enum reg_arch arch)
{
    return arch == REG_WIN32 ? rights | KEY_WOW64_32KEY : rights;
}

/* One pass of a modifying command: NULL when it succeeded, else its message. */
typedef const char *(*reg_pass_func)(enum reg_arch arch, void *context);

/* REG_BOTH acts in the default view, then in the 32-bit view.  A failed pass
 * ends the loop; what an earlier pass changed stays changed. */
static void reg_view_loop(enum reg_arch arch, reg_pass_func pass, void *context)
{
    arch = reg_view_gate(arch, reg_64bit_build());
    for (;;)
    {
        const char *failure = pass(arch, context);
        if (failure)
        {
            fputs(failure, stdout);
            return;
        }
        if (arch != REG_BOTH)
            break;
        arch = REG_WIN32;
    }
    fputs("success", stdout);
}

static BOOL reg_text_type(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_LINK || type == REG_MULTI_SZ;
}

/* Type, data and LF of one value line.  FALSE when the text could not be
 * converted; the line is then ended without its data. */
static BOOL sendregvalue(DWORD type, const BYTE *data, DWORD size)
{
    BOOL ok = TRUE;

    senddecimal("", (int)type);
    if (reg_text_type(type))
    {
        int len;
        char *textA = WtoA_n((const WCHAR *)data, (int)(size / 2), &len);
        fwrite(" =", 1, 2, stdout);
        if (textA)
            sendescapedstring_n(textA, (unsigned int)len);
        else
            ok = FALSE;
        heap_free(textA);
    }
    else
    {
        fwrite(" ", 1, 1, stdout);
        sendhex(data, size);
    }
    sendlf();
    return ok;
}

/* The error line that ends a phase of a listing. */
static void senderrnoline(LONG code)
{
    senderrno(code);
    sendlf();
}

/* Replaces *dynamic with a block of size bytes; FALSE (nothing changed) when
 * the heap cannot supply it. */
static BOOL reg_grow(void **dynamic, SIZE_T size)
{
    void *block = heap_alloc(size);
    if (!block)
        return FALSE;
    heap_free(*dynamic);
    *dynamic = block;
    return TRUE;
}

/* The longest value name the registry takes, in characters. */
#define REG_VALUE_NAME_MAX 16383

/* The name and data buffers of one listing: the call's own storage first,
 * grown on the heap when an entry does not fit; the name buffer serves the
 * values and then the subkeys. */
struct reg_listing_buffers
{
    WCHAR static_wbuf[260];
    BYTE static_buf[260];
    void *dynamic_wbuf;
    void *dynamic_buf;
    WCHAR *wbuf;
    BYTE *buf;
    DWORD wbuf_size;
    DWORD buf_size;
};

/* Grows the name buffer to name_size units (its NUL not counted). */
static BOOL grow_name_buffer(struct reg_listing_buffers *b, DWORD name_size)
{
    if (!reg_grow(&b->dynamic_wbuf, ((SIZE_T)name_size + 1) * sizeof(WCHAR)))
        return FALSE;
    b->wbuf = (WCHAR *)b->dynamic_wbuf;
    b->wbuf_size = name_size;
    return TRUE;
}

/* "value NAME\0 " of one value line; FALSE when the name could not be
 * converted, and then nothing is written. */
static BOOL sendregvaluename(const WCHAR *nameW)
{
    int len;
    char *nameA = WtoA_n(nameW, -1, &len);
    if (!nameA)
        return FALSE;
    fputs("value ", stdout);
    sendescapedstring(nameA);
    fputs("\\0 ", stdout);
    heap_free(nameA);
    return TRUE;
}

static void sendregvalues(HKEY key, struct reg_listing_buffers *b)
{
    for (DWORD index = 0;;)
    {
        DWORD name_size = b->wbuf_size, data_size = b->buf_size, type;
        LONG res = RegEnumValueW(key, index, b->wbuf, &name_size, NULL, &type, b->buf, &data_size);
        if (res == ERROR_SUCCESS)
        {
            if (!sendregvaluename(b->wbuf))
            {
                senderrnoline(ERROR_NOT_ENOUGH_MEMORY);
                return;
            }
            if (!sendregvalue(type, b->buf, data_size))
            {
                senderrnoline(ERROR_NOT_ENOUGH_MEMORY);
                return;
            }
            index++;
        }
        else if (res == ERROR_MORE_DATA)
        {
            /* Wine does not report the size of a name that does not fit: the
             * name buffer then grows once to the longest name the registry
             * takes.  Should that not do either, asking again with the same
             * buffers would never end. */
            if (name_size <= b->wbuf_size && data_size <= b->buf_size)
            {
                if (b->wbuf_size > REG_VALUE_NAME_MAX)
                {
                    senderrnoline(res);
                    return;
                }
                name_size = REG_VALUE_NAME_MAX + 1; /* with its NUL */
            }
            if (name_size > b->wbuf_size && !grow_name_buffer(b, name_size))
            {
                senderrnoline(ERROR_NOT_ENOUGH_MEMORY);
                return;
            }
            if (data_size > b->buf_size)
            {
                if (!reg_grow(&b->dynamic_buf, data_size))
                {
                    senderrnoline(ERROR_NOT_ENOUGH_MEMORY);
                    return;
                }
                b->buf = (BYTE *)b->dynamic_buf;
                b->buf_size = data_size;
            }
        }
        else
        {
            if (res != ERROR_NO_MORE_ITEMS)
                senderrnoline(res);
            return;
        }
    }
}

static void sendregsubkeys(HKEY key, struct reg_listing_buffers *b)
{
    for (DWORD index = 0;;)
    {
        DWORD name_size = b->wbuf_size;
        LONG res = RegEnumKeyExW(key, index, b->wbuf, &name_size, NULL, NULL, NULL, NULL);
        if (res == ERROR_SUCCESS)
        {
            int len;
            char *nameA = WtoA_n(b->wbuf, -1, &len);
            if (!nameA)
            {
                senderrnoline(ERROR_NOT_ENOUGH_MEMORY);
                return;
            }
            /* A key name may hold LF; escaped like value names it cannot split
             * the listing, and it never holds a backslash, so nothing else
             * changes. */
            fputs("subkey ", stdout);
            sendescapedstring(nameA);
            sendlf();
            heap_free(nameA);
            index++;
        }
        else if (res == ERROR_MORE_DATA)
        {
            if (name_size <= b->wbuf_size)
            {
                senderrnoline(res);
                return;
            }
            if (!grow_name_buffer(b, name_size))
            {
                senderrnoline(ERROR_NOT_ENOUGH_MEMORY);
                return;
            }
        }
        else
        {
            if (res != ERROR_NO_MORE_ITEMS)
                senderrnoline(res);
            return;
        }
    }
}

static void sendregkey(HKEY key)
{
    struct reg_listing_buffers b;
    b.dynamic_wbuf = b.dynamic_buf = NULL;
    b.wbuf = b.static_wbuf;
    b.buf = b.static_buf;
    b.wbuf_size = 259;
    b.buf_size = 259;

    sendregvalues(key, &b);
    sendregsubkeys(key, &b);

    heap_free(b.dynamic_wbuf);
    heap_free(b.dynamic_buf);
}

static void getregkey_cmd(char *args)
{
    HKEY rootkey, key;
    enum reg_arch arch;
    const char *subtree;

    if (!get_reg_root(args, &rootkey, &arch, &subtree))
    {
        fputs("error not a valid root key", stdout);
        return;
    }
    if (arch == REG_BOTH)
    {
        fputs("error can't read registry key as 32-bit and 64-bit", stdout);
        return;
    }

    WCHAR *subtreeW = AtoW(subtree);
    if (!subtreeW)
    {
        fputs("error out of memory", stdout);
        return;
    }
    LONG res = reg_path_fits(subtreeW) ? RegOpenKeyExW(rootkey, subtreeW, 0, reg_access(KEY_READ, arch), &key)
                                       : ERROR_INVALID_PARAMETER;
    if (res != ERROR_SUCCESS)
        senderrno(res);
    else
    {
        sendregkey(key);
        RegCloseKey(key);
    }
    heap_free(subtreeW);
}

/* How often a value may outgrow the buffer its size was just read for. */
#define MAX_VALUE_REREADS 4

/* Writes the value line of one value, or the error line when it cannot be
 * read. */
static void sendonevalue(HKEY key, const WCHAR *nameW)
{
    BYTE static_buf[260];
    BYTE *buf = static_buf;
    void *dynamic_buf = NULL;
    DWORD buf_size = sizeof(static_buf), type, size = buf_size;
    LONG res;

    for (int rereads = 0;; rereads++)
    {
        size = buf_size;
        res = RegQueryValueExW(key, nameW, NULL, &type, buf, &size);
        if (res != ERROR_MORE_DATA || rereads == MAX_VALUE_REREADS)
            break;
        /* another process may make it larger still before the next read */
        if (!reg_grow(&dynamic_buf, size))
        {
            res = ERROR_NOT_ENOUGH_MEMORY;
            break;
        }
        buf = (BYTE *)dynamic_buf;
        buf_size = size;
    }
    if (res != ERROR_SUCCESS)
        senderrnoline(res);
    else if (!sendregvaluename(nameW))
        senderrnoline(ERROR_NOT_ENOUGH_MEMORY);
    else if (!sendregvalue(type, buf, size))
        senderrnoline(ERROR_NOT_ENOUGH_MEMORY);
    heap_free(dynamic_buf);
}

/* One value, "PATH\nNAME" escaped as the modifying commands take it (a name
 * may hold LF), answered as a listing of that value alone: its value line;
 * "errno N" alone when the key cannot be opened, and the error line
 * "errno N\n" when the value cannot be read (2: there is none). */
static void getregvalue_cmd(char *args)
{
    struct reg_request req;
    HKEY key;

    const char *failure = readregrequest(args, 2, &req);
    if (!failure && req.arch == REG_BOTH)
        failure = "error can't read registry key as 32-bit and 64-bit";
    if (failure)
        fputs(failure, stdout);
    else
    {
        LONG res = reg_path_fits(req.subtreeW)
                       ? RegOpenKeyExW(req.rootkey, req.subtreeW, 0, reg_access(KEY_READ, req.arch), &key)
                       : ERROR_INVALID_PARAMETER;
        if (res != ERROR_SUCCESS)
            senderrno(res);
        else
        {
            sendonevalue(key, req.nameW);
            RegCloseKey(key);
        }
    }
    freeregrequest(&req);
}

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* "hex(N):" and a byte list, as .reg files carry values of any type: N is
 * the type number in hex (up to 8 digits), each byte two hex digits, a comma
 * between bytes.  The bytes are stored exactly, so unlike "hex:" nothing is
 * guessed: a list of any other form is refused. */
static const char *get_typed_bytes(const char *literal, DWORD *type, BYTE **data, DWORD *length)
{
    const char *p = literal + 4;
    DWORD number = 0;
    int digits = 0;
    for (; hex_digit(*p) >= 0 && digits <= 8; p++, digits++)
        number = number * 16 + (DWORD)hex_digit(*p);
    if (!digits || digits > 8 || p[0] != ')' || p[1] != ':')
        return "error unable to determine registry data type";
    p += 2;

    size_t chars = strlen(p);
    if (chars && chars % 3 != 2)
        return "error invalid hex data";
    size_t count = chars ? (chars + 1) / 3 : 0;
    BYTE *bytes = (BYTE *)heap_alloc(count ? count : 1);
    if (!bytes)
        return "error out of memory";
    for (size_t i = 0; i < count; i++, p += 3)
    {
        int high = hex_digit(p[0]), low = hex_digit(p[1]);
        if (high < 0 || low < 0 || (i + 1 < count && p[2] != ','))
        {
            heap_free(bytes);
            return "error invalid hex data";
        }
        bytes[i] = (BYTE)(high * 16 + low);
    }
    *type = number;
    *data = bytes;
    *length = (DWORD)count;
    return NULL;
}

/* Value literal -> its type, a new block with the data and its length.
 * NULL when it succeeded, else the answer. */
static const char *get_reg_value(const char *buffer, DWORD *type, BYTE **data, DWORD *length)
{
    BYTE *block = NULL;
    *type = 0;
    *data = NULL;
    *length = 0;

    if (!strncmp(buffer, "dword:", 6))
    {
        *type = REG_DWORD;
        DWORD *value = (DWORD *)heap_alloc(sizeof(DWORD));
        if (value)
        {
            *value = (DWORD)strtoul(buffer + 6, NULL, 16);
            *length = sizeof(DWORD);
        }
        block = (BYTE *)value;
    }
    else if (!strncmp(buffer, "str:", 4) || !strncmp(buffer, "str(2):", 7))
    {
        BOOL plain = buffer[3] == ':';
        *type = plain ? REG_SZ : REG_EXPAND_SZ;
        WCHAR *textW = AtoW(buffer + (plain ? 4 : 7));
        if (textW)
            *length = (DWORD)(wcslen(textW) + 1) * sizeof(WCHAR);
        block = (BYTE *)textW;
    }
    else if (!strncmp(buffer, "str(7):", 7))
    {
        *type = REG_MULTI_SZ;
        WCHAR *textW = AtoW(buffer + 7);
        if (textW)
        {
            /* backslash-0 separates the strings; pairs never overlap */
            WCHAR *in = textW, *out = textW;
            while (*in)
            {
                if (in[0] == '\\' && in[1] == '0')
                {
                    *out++ = 0;
                    in += 2;
                }
                else
                    *out++ = *in++;
            }
            *out++ = 0;
            *length = (DWORD)(out - textW) * sizeof(WCHAR);
        }
        block = (BYTE *)textW;
    }
    else if (!strncmp(buffer, "hex:", 4))
    {
        const char *p = buffer + 4;
        *type = REG_BINARY;
        /* every byte takes at least one character of the text */
        BYTE *bytes = (BYTE *)heap_alloc(strlen(p) + 1);
        DWORD count = 0;
        while (bytes)
        {
            char *end;
            unsigned long number = strtoul(p, &end, 16);
            if (end == p)
                break; /* no digits */
            bytes[count++] = (BYTE)number;
            if (!*end)
                break;
            p = end + 1; /* one separator, whatever it is */
        }
        *length = count;
        block = bytes;
    }
    else if (!strncmp(buffer, "hex(", 4))
        return get_typed_bytes(buffer, type, data, length);
    else
        return "error unable to determine registry data type";

    *data = block;
    return block ? NULL : "error out of memory";
}

struct setregkey_args
{
    const struct reg_request *req;
    DWORD type;
    const BYTE *data;
    DWORD length;
};

/* The key the last setregkey wrote to stays open while setregkey requests
 * follow each other (an import writes many values to one key in a row); any
 * other request closes it first, so deletions and the views stay exact. Its
 * name is kept in a fixed buffer (a longer one is not kept), so a request
 * leaves no heap block behind. */
static struct
{
    HKEY key;
    HKEY rootkey;
    REGSAM access;
    WCHAR subtreeW[1024];
} open_set_key;

static void close_set_key(void)
{
    if (open_set_key.key)
        RegCloseKey(open_set_key.key);
    open_set_key.key = NULL;
}

/* The key to write to: the open one when it is the same, else created and
 * kept when its name fits.  *close tells the caller to close it itself. */
static HKEY set_key(HKEY rootkey, const WCHAR *subtreeW, REGSAM access, BOOL *close)
{
    *close = FALSE;
    if (open_set_key.key && open_set_key.rootkey == rootkey && open_set_key.access == access &&
        !wcscmp(open_set_key.subtreeW, subtreeW))
        return open_set_key.key;
    close_set_key();
    HKEY key;
    if (RegCreateKeyExW(rootkey, subtreeW, 0, NULL, 0, access, NULL, &key, NULL) != ERROR_SUCCESS)
        return NULL;
    size_t length = wcslen(subtreeW);
    if (length >= sizeof(open_set_key.subtreeW) / sizeof(WCHAR))
    {
        *close = TRUE;
        return key;
    }
    memcpy(open_set_key.subtreeW, subtreeW, (length + 1) * sizeof(WCHAR));
    open_set_key.key = key;
    open_set_key.rootkey = rootkey;
    open_set_key.access = access;
    return key;
}

static const char *setregkey_pass(enum reg_arch arch, void *context)
{
    const struct setregkey_args *set = (const struct setregkey_args *)context;
    const struct reg_request *req = set->req;
    REGSAM access = reg_access(KEY_READ | KEY_SET_VALUE, arch);
    BOOL close;

    if (!reg_path_fits(req->subtreeW))
        return "error unable to create registry key";

    HKEY key = set_key(req->rootkey, req->subtreeW, access, &close);
    if (!key)
        return "error unable to create registry key";
    LONG res = RegSetValueExW(key, req->nameW, 0, set->type, set->data, set->length);
    if (res == ERROR_KEY_DELETED && !close)
    {
        /* another process removed the kept key: create it again */
        close_set_key();
        key = set_key(req->rootkey, req->subtreeW, access, &close);
        if (!key)
            return "error unable to create registry key";
        res = RegSetValueExW(key, req->nameW, 0, set->type, set->data, set->length);
    }
    if (close)
        RegCloseKey(key);
    return res == ERROR_SUCCESS ? NULL : "error unable to set value";
}

static void setregkey_cmd(char *args)
{
    struct reg_request req;
    struct setregkey_args set;
    BYTE *data = NULL;

    const char *failure = readregrequest(args, 3, &req);
    if (!failure)
        failure = get_reg_value(req.rest, &set.type, &data, &set.length);
    if (failure)
        fputs(failure, stdout);
    else
    {
        set.req = &req;
        set.data = data;
        reg_view_loop(req.arch, setregkey_pass, &set);
    }
    heap_free(data);
    freeregrequest(&req);
}

/* Deletes the subkey if it is a registry link; returns whether it was one. */
static BOOL delete_link_key(HKEY hkey, const WCHAR *name, LONG *res)
{
    HKEY link;
    DWORD type;

    if (RegOpenKeyExW(hkey, name, REG_OPTION_OPEN_LINK, KEY_QUERY_VALUE | DELETE, &link) != ERROR_SUCCESS)
        return FALSE;
    if (RegQueryValueExW(link, L"SymbolicLinkValue", NULL, &type, NULL, NULL) != ERROR_SUCCESS ||
        type != REG_LINK)
    {
        RegCloseKey(link);
        return FALSE;
    }
    /* an empty name deletes the key the handle was opened on: the link itself */
    *res = RegDeleteKeyW(link, L"");
    RegCloseKey(link);
    return TRUE;
}

/* The longest key name, in characters: Windows takes 255, Wine 256. */
#define REG_KEY_NAME_MAX 256

/* Deletes everything below hkey, children before parents; hkey stays.
 * Depth first without recursion: the registry takes trees deeper than a
 * thread's stack could follow (one frame per level). The open keys on the
 * way down are kept in a heap block; each emptied key is deleted through its
 * own handle. */
static LONG delete_subkeys(HKEY hkey)
{
    WCHAR subkey_name[REG_KEY_NAME_MAX + 1];
    HKEY *path = NULL; /* the keys opened below hkey, outermost first */
    SIZE_T depth = 0, room = 0;
    HKEY current = hkey;
    LONG res;

    for (;;)
    {
        /* each deletion moves the remaining subkeys down to index 0 */
        res = RegEnumKeyW(current, 0, subkey_name, REG_KEY_NAME_MAX + 1);
        if (res == ERROR_NO_MORE_ITEMS)
        {
            if (!depth)
            {
                res = ERROR_SUCCESS;
                break;
            }
            /* current is empty now: an empty name deletes the key itself */
            res = RegDeleteKeyW(current, L"");
            RegCloseKey(current);
            current = depth > 1 ? path[depth - 2] : hkey;
            depth--;
            if (res != ERROR_SUCCESS)
                break;
            continue;
        }
        if (res != ERROR_SUCCESS)
            break;
        /* a link is removed itself; following it would empty its target,
         * which lies outside the tree */
        if (delete_link_key(current, subkey_name, &res))
        {
            if (res != ERROR_SUCCESS)
                break;
            continue;
        }
        if (depth == room)
        {
            SIZE_T more = room ? room * 2 : 64;
            HKEY *grown = (HKEY *)heap_alloc(more * sizeof(HKEY));
            if (!grown)
            {
                res = ERROR_NOT_ENOUGH_MEMORY;
                break;
            }
            if (depth)
                memcpy(grown, path, depth * sizeof(HKEY));
            heap_free(path);
            path = grown;
            room = more;
        }
        HKEY subkey;
        res = RegOpenKeyW(current, subkey_name, &subkey);
        if (res != ERROR_SUCCESS)
            break;
        path[depth++] = subkey;
        current = subkey;
    }
    while (depth)
        RegCloseKey(path[--depth]);
    heap_free(path);
    return res;
}

static const char *rmregtree_pass(enum reg_arch arch, void *context)
{
    const struct reg_request *rm = (const struct reg_request *)context;
    HKEY key;

    if (!reg_path_fits(rm->subtreeW))
        return "error unable to delete registry tree";
    LONG res = RegOpenKeyExW(rm->rootkey, rm->subtreeW, 0, reg_access(KEY_ALL_ACCESS, arch), &key);
    if (res == ERROR_FILE_NOT_FOUND)
        return NULL; /* nothing to delete in this view */
    if (res != ERROR_SUCCESS)
        return "error unable to delete registry tree";
    res = delete_subkeys(key);
    RegCloseKey(key);
    if (res != ERROR_SUCCESS)
        return "error unable to delete registry tree";
    if (RegDeleteKeyExW(rm->rootkey, rm->subtreeW, arch == REG_WIN32 ? KEY_WOW64_32KEY : 0, 0) != ERROR_SUCCESS)
        return "error unable to delete registry tree";
    return NULL;
}

/* Runs a deletion whose request has the given number of fields. */
static void rmreg_request(char *args, int fields, reg_pass_func pass)
{
    struct reg_request req;
    const char *failure = readregrequest(args, fields, &req);
    if (failure)
        fputs(failure, stdout);
    else
        reg_view_loop(req.arch, pass, &req);
    freeregrequest(&req);
}

static void rmregtree_cmd(char *args)
{
    rmreg_request(args, 1, rmregtree_pass);
}

static const char *rmregvalue_pass(enum reg_arch arch, void *context)
{
    const struct reg_request *rm = (const struct reg_request *)context;
    HKEY key;

    if (!reg_path_fits(rm->subtreeW) ||
        RegOpenKeyExW(rm->rootkey, rm->subtreeW, 0, reg_access(KEY_ALL_ACCESS, arch), &key) != ERROR_SUCCESS)
        return "error unable to open registry key";
    LONG res = RegDeleteValueW(key, rm->nameW);
    RegCloseKey(key);
    return res == ERROR_SUCCESS ? NULL : "error unable to delete value";
}

/* Only the first LF separates: the name may hold more. */
static void rmregvalue_cmd(char *args)
{
    rmreg_request(args, 2, rmregvalue_pass);
}

/* ------------------------------------------------------------------------ */
/* File-system commands                                                     */
/* ------------------------------------------------------------------------ */

#include <shlobj.h>

/* Answers that the controller cannot frame: a raw LF would end a line of a
 * listing early, and "\nend\n" inside a text would end the answer. */
static BOOL has_lf(const char *str)
{
    return str && strchr(str, '\n') != NULL;
}

typedef char *(CDECL *wine_get_unix_file_name_t)(const WCHAR *dosW);
typedef WCHAR *(CDECL *wine_get_dos_file_name_t)(const char *unix_path);

/* Found once, then kept for the life of the process. */
static wine_get_unix_file_name_t pwine_get_unix_file_name;
static wine_get_dos_file_name_t pwine_get_dos_file_name;

static FARPROC kernel32_export(const char *name)
{
    HMODULE kernel32 = GetModuleHandleA("kernel32");
    return kernel32 ? GetProcAddress(kernel32, name) : NULL;
}

/* Unix path of dos_path, or of its longest leading part that maps with the
 * rest appended '/'-separated.  dos_path is edited in place. */
static char *convert_dos_path(WCHAR *dos_path)
{
    if (!pwine_get_unix_file_name)
        pwine_get_unix_file_name = (wine_get_unix_file_name_t)(void (*)(void))kernel32_export("wine_get_unix_file_name");
    if (!pwine_get_unix_file_name)
        return NULL;

    WCHAR *slash;
    while ((slash = wcschr(dos_path, '/')))
        *slash = '\\';

    WCHAR *rest = NULL;
    char *unix_path;
    for (;;)
    {
        WCHAR drive_root[4];
        const WCHAR *try_path = dos_path;
        if (iswalpha(dos_path[0]) && dos_path[1] == ':' && !dos_path[2])
        {
            drive_root[0] = dos_path[0];
            drive_root[1] = ':';
            drive_root[2] = '\\';
            drive_root[3] = 0;
            try_path = drive_root;
        }
        unix_path = pwine_get_unix_file_name(try_path);
        if (unix_path)
            break;

        WCHAR *new_rest = wcsrchr(dos_path, '\\');
        if (!new_rest)
            return NULL;
        if (rest)
            *rest = '/';
        *new_rest = 0;
        rest = new_rest;
    }

    if (!rest)
        return unix_path;

    *rest = '/';
    /* by count, the terminator added here (see AtoW) */
    int rest_units = (int)wcslen(rest);
    int rest_len = WideCharToMultiByte(65010, 0, rest, rest_units, NULL, 0, NULL, NULL);
    size_t len = strlen(unix_path);
    char *full_unix_path = rest_len > 0 ? (char *)heap_alloc(len + rest_len + 1) : NULL;
    if (full_unix_path)
    {
        memcpy(full_unix_path, unix_path, len);
        rest_len = WideCharToMultiByte(65010, 0, rest, rest_units, full_unix_path + len, rest_len, NULL, NULL);
        full_unix_path[len + rest_len] = 0;
    }
    heap_free(unix_path);
    return full_unix_path;
}

/* The longest path Windows takes, in UTF-16 units. */
#define DOS_PATH_MAX 32767

static void unixpath_cmd(char *args)
{
    WCHAR *dos_path = AtoW(args);
    /* No file has a longer name, and Wine takes time that grows with the
     * square of the length to say so (70,000 slashes: half a minute). */
    char *unix_path = dos_path && lstrlenW(dos_path) <= DOS_PATH_MAX ? convert_dos_path(dos_path) : NULL;
    /* A Unix name may hold LF (the prefix's own path, a drive's target); such
     * a path cannot travel unescaped, so it counts as not translatable. */
    if (unix_path && !has_lf(unix_path))
    {
        fputs("path ", stdout);
        fputs(unix_path, stdout);
    }
    else
        fputs("error", stdout);
    heap_free(unix_path);
    heap_free(dos_path);
}

static void windowspath_cmd(char *args)
{
    if (!pwine_get_dos_file_name)
        pwine_get_dos_file_name = (wine_get_dos_file_name_t)(void (*)(void))kernel32_export("wine_get_dos_file_name");
    if (!pwine_get_dos_file_name)
    {
        fputs("error cannot get wine_get_dos_file_name", stdout);
        return;
    }

    WCHAR *dos_pathW = pwine_get_dos_file_name(args);
    char *dos_pathA = dos_pathW ? WtoA(dos_pathW) : NULL;
    if (dos_pathA && !has_lf(dos_pathA))
    {
        fputs("path ", stdout);
        fputs(dos_pathA, stdout);
    }
    else
        fputs("error cannot convert path", stdout);
    heap_free(dos_pathA);
    heap_free(dos_pathW);
}

/* The mount manager's drive record.  Older mount managers take the 16-byte
 * layout; current ones refuse it with ERROR_INVALID_PARAMETER and take the
 * 32-byte one.  Only the fields used here matter; the others stay zero. */
struct mountmgr_unix_drive
{
    ULONG size;
    ULONG type;
    WCHAR letter;
    USHORT mount_point_offset;
    USHORT device_offset;
    USHORT unknown;
};

struct mountmgr_unix_drive_v2
{
    ULONG size;
    ULONG type;
    ULONG fs_type;
    DWORD serial;
    ULONGLONG unix_dev;
    WCHAR letter;
    USHORT mount_point_offset;
    USHORT device_offset;
    USHORT label_offset;
};

/* Both builds must lay the records out as the mount manager reads them. */
static_assert(sizeof(struct mountmgr_unix_drive) == 16 && FIELD_OFFSET(struct mountmgr_unix_drive, letter) == 8,
              "16-byte drive record");
static_assert(sizeof(struct mountmgr_unix_drive_v2) == 32 && FIELD_OFFSET(struct mountmgr_unix_drive_v2, letter) == 24,
              "32-byte drive record");

#define IOCTL_QUERY_UNIX_DRIVE 0x006D4084
#define IOCTL_DEFINE_UNIX_DRIVE 0x006DC080

/* How often one letter may ask for a larger reply buffer. */
#define MAX_DRIVE_REPLY_GROWTHS 4

/* Fixed part of the record, 16 or 32 bytes. */
static DWORD drive_record_size(BOOL v2)
{
    return v2 ? sizeof(struct mountmgr_unix_drive_v2) : sizeof(struct mountmgr_unix_drive);
}

/* Fills the fixed part of a zeroed record of the given layout. */
static void set_drive_record(void *record, BOOL v2, DWORD size, DWORD type, WCHAR letter, USHORT mount_point_offset)
{
    if (v2)
    {
        struct mountmgr_unix_drive_v2 *drive = (struct mountmgr_unix_drive_v2 *)record;
        drive->size = size;
        drive->type = type;
        drive->letter = letter;
        drive->mount_point_offset = mount_point_offset;
    }
    else
    {
        struct mountmgr_unix_drive *drive = (struct mountmgr_unix_drive *)record;
        drive->size = size;
        drive->type = type;
        drive->letter = letter;
        drive->mount_point_offset = mount_point_offset;
    }
}

/* Whether a query reply of reply_len bytes names mount_point as its mount
 * point.  A reply that does not hold together never matches, and nothing
 * outside it is read. */
static BOOL drive_reply_matches(const char *reply, DWORD reply_len, BOOL v2, const char *mount_point)
{
    DWORD fixed = drive_record_size(v2);
    if (reply_len < fixed)
        return FALSE;
    /* The record's own length bounds it too. */
    DWORD record_len = ((const struct mountmgr_unix_drive *)reply)->size;
    if (record_len < reply_len)
        reply_len = record_len;
    DWORD offset = v2 ? ((const struct mountmgr_unix_drive_v2 *)reply)->mount_point_offset
                      : ((const struct mountmgr_unix_drive *)reply)->mount_point_offset;
    if (!offset || offset < fixed || offset >= reply_len)
        return FALSE;
    const char *path = reply + offset;
    if (!memchr(path, 0, reply_len - offset))
        return FALSE;
    return !strcmp(path, mount_point);
}

static HANDLE open_mountmgr(void)
{
    return CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
}

/* The longest target of a symbolic link on Linux, in bytes (PATH_MAX - 1). */
#define MOUNT_POINT_MAX 4095

/* What a scan of the drive letters found. */
struct drive_scan
{
    char *data;       /* the reply buffer, reused for the define request */
    DWORD size;       /* its size in bytes */
    BOOL v2;          /* the record layout the mount manager takes */
    BOOL mapped;      /* the mount point is a drive already */
    char free_letter; /* the last letter without a drive, or 0 */
};

/* Asks the mount manager for every letter from A to Z until one maps
 * mount_point; a Win32 code when the scan could not be made. */
static DWORD scan_drives(HANDLE mountmgr, const char *mount_point, struct drive_scan *scan)
{
    BOOL layout_known = FALSE;

    for (char drive_letter = 'A'; !scan->mapped && drive_letter <= 'Z'; drive_letter++)
    {
        for (int growths = 0;;)
        {
            char query[sizeof(struct mountmgr_unix_drive_v2)];
            DWORD returned = 0;
            memset(query, 0, sizeof(query));
            set_drive_record(query, scan->v2, 0, 0, drive_letter, 0);
            /* So that a refusal which reports no size is not read as one. */
            ((struct mountmgr_unix_drive *)scan->data)->size = 0;
            if (DeviceIoControl(mountmgr, IOCTL_QUERY_UNIX_DRIVE, query, drive_record_size(scan->v2),
                                scan->data, scan->size, &returned, NULL))
            {
                layout_known = TRUE;
                if (drive_reply_matches(scan->data, returned < scan->size ? returned : scan->size, scan->v2,
                                        mount_point))
                    scan->mapped = TRUE;
                break;
            }
            DWORD query_error = GetLastError();
            if (!layout_known)
            {
                layout_known = TRUE;
                if (query_error == ERROR_INVALID_PARAMETER && !scan->v2)
                {
                    scan->v2 = TRUE;
                    continue;
                }
            }
            if (query_error != ERROR_MORE_DATA)
            {
                scan->free_letter = drive_letter;
                break;
            }
            /* The needed size must grow, and only a few times, or the scan
             * could go on for ever. */
            DWORD needed = ((struct mountmgr_unix_drive *)scan->data)->size;
            if (needed <= scan->size || ++growths > MAX_DRIVE_REPLY_GROWTHS)
                return ERROR_MORE_DATA;
            heap_free(scan->data);
            scan->size = needed;
            scan->data = (char *)heap_alloc(scan->size);
            if (!scan->data)
                return ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    return 0;
}

/* Maps mount_point as the scan's free letter; a Win32 code when the mount
 * manager refused. */
static DWORD define_drive(HANDLE mountmgr, const char *mount_point, struct drive_scan *scan)
{
    DWORD fixed = drive_record_size(scan->v2);
    size_t length = strlen(mount_point);
    if (length > 0xFFFFFFFFu - fixed - 1)
        return ERROR_NOT_ENOUGH_MEMORY;
    DWORD size_required = fixed + (DWORD)length + 1;
    if (scan->size < size_required)
    {
        heap_free(scan->data);
        scan->size = size_required;
        scan->data = (char *)heap_alloc(scan->size);
        if (!scan->data)
            return ERROR_NOT_ENOUGH_MEMORY;
    }
    memset(scan->data, 0, scan->size);
    set_drive_record(scan->data, scan->v2, scan->size, DRIVE_UNKNOWN, scan->free_letter, (USHORT)fixed);
    memcpy(scan->data + fixed, mount_point, length + 1);
    if (!DeviceIoControl(mountmgr, IOCTL_DEFINE_UNIX_DRIVE, scan->data, scan->size, NULL, 0, NULL, NULL))
        return GetLastError();
    return 0;
}

static void adddrive_cmd(char *args)
{
    /* The mount manager takes an empty mount point, reports success and
     * maps nothing; that must not be answered with a letter. */
    if (!args[0])
    {
        senderrno(ERROR_INVALID_PARAMETER);
        return;
    }
    /* Nor may a mount point be longer than a symbolic link holds, which the
     * mount manager makes of it: it reports success for a longer one too. */
    if (strlen(args) > MOUNT_POINT_MAX)
    {
        senderrno(ERROR_FILENAME_EXCED_RANGE);
        return;
    }

    HANDLE mountmgr = open_mountmgr();
    if (mountmgr == INVALID_HANDLE_VALUE)
    {
        senderrno(GetLastError());
        return;
    }

    struct drive_scan scan;
    memset(&scan, 0, sizeof(scan));
    scan.size = 1024;
    scan.data = (char *)heap_alloc(scan.size);
    DWORD error = scan.data ? scan_drives(mountmgr, args, &scan) : ERROR_NOT_ENOUGH_MEMORY;
    if (!error && !scan.mapped)
    {
        if (!scan.free_letter)
            fputs("error no free drive letters", stdout);
        else if (!(error = define_drive(mountmgr, args, &scan)))
        {
            fputs("drive ", stdout);
            fwrite(&scan.free_letter, 1, 1, stdout);
        }
    }
    if (error)
        senderrno(error);

    heap_free(scan.data);
    CloseHandle(mountmgr);
}

static void rmdrive_cmd(char *args)
{
    char letter = args[0];
    char upper = (char)(letter & ~0x20);
    if (upper < 'B' || upper > 'Y')
    {
        fputs("error invalid drive letter", stdout);
        return;
    }

    HANDLE mountmgr = open_mountmgr();
    if (mountmgr == INVALID_HANDLE_VALUE)
    {
        senderrno(GetLastError());
        return;
    }

    char request[sizeof(struct mountmgr_unix_drive_v2)];
    BOOL done = FALSE;
    DWORD error = 0;
    for (int v2 = 0; v2 <= 1 && !done; v2++)
    {
        memset(request, 0, sizeof(request));
        set_drive_record(request, v2, drive_record_size(v2), DRIVE_NO_ROOT_DIR, (BYTE)letter, 0);
        if (DeviceIoControl(mountmgr, IOCTL_DEFINE_UNIX_DRIVE, request, drive_record_size(v2), NULL, 0, NULL, NULL))
        {
            done = TRUE;
            error = 0;
        }
        else
        {
            error = GetLastError();
            /* Only a refused layout is worth a second try. */
            if (error != ERROR_INVALID_PARAMETER)
                done = TRUE;
        }
    }
    if (error)
        senderrno(error);
    CloseHandle(mountmgr);
}

static void findfiles_cmd(char *args)
{
    int num_results = atoi(args);
    char *pattern = strchr(args, ' ');
    if (!pattern)
    {
        fputs("error", stdout);
        return;
    }

    WIN32_FIND_DATAW finddata;
    WCHAR *patternW = AtoW(pattern + 1);
    if (!patternW)
    {
        senderrno(ERROR_NOT_ENOUGH_MEMORY);
        return;
    }
    HANDLE find = FindFirstFileW(patternW, &finddata);
    heap_free(patternW);
    if (find == INVALID_HANDLE_VALUE)
    {
        senderrno(GetLastError());
        return;
    }

    int listed = 0;
    while (num_results != 0)
    {
        /* A Unix name may hold LF, which would split its line (and could
         * fake the end marker).  Such an entry is listed by its short name
         * when the platform has one, else left out: no request can name it
         * anyway.  The count is of the lines written. */
        const WCHAR *nameW = finddata.cFileName;
        if (wcschr(nameW, '\n'))
            nameW = finddata.cAlternateFileName[0] && !wcschr(finddata.cAlternateFileName, '\n')
                        ? finddata.cAlternateFileName
                        : NULL;
        if (nameW)
        {
            char *result = WtoA(nameW);
            if (!result)
            {
                senderrno(ERROR_NOT_ENOUGH_MEMORY);
                break;
            }
            fputs((finddata.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? "dir " : "file ", stdout);
            fputs(result, stdout);
            sendlf();
            heap_free(result);
            if (++listed == num_results)
                break;
        }
        if (!FindNextFileW(find, &finddata))
            break;
    }
    FindClose(find);
}

/* Writes a folder path that the platform put in a MAX_PATH buffer. */
static void sendfolder(const WCHAR *folderW)
{
    char *folderA = WtoA(folderW);
    if (folderA)
        fputs(folderA, stdout);
    heap_free(folderA);
}

/* Which source answers a keyword of getexpandedstr. */
enum folder_source
{
    FOLDER_SHELL,
    FOLDER_TEMP,
    FOLDER_WINDOWS,
    FOLDER_SYSTEM,
    FOLDER_PROGRAMS,
    FOLDER_ACCESSORIES,
};

static const struct
{
    const char *keyword;
    enum folder_source source;
    int csidl;
} folder_keywords[] = {
    {"appdata", FOLDER_SHELL, CSIDL_APPDATA},
    {"desktop", FOLDER_SHELL, CSIDL_DESKTOPDIRECTORY},
    {"localappdata", FOLDER_SHELL, CSIDL_LOCAL_APPDATA},
    {"programfiles", FOLDER_SHELL, CSIDL_PROGRAM_FILESX86},
    {"programfiles64", FOLDER_SHELL, CSIDL_PROGRAM_FILES},
    {"startmenu", FOLDER_SHELL, CSIDL_STARTMENU},
    {"systemroot", FOLDER_SHELL, CSIDL_WINDOWS},
    {"temp", FOLDER_TEMP, 0},
    {"userprofile", FOLDER_SHELL, CSIDL_PROFILE},
    {"windir", FOLDER_WINDOWS, 0},
    {"winsysdir", FOLDER_SHELL, CSIDL_SYSTEMX86},
    {"winsysdir64", FOLDER_SYSTEM, 0},
    {"programs", FOLDER_PROGRAMS, 0},
    {"accessories", FOLDER_ACCESSORIES, 0},
};

/* The start menu's programs folder name: the last '\'-separated component of
 * shell32's string 45, or the whole string when it has no '\'. */
static BOOL load_programs_name(WCHAR *folderW)
{
    HMODULE shell32 = LoadLibraryA("shell32.dll");
    if (!shell32)
        return FALSE;
    int len = LoadStringW(shell32, 45, folderW, MAX_PATH);
    FreeLibrary(shell32);
    if (len <= 0)
        return FALSE;
    WCHAR *last = wcsrchr(folderW, '\\');
    if (last)
        lstrcpyW(folderW, last + 1);
    return TRUE;
}

/* Fills folderW with the keyword's folder; FALSE when it has none. */
static BOOL lookup_folder(enum folder_source source, int csidl, WCHAR *folderW)
{
    DWORD ret;
    switch (source)
    {
    case FOLDER_SHELL:
        return SHGetFolderPathAndSubDirW(NULL, csidl, NULL, SHGFP_TYPE_CURRENT, NULL, folderW) == S_OK;
    case FOLDER_TEMP:
        ret = GetTempPathW(MAX_PATH, folderW);
        return ret && ret < MAX_PATH;
    case FOLDER_WINDOWS:
        ret = GetWindowsDirectoryW(folderW, MAX_PATH);
        return ret && ret < MAX_PATH;
    case FOLDER_SYSTEM:
        ret = GetSystemDirectoryW(folderW, MAX_PATH);
        return ret && ret < MAX_PATH;
    case FOLDER_PROGRAMS:
        return load_programs_name(folderW);
    case FOLDER_ACCESSORIES:
    {
        if (!load_programs_name(folderW))
            return FALSE;
        int len = lstrlenW(folderW);
        /* LoadStringW with no room left would hand out a pointer instead. */
        if (len + 2 >= MAX_PATH)
            return FALSE;
        folderW[len] = '\\';
        return LoadStringW(GetModuleHandleA(NULL), 1, folderW + len + 1, MAX_PATH - len - 1) > 0;
    }
    }
    return FALSE;
}

static void getsystemdir_cmd(char *args)
{
    WCHAR systemdir[MAX_PATH];
    (void)args;
    if (lookup_folder(FOLDER_SYSTEM, 0, systemdir))
        sendfolder(systemdir);
}

static void getwindowsdir_cmd(char *args)
{
    WCHAR windowsdir[MAX_PATH];
    (void)args;
    if (lookup_folder(FOLDER_WINDOWS, 0, windowsdir))
        sendfolder(windowsdir);
}

#define ENV_NAME_LIMIT 32767

static void getexpandedstr_cmd(char *args)
{
    WCHAR folderW[MAX_PATH];
    for (size_t i = 0; i < sizeof(folder_keywords) / sizeof(folder_keywords[0]); i++)
    {
        if (strcmp(args, folder_keywords[i].keyword))
            continue;
        folderW[MAX_PATH - 1] = 0;
        BOOL rc = lookup_folder(folder_keywords[i].source, folder_keywords[i].csidl, folderW);
        /* Never read past the buffer, and never send a raw LF. */
        if (rc && !folderW[MAX_PATH - 1] && !wcschr(folderW, '\n'))
        {
            sendfolder(folderW);
            return;
        }
        break;
    }

    /* No variable has a longer name (a variable holds at most 32,767
     * characters), and Wine faults on names of 32,767 to 65,535. */
    if (strlen(args) >= ENV_NAME_LIMIT)
        return;
    char env[MAX_PATH];
    DWORD ret = GetEnvironmentVariableA(args, env, MAX_PATH);
    /* A value with LF cannot travel as a raw text; it is answered like an
     * unset one. */
    if (ret >= 1 && ret < MAX_PATH && !memchr(env, '\n', ret))
        fwrite(env, 1, ret, stdout);
}

/* The longest text Wine expands: its counted strings hold 32,767 units, and
 * it cuts a longer source to 32,766 without a word. */
#define EXPAND_TEXT_MAX 32766

/* Expands %NAME% references in the text as ExpandEnvironmentStrings does
 * (an unknown one is kept as it is).  The text is escaped as the modifying
 * registry commands take theirs, so it may hold LF; the answer is "text "
 * and the result escaped the same way, so a result that begins with
 * "error" stays apart from a failure. */
static void expandstr_cmd(char *args)
{
    WCHAR static_buf[1024];
    WCHAR *textW = NULL, *expandedW = static_buf;
    DWORD units = sizeof(static_buf) / sizeof(WCHAR), needed = 0;

    char *textA = readescapedstring(args);
    if (!textA)
    {
        fputs("error unable to unescape args", stdout);
        return;
    }
    textW = AtoW(textA);
    if (!textW)
        fputs("error out of memory", stdout);
    else if (wcslen(textW) > EXPAND_TEXT_MAX)
        fputs("error text too long", stdout);
    else
    {
        /* a second call, with room for the whole result, when the first
         * did not fit: the server's own environment cannot change between */
        needed = ExpandEnvironmentStringsW(textW, expandedW, units);
        if (needed > units && needed <= EXPAND_TEXT_MAX + 1)
        {
            expandedW = (WCHAR *)heap_alloc(needed * sizeof(WCHAR));
            units = needed;
            if (expandedW)
                needed = ExpandEnvironmentStringsW(textW, expandedW, units);
        }
        char *expandedA = NULL;
        if (!needed)
            senderrno(GetLastError());
        else if (needed > EXPAND_TEXT_MAX + 1)
            fputs("error text too long", stdout);
        else if (!expandedW || needed > units || !(expandedA = WtoA(expandedW)))
            fputs("error out of memory", stdout);
        else
        {
            fputs("text ", stdout);
            sendescapedstring(expandedA);
        }
        heap_free(expandedA);
    }
    if (expandedW != static_buf)
        heap_free(expandedW);
    heap_free(textW);
    heap_free(textA);
}

/* ------------------------------------------------------------------------ */
/* Ending with the prefix's Wine session                                    */
/* ------------------------------------------------------------------------ */

/* Held while a request is carried out, so that the process ends only
 * between two of them. */
static CRITICAL_SECTION serving;

/* The exit code when Wine ended the session: every request read and not
 * answered was not carried out either. */
#define EXIT_ENDED_BY_WINE 4
/* Wine's own information class for NtSetInformationProcess. */
#define PROCESS_WINE_MAKE_PROCESS_SYSTEM 1000

static DWORD WINAPI wine_session_end(void *event)
{
    WaitForSingleObject((HANDLE)event, INFINITE);
    EnterCriticalSection(&serving);
    fflush(stdout);
    ExitProcess(EXIT_ENDED_BY_WINE);
    return 0;
}

/* From now on the server does not keep the prefix's Wine session alive:
 * like Wine's own background services it is a system process, which the
 * wineserver asks to end once the last program has; it then ends between
 * two requests with EXIT_ENDED_BY_WINE. */
static void systemprocess_cmd(char *args)
{
    typedef LONG(WINAPI * set_information)(HANDLE, int, void *, ULONG);
    static HANDLE event;
    (void)args;
    if (!event)
    {
        set_information set = (set_information)(void (*)(void))GetProcAddress(GetModuleHandleA("ntdll"),
                                                                               "NtSetInformationProcess");
        HANDLE got = NULL;
        if (!set || set(GetCurrentProcess(), PROCESS_WINE_MAKE_PROCESS_SYSTEM, &got, sizeof(got)) || !got)
        {
            printf("errno %u", (unsigned)ERROR_NOT_SUPPORTED);
            return;
        }
        HANDLE thread = CreateThread(NULL, 0, wine_session_end, got, 0, NULL);
        if (!thread)
        {
            /* A system process that cannot hear the request is ended by
             * force instead, possibly inside an answer. */
            printf("errno %u", (unsigned)GetLastError());
            return;
        }
        CloseHandle(thread);
        event = got;
    }
    fputs("success", stdout);
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
    {"getregvalue", getregvalue_cmd},
    {"expandstr", expandstr_cmd},
    {"systemprocess", systemprocess_cmd},
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
    InitializeCriticalSection(&serving);

    if (fputs("QVMANIP OK\n", stdout) < 0)
        return 2;

    for (;;)
    {
        if (!line_pending())
            fflush(stdout);

        char *line = raw_input();
        if (!line)
        {
            close_set_key();
            return 0;
        }
        EnterCriticalSection(&serving);

        char *args = strchr(line, ' ');
        if (args)
            *args++ = 0;
        else
            args = line + strlen(line);

        if (strcmp(line, "setregkey"))
            close_set_key();
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
        LeaveCriticalSection(&serving);
    }
}
