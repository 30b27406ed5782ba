#include "root.h"

#include <cstdlib>

#include "except.h"

void* RootAlloc(size_t size) {
    if (size == 0) RAISE(BadArgumentExc);
    void* block = std::malloc(size);
    if (!block) RAISE(OutOfMemoryExc);
    return block;
}

void RootFree(void* block) { std::free(block); }
