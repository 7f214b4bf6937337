// Drives the server's registry path parser and view gate directly: one case
// per input line, one result line per case. Run under Wine by the host tests.
//   root HEX          -> "0 ARCH" or "1 ROOT ARCH OFFSET" (ROOT as hex handle value,
//                        OFFSET of the key path in the text)
//   gate ARCH IS64    -> the view after the gate
//   access RIGHTS ARCH -> the access mask for one pass, hex
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
        char op[32] = "", a[4096] = "", b[64] = "";
        sscanf(line, "%31s %4095s %63s", op, a, b);

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
        else
            printf("unknown op");
        printf("\n");
        fflush(stdout);
    }
    return 0;
}
