// Drives the server's registry path parser and view gate directly: one case
// per input line, one result line per case. Run under Wine by the host tests.
//   root HEX          -> "0 ARCH" or "1 ROOT ARCH OFFSET" (ROOT as hex handle value,
//                        OFFSET of the key path in the text)
//   gate ARCH IS64    -> the view after the gate
//   access RIGHTS ARCH -> the access mask for one pass, hex
//   heap N COMMAND HEXARGS -> runs the command's handler with the Nth heap block
//                        of the server's own code refused (N < 0: none), then
//                        "\n#heap REFUSED LIVE": whether a block was refused, and
//                        how many of the handler's blocks are still held
#include <windows.h>

static long refuse_countdown = -1;
static int refused;
static long live_blocks;

static LPVOID WINAPI counted_heap_alloc(HANDLE heap, DWORD flags, SIZE_T size)
{
    if (refuse_countdown == 0)
    {
        refuse_countdown = -1;
        refused = 1;
        return NULL;
    }
    if (refuse_countdown > 0)
        refuse_countdown--;
    LPVOID block = HeapAlloc(heap, flags, size);
    if (block)
        live_blocks++;
    return block;
}

static BOOL WINAPI counted_heap_free(HANDLE heap, DWORD flags, LPVOID block)
{
    live_blocks--;
    return HeapFree(heap, flags, block);
}

/* Every heap block the server's code takes goes through the counters. */
#define HeapAlloc counted_heap_alloc
#define HeapFree counted_heap_free
#include "qvmanip.cpp"

static char *from_hex(const char *hex)
{
    size_t n = strlen(hex) / 2;
    char *out = (char *)heap_alloc(n + 1);
    for (size_t i = 0; i < n; i++)
    {
        char pair[3] = {hex[2 * i], hex[2 * i + 1], 0};
        out[i] = (char)strtoul(pair, NULL, 16);
    }
    out[n] = 0;
    return out;
}

int main(void)
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);

    char *line;
    while ((line = raw_input()))
    {
        char op[32] = "", a[4096] = "", b[64] = "", c[4096] = "";
        sscanf(line, "%31s %4095s %63s %4095s", op, a, b, c);

        if (!strcmp(op, "root"))
        {
            char *path = from_hex(a);
            HKEY rootkey = NULL;
            enum reg_arch arch = REG_BOTH;
            const char *subtree = NULL;
            if (get_reg_root(path, &rootkey, &arch, &subtree))
                printf("1 %lx %d %d", (unsigned long)(ULONG_PTR)rootkey, (int)arch, (int)(subtree - path));
            else
                printf("0 %d", (int)arch);
            heap_free(path);
        }
        else if (!strcmp(op, "gate"))
            printf("%d", (int)reg_view_gate((enum reg_arch)atoi(a), atoi(b) != 0));
        else if (!strcmp(op, "access"))
            printf("%lx", (unsigned long)reg_access((REGSAM)strtoul(a, NULL, 16), (enum reg_arch)atoi(b)));
        else if (!strcmp(op, "heap"))
        {
            char *args = from_hex(c);
            const struct command *cmd = commands;
            while (cmd->name && strcmp(cmd->name, b))
                cmd++;
            long before = live_blocks;
            refused = 0;
            refuse_countdown = atol(a);
            if (cmd->name)
                cmd->func(args);
            refuse_countdown = -1;
            printf("\n#heap %d %ld", refused, live_blocks - before);
            heap_free(args);
        }
        else
            printf("unknown op");
        printf("\n");
        fflush(stdout);
    }
    return 0;
}
