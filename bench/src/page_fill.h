/* The page that the trivial CGI program and the FastCGI responder answer:
 * a header, a blank line and an HTML page padded to exactly `size` bytes
 * (the size of the gateway's page for the benchmark request). C and C++. */
#ifndef VELMOX_BENCH_PAGE_FILL_H
#define VELMOX_BENCH_PAGE_FILL_H

#include <string.h>

#define BENCH_PAGE_HEAD "Content-Type: text/html; charset=utf-8\nCache-Control: no-store\n\n<!DOCTYPE html>\n<html><body><p>"
#define BENCH_PAGE_TAIL "</p></body></html>\n"

/* Fills page (at least size bytes) and returns the page's length: size, or
 * the bare head and tail when size is smaller than they are. */
static inline size_t FillBenchPage(char* page, size_t size) {
    const size_t head = sizeof BENCH_PAGE_HEAD - 1, tail = sizeof BENCH_PAGE_TAIL - 1;
    size_t filler = size > head + tail ? size - head - tail : 0;
    memcpy(page, BENCH_PAGE_HEAD, head);
    for (size_t i = 0; i < filler; ++i) page[head + i] = (i % 64 == 63) ? '\n' : (char)('a' + i % 26);
    memcpy(page + head + filler, BENCH_PAGE_TAIL, tail);
    return head + filler + tail;
}

#endif
