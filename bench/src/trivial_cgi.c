/* velmox-bench-trivial-cgi: the least a CGI program can do. It writes a page
 * of BENCH_PAGE_BYTES bytes (fixed when it is built) with one write and
 * exits; statically linked, like the gateway. What it costs is what any CGI
 * design costs. */
#include <unistd.h>

#include "page_fill.h"

#ifndef BENCH_PAGE_BYTES
#define BENCH_PAGE_BYTES 4800
#endif

static char page[BENCH_PAGE_BYTES + 256];

int main(void) {
    size_t length = FillBenchPage(page, BENCH_PAGE_BYTES);
    const char* at = page;
    while (length > 0) {
        ssize_t n = write(1, at, length);
        if (n <= 0) return 1;
        at += n;
        length -= (size_t)n;
    }
    return 0;
}
