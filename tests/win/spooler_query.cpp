// Reports what Wine's print spooler holds, independently of qvaddprinter.
// Every string goes out as hex ("-" for a null pointer), one record a line:
//   drivers                 -> "driver ENV VERSION NAME DRIVERPATH DATAFILE CONFIGFILE DATATYPE"
//                              per driver of each of the three environments, or
//                              "error ENV CODE" when the environment cannot be listed
//   printers                -> "printer NAME PORT DRIVER PROCESSOR" per printer that
//                              EnumPrintersA (level 2) lists
//   printer HEXNAME...      -> "printer NAME OPEN WRITETIME PORT DRIVER PROCESSOR" per name:
//                              OPEN is 0 when OpenPrinterA worked and the fields come
//                              from GetPrinterA level 2, else its error code and the
//                              fields come from the spooler's registry key; WRITETIME
//                              is that key's last write (100 ns units); or
//                              "absent NAME CODE"
//   delete HEXNAME...       -> "deleted NAME HOW" (HOW: spooler, registry or absent)
//                              or "kept NAME CODE": DeletePrinter when the printer
//                              opens, else its registry traces are removed
#include <windows.h>
#include <winspool.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char printers_key[] = "System\\CurrentControlSet\\Control\\Print\\Printers";
static const char *const environments[] = {"Windows NT x86", "Windows x64", "Windows 4.0"};

static void put_hex(const char *s)
{
    if (!s)
    {
        fputs(" -", stdout);
        return;
    }
    fputc(' ', stdout);
    if (!*s)
        fputs("\"\"", stdout);  // empty, told apart from null
    for (; *s; s++)
        printf("%02x", (unsigned char)*s);
}

// Decodes HEX into a new block (free it); NULL when malformed.
static char *from_hex(const char *hex)
{
    size_t n = strlen(hex);
    if (n % 2)
        return NULL;
    char *out = (char *)HeapAlloc(GetProcessHeap(), 0, n / 2 + 1);
    if (!out)
        return NULL;
    for (size_t i = 0; i < n / 2; i++)
    {
        char pair[3] = {hex[2 * i], hex[2 * i + 1], 0};
        out[i] = (char)strtoul(pair, NULL, 16);
    }
    out[n / 2] = 0;
    return out;
}

static BYTE *heap_block(DWORD size) { return (BYTE *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size ? size : 1); }
static void heap_free(void *p) { HeapFree(GetProcessHeap(), 0, p); }

static void drivers_cmd(void)
{
    for (unsigned e = 0; e < sizeof(environments) / sizeof(environments[0]); e++)
    {
        DWORD need = 0, count = 0;
        EnumPrinterDriversA(NULL, (LPSTR)environments[e], 3, NULL, 0, &need, &count);
        BYTE *buf = heap_block(need);
        if (!EnumPrinterDriversA(NULL, (LPSTR)environments[e], 3, buf, need, &need, &count))
        {
            printf("error");
            put_hex(environments[e]);
            printf(" %lu\n", GetLastError());
            heap_free(buf);
            continue;
        }
        DRIVER_INFO_3A *d = (DRIVER_INFO_3A *)buf;
        for (DWORD i = 0; i < count; i++)
        {
            printf("driver");
            put_hex(environments[e]);
            printf(" %lu", d[i].cVersion);
            put_hex(d[i].pName);
            put_hex(d[i].pDriverPath);
            put_hex(d[i].pDataFile);
            put_hex(d[i].pConfigFile);
            put_hex(d[i].pDefaultDataType);
            fputc('\n', stdout);
        }
        heap_free(buf);
    }
}

static void printers_cmd(void)
{
    DWORD need = 0, count = 0;
    EnumPrintersA(PRINTER_ENUM_LOCAL, NULL, 2, NULL, 0, &need, &count);
    BYTE *buf = heap_block(need);
    if (!EnumPrintersA(PRINTER_ENUM_LOCAL, NULL, 2, buf, need, &need, &count))
    {
        printf("error printers %lu\n", GetLastError());
        heap_free(buf);
        return;
    }
    PRINTER_INFO_2A *p = (PRINTER_INFO_2A *)buf;
    for (DWORD i = 0; i < count; i++)
    {
        printf("printer");
        put_hex(p[i].pPrinterName);
        put_hex(p[i].pPortName);
        put_hex(p[i].pDriverName);
        put_hex(p[i].pPrintProcessor);
        fputc('\n', stdout);
    }
    heap_free(buf);
}

// A string value of the key as a new block, or NULL.
static char *reg_string(HKEY key, const char *name)
{
    DWORD type, size = 0;
    if (RegQueryValueExA(key, name, NULL, &type, NULL, &size) || type != REG_SZ)
        return NULL;
    char *value = (char *)heap_block(size + 1);
    if (value && RegQueryValueExA(key, name, NULL, &type, (BYTE *)value, &size))
    {
        heap_free(value);
        return NULL;
    }
    return value;
}

static void printer_cmd(const char *name)
{
    HKEY printers, key = NULL;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, printers_key, 0, KEY_READ, &printers);
    if (!rc)
    {
        rc = RegOpenKeyExA(printers, name, 0, KEY_READ, &key);
        RegCloseKey(printers);
    }
    FILETIME written = {0, 0};
    if (!rc)
        RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, &written);

    HANDLE handle = NULL;
    DWORD open_error = 0;
    if (!OpenPrinterA((LPSTR)name, &handle, NULL))
        open_error = GetLastError() ? GetLastError() : 1;
    if (open_error && rc)
    {
        printf("absent");
        put_hex(name);
        printf(" %ld\n", (long)rc);
        return;
    }
    printf("printer");
    put_hex(name);
    printf(" %lu %llu", open_error,
           (unsigned long long)written.dwHighDateTime << 32 | written.dwLowDateTime);
    if (!open_error)
    {
        DWORD need = 0;
        GetPrinterA(handle, 2, NULL, 0, &need);
        BYTE *buf = heap_block(need);
        PRINTER_INFO_2A *p = (PRINTER_INFO_2A *)buf;
        if (GetPrinterA(handle, 2, buf, need, &need))
        {
            put_hex(p->pPortName);
            put_hex(p->pDriverName);
            put_hex(p->pPrintProcessor);
        }
        else
            printf(" - - -");
        heap_free(buf);
        ClosePrinter(handle);
    }
    else
    {
        const char *fields[] = {"Port", "Printer Driver", "Print Processor"};
        for (unsigned i = 0; i < 3; i++)
        {
            char *value = reg_string(key, fields[i]);
            put_hex(value);
            heap_free(value);
        }
    }
    fputc('\n', stdout);
    if (key)
        RegCloseKey(key);
}

// The per-user lists that the spooler keeps next to its own key.
static void delete_user_entries(const char *name)
{
    const char *lists[] = {"Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices",
                           "Software\\Microsoft\\Windows NT\\CurrentVersion\\PrinterPorts"};
    for (unsigned i = 0; i < 2; i++)
    {
        HKEY key;
        if (!RegOpenKeyExA(HKEY_CURRENT_USER, lists[i], 0, KEY_SET_VALUE, &key))
        {
            RegDeleteValueA(key, name);
            RegCloseKey(key);
        }
    }
}

static void delete_cmd(const char *name)
{
    HANDLE handle = NULL;
    PRINTER_DEFAULTSA access = {NULL, NULL, PRINTER_ALL_ACCESS};
    if (OpenPrinterA((LPSTR)name, &handle, &access))
    {
        BOOL ok = DeletePrinter(handle);
        DWORD error = GetLastError();
        ClosePrinter(handle);
        if (ok)
        {
            printf("deleted");
            put_hex(name);
            printf(" spooler\n");
            return;
        }
        printf("kept");
        put_hex(name);
        printf(" %lu\n", error);
        return;
    }
    // The spooler cannot open it, so remove what it wrote.
    HKEY printers;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, printers_key, 0, KEY_ALL_ACCESS, &printers);
    if (!rc)
    {
        rc = RegDeleteTreeA(printers, name);  // the key itself goes too
        // A backslash in the name made parent keys; drop those that hold no printer.
        size_t len = strlen(name);
        char *parent = (char *)heap_block((DWORD)len + 1);
        memcpy(parent, name, len + 1);
        for (char *cut; (cut = strrchr(parent, '\\'));)
        {
            *cut = 0;
            HKEY key;
            if (!*parent || RegOpenKeyExA(printers, parent, 0, KEY_READ, &key))
                break;
            DWORD subkeys = 1;
            RegQueryInfoKeyA(key, NULL, NULL, NULL, &subkeys, NULL, NULL, NULL, NULL, NULL, NULL, NULL);
            char *port = reg_string(key, "Port");
            RegCloseKey(key);
            BOOL empty = subkeys == 0 && !port;
            heap_free(port);
            if (!empty || RegDeleteKeyA(printers, parent))
                break;
        }
        heap_free(parent);
        RegCloseKey(printers);
    }
    delete_user_entries(name);
    if (rc == ERROR_FILE_NOT_FOUND)
    {
        printf("deleted");
        put_hex(name);
        printf(" absent\n");
    }
    else if (rc)
    {
        printf("kept");
        put_hex(name);
        printf(" %ld\n", (long)rc);
    }
    else
    {
        printf("deleted");
        put_hex(name);
        printf(" registry\n");
    }
}

int main(int argc, char **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 2)
    {
        fputs("usage: spooler_query drivers | printers | printer HEX... | delete HEX...\n", stderr);
        return 2;
    }
    if (!strcmp(argv[1], "drivers"))
        drivers_cmd();
    else if (!strcmp(argv[1], "printers"))
        printers_cmd();
    else if (!strcmp(argv[1], "printer") || !strcmp(argv[1], "delete"))
    {
        for (int i = 2; i < argc; i++)
        {
            char *name = from_hex(argv[i]);
            if (!name)
            {
                printf("badhex %s\n", argv[i]);
                continue;
            }
            if (argv[1][0] == 'p')
                printer_cmd(name);
            else
                delete_cmd(name);
            heap_free(name);
        }
    }
    else
        return 2;
    return fflush(stdout) ? 1 : 0;
}
