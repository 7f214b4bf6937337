/*
 * qvaddprinter: adds Google Cloud Print printers to the current Wine prefix.
 *
 *   qvaddprinter --gcloud <name>,<id> [--gcloud <name>,<id> ...]
 *
 * For every pair the driver "Google Cloud Print" (wineps.drv with
 * Google_Cloud_Print.ppd) is installed for the three driver environments, then
 * a printer using it is added on the port "QV_GCLOUD:<id>".  Standard output
 * carries only the usage text; everything else goes to the Wine debug channel
 * qvaddprinter (WINEDEBUG=+qvaddprinter).
 */
#include <windows.h>
#include <winspool.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <wine/debug.h>

WINE_DEFAULT_DEBUG_CHANNEL(qvaddprinter);

#define MAX_CLOUD_PRINTERS 200

static const char OPT_CLOUD[] = "--gcloud";
static const char OPT_HELP[] = "--help";
static const char gcp[] = "Google Cloud Print";
static const char label[] = "QV_GCLOUD:";

/* Only the names are used, and they go to the ANSI spooler call. */
static const char envname_x86W[] = "Windows NT x86";
static const char envname_x64W[] = "Windows x64";
static const char envname_win40W[] = "Windows 4.0";
static const char *const all_printenv[] = {envname_x86W, envname_x64W, envname_win40W};

static void usage(const char *progname, int rc)
{
    printf("%s\n", progname);
    printf("    Adds a printer to the current wine prefix.\n");
    printf("    Only Google Cloud Print printers currently supported.\n");
    printf("Usage:\n");
    printf("    --gcloud <priner name>,<printer id>\n");
    printf("             Adds a Google Cloud Print printer with the specified name and ID.");
    exit(rc);
}

static char *heap_copy(const char *text, size_t len)
{
    char *copy = (char *)HeapAlloc(GetProcessHeap(), 0, len + 1);
    if (copy)
    {
        memcpy(copy, text, len);
        copy[len] = 0;
    }
    return copy;
}

/* "name,id": the name ends at the first comma, the id keeps any later ones.
 * Returns 0 with dest untouched when the value is rejected, and also when the
 * heap cannot supply the copies: the printer then cannot be taken at all. */
static int parse_cloudprinter_param(const char *arg, char *dest[2])
{
    const char *comma = strchr(arg, ',');
    const char *pname;
    char *name, *id;

    if (!comma || comma == arg || !comma[1])
        return 0;
    pname = comma + 1;

    name = heap_copy(arg, (size_t)(comma - arg));
    id = heap_copy(pname, strlen(pname));
    if (!name || !id)
    {
        WINE_WARN("Out of memory taking %s.\n", wine_dbgstr_a(arg));
        if (name)
            HeapFree(GetProcessHeap(), 0, name);
        if (id)
            HeapFree(GetProcessHeap(), 0, id);
        return 0;
    }
    dest[0] = name;
    dest[1] = id;
    return 1;
}

/* FALSE when the printer could not be handed to the spooler (no port name);
 * what the spooler does with the calls is not examined. */
static BOOL add_printer(const char *printer_name, const char *printer_id)
{
    DRIVER_INFO_3A driver;
    PRINTER_INFO_2A printer;
    char *port;
    size_t label_len = strlen(label), id_len = strlen(printer_id);
    unsigned int i;

    WINE_TRACE("Adding cloud printer name %s printer_id %s\n", wine_dbgstr_a(printer_name),
               wine_dbgstr_a(printer_id));

    memset(&driver, 0, sizeof(driver));
    driver.cVersion = 3;
    driver.pName = (LPSTR)gcp;
    driver.pDriverPath = (LPSTR) "wineps.drv";
    driver.pDataFile = (LPSTR) "Google_Cloud_Print.ppd";
    driver.pConfigFile = (LPSTR) "wineps.drv";
    driver.pDefaultDataType = (LPSTR) "RAW";
    for (i = 0; i < sizeof(all_printenv) / sizeof(all_printenv[0]); i++)
    {
        driver.pEnvironment = (LPSTR)all_printenv[i];
        AddPrinterDriverA(NULL, 3, (LPBYTE)&driver);
    }

    port = (char *)HeapAlloc(GetProcessHeap(), 0, label_len + id_len + 1);
    if (!port)
    {
        WINE_WARN("Out of memory for the port of %s - not added.\n", wine_dbgstr_a(printer_name));
        return FALSE;
    }
    memcpy(port, label, label_len);
    memcpy(port + label_len, printer_id, id_len + 1);

    memset(&printer, 0, sizeof(printer));
    printer.pPrinterName = (LPSTR)printer_name;
    printer.pPortName = port;
    printer.pDriverName = (LPSTR)gcp;
    printer.pPrintProcessor = (LPSTR) "WinPrint";
    AddPrinterA(NULL, 2, (LPBYTE)&printer);

    HeapFree(GetProcessHeap(), 0, port);
    return TRUE;
}

int main(int argc, char **argv)
{
    char *cloud_printers[MAX_CLOUD_PRINTERS][2];
    int num_cloud_printers;
    const char *progname;
    const char *backslash;
    BOOL all_added = TRUE;
    int j;

    WINE_TRACE("Starting up.\n");

    /* The usage text is exact bytes, without the runtime's CR before LF. */
    _setmode(_fileno(stdout), _O_BINARY);

    memset(cloud_printers, 0, sizeof(cloud_printers));
    num_cloud_printers = 0;
    progname = argc > 0 && argv[0] ? argv[0] : "";
    backslash = strrchr(progname, '\\');
    if (backslash)
        progname = backslash + 1;

    if (argc <= 1)
        return 0;

    for (j = 1; j < argc; j++)
    {
        if (!strcmp(argv[j], OPT_CLOUD))
        {
            j++;
            if (j >= argc || !parse_cloudprinter_param(argv[j], cloud_printers[num_cloud_printers]))
            {
                WINE_WARN("Option --gcloud requires <printer_name>,<printer_id>\n");
                usage(progname, 1);
            }
            num_cloud_printers++;
            if (num_cloud_printers == MAX_CLOUD_PRINTERS)
            {
                WINE_WARN("Maximum number of GCP printers reached.\n");
                break;
            }
        }
        else if (!strcmp(argv[j], OPT_HELP))
            usage(progname, 0);
        else
            WINE_WARN("Unknown arg %s - ignoring.\n", wine_dbgstr_a(argv[j]));
    }

    if (num_cloud_printers == 0)
        return 0;

    /* A printer that could not be handed over makes the run a failure, but
     * the others are still installed. */
    for (j = 0; j < num_cloud_printers; j++)
        if (!add_printer(cloud_printers[j][0], cloud_printers[j][1]))
            all_added = FALSE;

    return all_added ? 0 : 1;
}
