// qvaddprinter itself, with one heap allocation made to fail: the n-th call
// of HeapAlloc (counted from 1) when QV_FAIL_HEAP_AT=n is set, none otherwise.
// Shows what the installer does when the heap cannot supply a block.
#include <windows.h>
#include <stdlib.h>

static LPVOID failing_heap_alloc(HANDLE heap, DWORD flags, SIZE_T size)
{
    static long calls = 0;
    const char *at = getenv("QV_FAIL_HEAP_AT");
    if (at && ++calls == atol(at))
        return NULL;
    return HeapAlloc(heap, flags, size);
}

#define HeapAlloc failing_heap_alloc
#include "../../winelib/qvaddprinter/main.cpp"
