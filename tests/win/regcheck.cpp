// Reads and prepares registry state from inside the prefix, independently of
// the command server. One request per input line, one result line each;
// key paths ("HKCU\..." or "HKLM\...") and names travel as hex of their UTF-8.
//   query VIEW KEY NAME           -> "TYPE HEXDATA", or "open CODE" / "value CODE"
//   set VIEW KEY NAME TYPE HEX    -> "ok" or "fail CODE"  (creates the key)
//   mkkey VIEW KEY                -> "ok" or "fail CODE"
//   exists VIEW KEY               -> "yes" or "no CODE"
//   subkeys VIEW KEY              -> the names in hex, space-separated, sorted as enumerated
//   values VIEW KEY               -> the number of values
//   deny VIEW KEY                 -> "ok" or "fail CODE": the key refuses DELETE to everyone
//   allow VIEW KEY                -> "ok" or "fail CODE": default security again
//   link VIEW KEY TARGET          -> "ok" or "fail CODE": KEY becomes a link to TARGET
//                                    (a native path such as \Registry\Machine\...)
//   unlink VIEW KEY               -> "ok" or "fail CODE": deletes the link key itself
//   rmtree VIEW KEY               -> "ok" or "fail CODE"
//   dump VIEW KEY                 -> every key below KEY (KEY itself first) and its values, one
//                                    line each, "k HEXPATH" (relative to KEY) / "v HEXNAME TYPE HEX",
//                                    then "done"; or "open CODE"
//   ntkey VIEW KEY NAME           -> "ok" or "fail STATUS": subkey NAME of KEY, a counted name
//                                    that may hold NUL
//   ntset VIEW KEY NAME TYPE HEX  -> "ok" or "fail STATUS": like set, with a counted name
//   fill VIEW KEY NAME TYPE SIZE HEX -> "ok" or "fail CODE": like set, with SIZE bytes that
//                                    repeat HEX (for values larger than a line)
// An empty hex argument is written "-".
// VIEW is 64 (the default view of this 64-bit program) or 32 (KEY_WOW64_32KEY).
#include <windows.h>
#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <winternl.h>

static char line[1 << 20];

static int hexval(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

static BYTE *from_hex(const char *hex, DWORD *len)
{
    size_t n = strcmp(hex, "-") ? strlen(hex) / 2 : 0;
    BYTE *out = (BYTE *)HeapAlloc(GetProcessHeap(), 0, n + 2);
    for (size_t i = 0; i < n; i++)
        out[i] = (BYTE)(hexval(hex[2 * i]) * 16 + hexval(hex[2 * i + 1]));
    /* not NUL: RegSetValueExW would then count a terminator the caller left out */
    out[n] = out[n + 1] = 0xff;
    *len = (DWORD)n;
    return out;
}

static void put_hex(const BYTE *p, DWORD n)
{
    for (DWORD i = 0; i < n; i++)
        printf("%02x", p[i]);
}

static WCHAR *wide_from_hex(const char *hex)
{
    DWORD n;
    BYTE *utf8 = from_hex(hex, &n);
    int units = MultiByteToWideChar(CP_UTF8, 0, (char *)utf8, (int)n, NULL, 0);
    WCHAR *w = (WCHAR *)HeapAlloc(GetProcessHeap(), 0, (units + 1) * sizeof(WCHAR));
    MultiByteToWideChar(CP_UTF8, 0, (char *)utf8, (int)n, w, units);
    w[units] = 0;
    HeapFree(GetProcessHeap(), 0, utf8);
    return w;
}

/* "HKCU\rest" -> root and the rest */
static HKEY split_root(WCHAR *path, WCHAR **rest)
{
    if (!wcsncmp(path, L"HKCU\\", 5))
    {
        *rest = path + 5;
        return HKEY_CURRENT_USER;
    }
    if (!wcsncmp(path, L"HKLM\\", 5))
    {
        *rest = path + 5;
        return HKEY_LOCAL_MACHINE;
    }
    *rest = path;
    return NULL;
}

static REGSAM view_flag(const char *view)
{
    return strcmp(view, "32") ? 0 : KEY_WOW64_32KEY;
}

static void fail_or_ok(LONG res)
{
    if (res)
        printf("fail %ld", res);
    else
        printf("ok");
}

static LONG open_key(const char *view, const char *keyhex, REGSAM access, HKEY *key)
{
    WCHAR *path = wide_from_hex(keyhex), *rest;
    HKEY root = split_root(path, &rest);
    LONG res = root ? RegOpenKeyExW(root, rest, 0, access | view_flag(view), key) : ERROR_INVALID_PARAMETER;
    HeapFree(GetProcessHeap(), 0, path);
    return res;
}

static LONG create_key(const char *view, const char *keyhex, DWORD options, HKEY *key)
{
    WCHAR *path = wide_from_hex(keyhex), *rest;
    HKEY root = split_root(path, &rest);
    LONG res = root ? RegCreateKeyExW(root, rest, 0, NULL, options, KEY_ALL_ACCESS | view_flag(view), NULL, key,
                                      NULL)
                    : ERROR_INVALID_PARAMETER;
    HeapFree(GetProcessHeap(), 0, path);
    return res;
}

static void do_query(const char *view, const char *keyhex, const char *namehex)
{
    HKEY key;
    LONG res = open_key(view, keyhex, KEY_QUERY_VALUE, &key);
    if (res)
    {
        printf("open %ld", res);
        return;
    }
    WCHAR *name = wide_from_hex(namehex);
    DWORD type = 0, size = 0;
    res = RegQueryValueExW(key, name, NULL, &type, NULL, &size);
    if (!res)
    {
        BYTE *data = (BYTE *)HeapAlloc(GetProcessHeap(), 0, size + 1);
        res = RegQueryValueExW(key, name, NULL, &type, data, &size);
        if (!res)
        {
            printf("%lu ", type);
            put_hex(data, size);
        }
        HeapFree(GetProcessHeap(), 0, data);
    }
    if (res)
        printf("value %ld", res);
    HeapFree(GetProcessHeap(), 0, name);
    RegCloseKey(key);
}

static void do_set(const char *view, const char *keyhex, const char *namehex, const char *type, const char *datahex)
{
    HKEY key;
    LONG res = create_key(view, keyhex, 0, &key);
    if (!res)
    {
        WCHAR *name = wide_from_hex(namehex);
        DWORD len;
        BYTE *data = from_hex(datahex, &len);
        res = RegSetValueExW(key, name, 0, strtoul(type, NULL, 10), data, len);
        HeapFree(GetProcessHeap(), 0, data);
        HeapFree(GetProcessHeap(), 0, name);
        RegCloseKey(key);
    }
    fail_or_ok(res);
}

static void do_subkeys(const char *view, const char *keyhex)
{
    HKEY key;
    LONG res = open_key(view, keyhex, KEY_READ, &key);
    if (res)
    {
        printf("open %ld", res);
        return;
    }
    WCHAR name[512];
    for (DWORD i = 0;; i++)
    {
        DWORD len = 512;
        if (RegEnumKeyExW(key, i, name, &len, NULL, NULL, NULL, NULL))
            break;
        char utf8[2048];
        int n = WideCharToMultiByte(CP_UTF8, 0, name, (int)len, utf8, sizeof(utf8), NULL, NULL);
        if (i)
            printf(" ");
        put_hex((BYTE *)utf8, (DWORD)n);
    }
    RegCloseKey(key);
}

typedef LONG(WINAPI *nt_delete_key_func)(HANDLE);
typedef LONG(WINAPI *nt_create_key_func)(HANDLE *, ACCESS_MASK, OBJECT_ATTRIBUTES *, ULONG, UNICODE_STRING *,
                                          ULONG, ULONG *);
typedef LONG(WINAPI *nt_set_value_key_func)(HANDLE, UNICODE_STRING *, ULONG, ULONG, const void *, ULONG);

static FARPROC ntdll_export(const char *name)
{
    return GetProcAddress(GetModuleHandleA("ntdll"), name);
}

/* A UTF-16 string of exactly the bytes given, NULs included. */
static void counted_name(const char *namehex, UNICODE_STRING *name, DWORD *utf8_len)
{
    BYTE *utf8 = from_hex(namehex, utf8_len);
    int units = MultiByteToWideChar(CP_UTF8, 0, (char *)utf8, (int)*utf8_len, NULL, 0);
    name->Buffer = (WCHAR *)HeapAlloc(GetProcessHeap(), 0, (units + 1) * sizeof(WCHAR));
    MultiByteToWideChar(CP_UTF8, 0, (char *)utf8, (int)*utf8_len, name->Buffer, units);
    name->Length = name->MaximumLength = (USHORT)(units * sizeof(WCHAR));
    HeapFree(GetProcessHeap(), 0, utf8);
}

static LONG nt_key(const char *view, const char *keyhex, const char *namehex)
{
    HKEY parent;
    HANDLE key;
    LONG res = create_key(view, keyhex, 0, &parent);
    if (res)
        return res;
    nt_create_key_func nt_create_key = (nt_create_key_func)(void *)ntdll_export("NtCreateKey");
    UNICODE_STRING name;
    DWORD len;
    counted_name(namehex, &name, &len);
    OBJECT_ATTRIBUTES attr;
    InitializeObjectAttributes(&attr, &name, 0, parent, NULL);
    res = nt_create_key(&key, KEY_ALL_ACCESS | view_flag(view), &attr, 0, NULL, 0, NULL);
    if (!res)
        RegCloseKey((HKEY)key);
    HeapFree(GetProcessHeap(), 0, name.Buffer);
    RegCloseKey(parent);
    return res;
}

static LONG nt_set(const char *view, const char *keyhex, const char *namehex, const char *type, const char *datahex)
{
    HKEY key;
    LONG res = create_key(view, keyhex, 0, &key);
    if (res)
        return res;
    nt_set_value_key_func nt_set_value_key = (nt_set_value_key_func)(void *)ntdll_export("NtSetValueKey");
    UNICODE_STRING name;
    DWORD len;
    counted_name(namehex, &name, &len);
    BYTE *data = from_hex(datahex, &len);
    res = nt_set_value_key(key, &name, 0, strtoul(type, NULL, 10), data, len);
    HeapFree(GetProcessHeap(), 0, data);
    HeapFree(GetProcessHeap(), 0, name.Buffer);
    RegCloseKey(key);
    return res;
}

static LONG fill_value(const char *view, const char *keyhex, const char *namehex, const char *type,
                       const char *size, const char *patternhex)
{
    HKEY key;
    LONG res = create_key(view, keyhex, 0, &key);
    if (res)
        return res;
    DWORD pattern_len, total = strtoul(size, NULL, 10);
    BYTE *pattern = from_hex(patternhex, &pattern_len);
    BYTE *data = (BYTE *)HeapAlloc(GetProcessHeap(), 0, total + 2);
    for (DWORD i = 0; i < total; i++)
        data[i] = pattern_len ? pattern[i % pattern_len] : 0;
    /* as in from_hex: no terminator for RegSetValueExW to count */
    data[total] = data[total + 1] = 0xff;
    WCHAR *name = wide_from_hex(namehex);
    res = RegSetValueExW(key, name, 0, strtoul(type, NULL, 10), data, total);
    HeapFree(GetProcessHeap(), 0, name);
    HeapFree(GetProcessHeap(), 0, data);
    HeapFree(GetProcessHeap(), 0, pattern);
    RegCloseKey(key);
    return res;
}

static void put_utf8_hex(const WCHAR *w, DWORD units)
{
    int n = units ? WideCharToMultiByte(CP_UTF8, 0, w, (int)units, NULL, 0, NULL, NULL) : 0;
    char *utf8 = (char *)HeapAlloc(GetProcessHeap(), 0, n + 1);
    WideCharToMultiByte(CP_UTF8, 0, w, (int)units, utf8, n, NULL, NULL);
    put_hex((BYTE *)utf8, (DWORD)n);
    HeapFree(GetProcessHeap(), 0, utf8);
}

/* path holds the key's path relative to the dump's root, path_len units. */
static void dump_key(HKEY key, WCHAR *path, DWORD path_len)
{
    printf("k ");
    put_utf8_hex(path, path_len);
    printf("\n");

    DWORD max_name = 0, max_data = 0;
    RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, NULL, &max_name, &max_data, NULL, NULL);
    WCHAR *name = (WCHAR *)HeapAlloc(GetProcessHeap(), 0, (max_name + 2) * sizeof(WCHAR));
    BYTE *data = (BYTE *)HeapAlloc(GetProcessHeap(), 0, max_data + 1);
    for (DWORD i = 0;; i++)
    {
        DWORD name_len = max_name + 1, data_len = max_data, type;
        if (RegEnumValueW(key, i, name, &name_len, NULL, &type, data, &data_len))
            break;
        printf("v ");
        put_utf8_hex(name, name_len);
        printf(" %lu ", type);
        put_hex(data, data_len);
        printf("\n");
    }
    HeapFree(GetProcessHeap(), 0, data);
    HeapFree(GetProcessHeap(), 0, name);

    WCHAR sub[256];
    for (DWORD i = 0;; i++)
    {
        DWORD sub_len = 256;
        if (RegEnumKeyExW(key, i, sub, &sub_len, NULL, NULL, NULL, NULL))
            break;
        HKEY child;
        WCHAR *child_path = (WCHAR *)HeapAlloc(GetProcessHeap(), 0, (path_len + sub_len + 2) * sizeof(WCHAR));
        memcpy(child_path, path, path_len * sizeof(WCHAR));
        DWORD child_len = path_len;
        if (path_len)
            child_path[child_len++] = '\\';
        memcpy(child_path + child_len, sub, sub_len * sizeof(WCHAR));
        child_len += sub_len;
        /* a link is shown, never followed: its target is dumped where it lies */
        if (!RegOpenKeyExW(key, sub, REG_OPTION_OPEN_LINK, KEY_READ, &child))
        {
            dump_key(child, child_path, child_len);
            RegCloseKey(child);
        }
        else
        {
            printf("k ");
            put_utf8_hex(child_path, child_len);
            printf(" unreadable\n");
        }
        HeapFree(GetProcessHeap(), 0, child_path);
    }
}

static LONG make_link(const char *view, const char *keyhex, const char *targethex)
{
    HKEY key;
    LONG res = create_key(view, keyhex, REG_OPTION_CREATE_LINK, &key);
    if (res)
        return res;
    WCHAR *target = wide_from_hex(targethex);
    /* the link target is stored without a terminator */
    res = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, (BYTE *)target,
                         (DWORD)(wcslen(target) * sizeof(WCHAR)));
    HeapFree(GetProcessHeap(), 0, target);
    RegCloseKey(key);
    return res;
}

static LONG remove_link(const char *view, const char *keyhex)
{
    WCHAR *path = wide_from_hex(keyhex), *rest;
    HKEY root = split_root(path, &rest), key;
    LONG res = RegOpenKeyExW(root, rest, REG_OPTION_OPEN_LINK, DELETE | view_flag(view), &key);
    HeapFree(GetProcessHeap(), 0, path);
    if (res)
        return res;
    nt_delete_key_func nt_delete_key =
        (nt_delete_key_func)(void *)GetProcAddress(GetModuleHandleA("ntdll"), "NtDeleteKey");
    res = nt_delete_key ? (nt_delete_key(key) ? ERROR_ACCESS_DENIED : 0) : ERROR_PROC_NOT_FOUND;
    RegCloseKey(key);
    return res;
}

/* A DACL that denies DELETE to everyone and allows the rest. */
static LONG set_delete_denied(HKEY key, BOOL deny)
{
    SID_IDENTIFIER_AUTHORITY world = {SECURITY_WORLD_SID_AUTHORITY};
    PSID everyone;
    if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone))
        return GetLastError();
    BYTE acl_buf[256];
    ACL *acl = (ACL *)acl_buf;
    InitializeAcl(acl, sizeof(acl_buf), ACL_REVISION);
    if (deny)
        AddAccessDeniedAce(acl, ACL_REVISION, DELETE, everyone);
    AddAccessAllowedAce(acl, ACL_REVISION, KEY_ALL_ACCESS, everyone);
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
    LONG res = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
    FreeSid(everyone);
    return res;
}

int main(void)
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);

    while (fgets(line, sizeof(line), stdin))
    {
        char *word[7] = {0};
        int n = 0;
        for (char *tok = strtok(line, " \r\n"); tok && n < 7; tok = strtok(NULL, " \r\n"))
            word[n++] = tok;
        for (int i = n; i < 7; i++)
            word[i] = (char *)"";
        const char *op = word[0], *view = word[1], *key = word[2];
        HKEY hkey;
        LONG res;

        if (!strcmp(op, "query"))
            do_query(view, key, word[3]);
        else if (!strcmp(op, "set"))
            do_set(view, key, word[3], word[4], word[5]);
        else if (!strcmp(op, "mkkey"))
        {
            res = create_key(view, key, 0, &hkey);
            if (!res)
                RegCloseKey(hkey);
            fail_or_ok(res);
        }
        else if (!strcmp(op, "exists"))
        {
            res = open_key(view, key, KEY_READ, &hkey);
            if (res)
                printf("no %ld", res);
            else
            {
                printf("yes");
                RegCloseKey(hkey);
            }
        }
        else if (!strcmp(op, "subkeys"))
            do_subkeys(view, key);
        else if (!strcmp(op, "values"))
        {
            DWORD count = 0;
            res = open_key(view, key, KEY_READ, &hkey);
            if (!res)
            {
                res = RegQueryInfoKeyW(hkey, NULL, NULL, NULL, NULL, NULL, NULL, &count, NULL, NULL, NULL, NULL);
                RegCloseKey(hkey);
            }
            if (res)
                printf("fail %ld", res);
            else
                printf("%lu", count);
        }
        else if (!strcmp(op, "deny") || !strcmp(op, "allow"))
        {
            res = open_key(view, key, WRITE_DAC | READ_CONTROL, &hkey);
            if (!res)
            {
                res = set_delete_denied(hkey, !strcmp(op, "deny"));
                RegCloseKey(hkey);
            }
            fail_or_ok(res);
        }
        else if (!strcmp(op, "link"))
            fail_or_ok(make_link(view, key, word[3]));
        else if (!strcmp(op, "unlink"))
            fail_or_ok(remove_link(view, key));
        else if (!strcmp(op, "rmtree"))
        {
            WCHAR *path = wide_from_hex(key), *rest;
            HKEY root = split_root(path, &rest);
            res = RegOpenKeyExW(root, rest, 0, KEY_ALL_ACCESS | view_flag(view), &hkey);
            if (!res)
            {
                res = RegDeleteTreeW(hkey, NULL);
                RegCloseKey(hkey);
                if (!res)
                    res = RegDeleteKeyExW(root, rest, view_flag(view), 0);
            }
            HeapFree(GetProcessHeap(), 0, path);
            fail_or_ok(res);
        }
        else if (!strcmp(op, "dump"))
        {
            res = open_key(view, key, KEY_READ, &hkey);
            if (res)
                printf("open %ld", res);
            else
            {
                WCHAR empty[1] = {0};
                dump_key(hkey, empty, 0);
                RegCloseKey(hkey);
                printf("done");
            }
        }
        else if (!strcmp(op, "ntkey"))
            fail_or_ok(nt_key(view, key, word[3]));
        else if (!strcmp(op, "fill"))
            fail_or_ok(fill_value(view, key, word[3], word[4], word[5], word[6]));
        else if (!strcmp(op, "ntset"))
            fail_or_ok(nt_set(view, key, word[3], word[4], word[5]));
        else
            printf("unknown op");
        printf("\n");
        fflush(stdout);
    }
    return 0;
}
