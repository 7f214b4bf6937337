// Drives the server's text routines directly: one case per input line,
// one result line per case. Run under Wine by the host tests.
//   atow HEX              -> UTF-16 units of the result, hex, terminator included
//   wtoa_n HEXUNITS N     -> byte count, space, the bytes in hex
//   escaped HEX           -> sendescapedstring output, raw
//   escaped_n HEX         -> sendescapedstring_n output, raw
//   unescape HEX          -> readescapedstring result, hex
//   need HELD GOT         -> the line buffer's size after a refill, or "refused"
#include "qvmanip.cpp"

#include <string>
#include <vector>

static std::string from_hex(const char *hex)
{
    std::string out;
    for (; hex[0] && hex[1]; hex += 2)
    {
        char pair[3] = {hex[0], hex[1], 0};
        out += (char)strtoul(pair, NULL, 16);
    }
    return out;
}

static void put_hex(const void *data, size_t n)
{
    const unsigned char *p = (const unsigned char *)data;
    for (size_t i = 0; i < n; i++)
        printf("%02x", p[i]);
}

int main(void)
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);

    char *line;
    while ((line = raw_input()))
    {
        char op[32] = "", a[65536] = "", b[64] = "";
        sscanf(line, "%31s %65535s %63s", op, a, b);
        std::string bytes = from_hex(a);

        if (!strcmp(op, "atow"))
        {
            WCHAR *w = AtoW(bytes.c_str());
            put_hex(w, (wcslen(w) + 1) * sizeof(WCHAR));
            heap_free(w);
        }
        else if (!strcmp(op, "wtoa_n"))
        {
            std::vector<WCHAR> units(bytes.size() / 2 + 1, 0);
            memcpy(units.data(), bytes.data(), bytes.size());
            int len = -1;
            char *s = WtoA_n(units.data(), atoi(b), &len);
            printf("%d ", len);
            put_hex(s, len);
            heap_free(s);
        }
        else if (!strcmp(op, "escaped"))
            sendescapedstring(bytes.c_str());
        else if (!strcmp(op, "escaped_n"))
            sendescapedstring_n(bytes.data(), (unsigned)bytes.size());
        else if (!strcmp(op, "unescape"))
        {
            char *s = readescapedstring(bytes.c_str());
            put_hex(s, strlen(s));
            heap_free(s);
        }
        else if (!strcmp(op, "need"))
        {
            int need;
            if (line_buffer_need(atoi(a), atoi(b), &need))
                printf("%d", need);
            else
                printf("refused");
        }
        else
            printf("unknown op");
        printf("\n");
        fflush(stdout);
    }
    return 0;
}
