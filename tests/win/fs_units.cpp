// Runs the server's file-system handlers against a scripted mount manager
// and a process heap that can be made to fail, for the replies and
// shortages that the real prefix never produces. One case per input line:
//   LAYOUT QUIRK DRIVES FAILALLOC COMMAND [ARGS]
//     LAYOUT     v1 (the 16-byte record is taken) or v2 (only the 32-byte one)
//     QUIRK      none | nodevice | nogrow | growforever | silentgrow | badoffset | nonul |
//                shortreply | shortsize
//     DRIVES     "-" or L=mountpoint,... (the letters defined at the start)
//     FAILALLOC  0, or N: the handler's N-th heap allocation fails
// Output per case: the handler's answer, then "\n#" and the requests the
// device saw (";"-separated), then "\n#end\n".
#include <windows.h>

#include <string>

static HANDLE WINAPI fake_CreateFileW(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
static BOOL WINAPI fake_DeviceIoControl(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
static BOOL WINAPI fake_CloseHandle(HANDLE);
static LPVOID WINAPI fake_HeapAlloc(HANDLE, DWORD, SIZE_T);

#define CreateFileW fake_CreateFileW
#define DeviceIoControl fake_DeviceIoControl
#define CloseHandle fake_CloseHandle
#define HeapAlloc fake_HeapAlloc
#include "qvmanip.cpp"
#undef CreateFileW
#undef DeviceIoControl
#undef CloseHandle
#undef HeapAlloc

static HANDLE const fake_device = (HANDLE)(ULONG_PTR)0x4d4d;

static bool layout_v2;
static std::string quirk;
static std::string drives[26];
static std::string device_log;
static int open_handles;
static int alloc_count, fail_at;

static void log_request(const std::string &entry)
{
    if (!device_log.empty())
        device_log += ';';
    device_log += entry;
}

static HANDLE WINAPI fake_CreateFileW(LPCWSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    if (quirk == "nodevice" || wcscmp(name, L"\\\\.\\MountPointManager"))
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    open_handles++;
    return fake_device;
}

static BOOL WINAPI fake_CloseHandle(HANDLE handle)
{
    if (handle != fake_device)
        return CloseHandle(handle);
    open_handles--;
    return TRUE;
}

static LPVOID WINAPI fake_HeapAlloc(HANDLE heap, DWORD flags, SIZE_T size)
{
    if (fail_at && ++alloc_count == fail_at)
        return NULL;
    return HeapAlloc(heap, flags, size);
}

static BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

/* The record's fields, wherever the layout keeps them. */
struct fields
{
    DWORD size, type;
    WCHAR letter;
    USHORT mount_point_offset, device_offset;
    bool rest_zero;
};

static fields read_fields(const BYTE *in, DWORD fixed)
{
    fields f;
    memcpy(&f.size, in, 4);
    memcpy(&f.type, in + 4, 4);
    DWORD at = fixed - 8;
    memcpy(&f.letter, in + at, 2);
    memcpy(&f.mount_point_offset, in + at + 2, 2);
    memcpy(&f.device_offset, in + at + 4, 2);
    f.rest_zero = !in[at + 6] && !in[at + 7];
    for (DWORD i = 8; i < at; i++)
        f.rest_zero = f.rest_zero && !in[i];
    return f;
}

static BOOL WINAPI fake_DeviceIoControl(HANDLE handle, DWORD code, LPVOID in_buf, DWORD in_size, LPVOID out_buf,
                                        DWORD out_size, LPDWORD returned, LPOVERLAPPED)
{
    if (handle != fake_device)
        return fail(ERROR_INVALID_HANDLE);
    const BYTE *in = (const BYTE *)in_buf;
    DWORD fixed = layout_v2 ? 32 : 16;
    char entry[64];
    if (in_size < fixed)
    {
        snprintf(entry, sizeof(entry), "%s%lu:refused", code == 0x006D4084 ? "q" : "d", (unsigned long)in_size);
        log_request(entry);
        return fail(ERROR_INVALID_PARAMETER);
    }
    fields f = read_fields(in, fixed);
    int index = (f.letter & ~0x20) - 'A';

    if (code == 0x006D4084)
    {
        snprintf(entry, sizeof(entry), "q%lu:%c", (unsigned long)in_size, (char)f.letter);
        log_request(entry);
        if (index < 0 || index >= 26 || drives[index].empty())
            return fail(433 /* no such device */);
        const std::string &mount_point = drives[index];
        DWORD need = fixed + (DWORD)mount_point.size() + 1;
        if (quirk == "silentgrow")
            return fail(ERROR_MORE_DATA);
        if (quirk == "nogrow" || quirk == "growforever" || need > out_size)
        {
            DWORD claim = quirk == "nogrow" ? out_size : quirk == "growforever" ? out_size + 1 : need;
            if (out_size >= 4)
                memcpy(out_buf, &claim, 4);
            return fail(ERROR_MORE_DATA);
        }
        BYTE *out = (BYTE *)out_buf;
        memset(out, 0, need);
        memcpy(out, &need, 4);
        USHORT offset = (USHORT)fixed;
        if (quirk == "badoffset")
            offset = (USHORT)(need + 8);
        memcpy(out + fixed - 8, &f.letter, 2);
        memcpy(out + fixed - 6, &offset, 2);
        memcpy(out + fixed, mount_point.c_str(), mount_point.size() + 1);
        DWORD reply = need;
        if (quirk == "nonul")
            reply = need - 1;
        if (quirk == "shortreply")
            reply = 8;
        if (quirk == "shortsize")
        {
            DWORD short_size = need - 1;
            memcpy(out, &short_size, 4);
        }
        if (returned)
            *returned = reply;
        return TRUE;
    }
    if (code != 0x006DC080)
        return fail(ERROR_INVALID_FUNCTION);

    if (!f.mount_point_offset)
    {
        snprintf(entry, sizeof(entry), "r%lu:%c:t%lu:s%lu%s", (unsigned long)in_size, (char)f.letter,
                 (unsigned long)f.type, (unsigned long)f.size, f.rest_zero ? "" : ":dirty");
        log_request(entry);
        if (index < 0 || index >= 26 || drives[index].empty())
            return fail(433 /* no such device */);
        drives[index].clear();
        return TRUE;
    }
    if (f.mount_point_offset >= in_size || !memchr(in + f.mount_point_offset, 0, in_size - f.mount_point_offset))
        return fail(ERROR_INVALID_PARAMETER);
    const char *path = (const char *)in + f.mount_point_offset;
    bool tail_zero = true;
    for (DWORD i = f.mount_point_offset + (DWORD)strlen(path); i < in_size; i++)
        tail_zero = tail_zero && !in[i];
    std::string e = "d" + std::to_string(in_size) + ":" + (char)f.letter + ":t" + std::to_string(f.type) + ":o" +
                    std::to_string(f.mount_point_offset) + ":s" + std::to_string(f.size) +
                    (f.rest_zero && tail_zero && !f.device_offset ? "" : ":dirty") + ":" +
                    (strlen(path) > 40 ? "len" + std::to_string(strlen(path)) : std::string(path));
    log_request(e);
    if (index >= 0 && index < 26)
        drives[index] = path;
    return TRUE;
}

static char *next_field(char **rest)
{
    char *field = *rest;
    char *space = strchr(field, ' ');
    if (space)
    {
        *space = 0;
        *rest = space + 1;
    }
    else
        *rest = field + strlen(field);
    return field;
}

int main(void)
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);

    char *line;
    while ((line = raw_input()))
    {
        char *rest = line;
        layout_v2 = !strcmp(next_field(&rest), "v2");
        quirk = next_field(&rest);
        for (std::string &d : drives)
            d.clear();
        char *list = next_field(&rest);
        for (char *item = strtok(list, ","); item && strcmp(item, "-"); item = strtok(NULL, ","))
            if (item[0] >= 'A' && item[0] <= 'Z' && item[1] == '=')
                drives[item[0] - 'A'] = item + 2;
        int fail_n = atoi(next_field(&rest));
        char *command = next_field(&rest);
        device_log.clear();
        open_handles = 0;

        const struct command *cmd = commands;
        while (cmd->name && strcmp(cmd->name, command))
            cmd++;
        alloc_count = 0;
        fail_at = fail_n;
        if (cmd->name)
            cmd->func(rest);
        else
            printf("unknown command");
        fail_at = 0;
        if (open_handles)
            log_request("left open");
        printf("\n#%s\n#end\n", device_log.c_str());
        fflush(stdout);
    }
    return 0;
}
