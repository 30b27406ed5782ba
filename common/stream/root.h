// Dynamic memory of the system. One allocation function serves every object
// and character array of the system; it never returns null.
#ifndef VELMOX_ROOT_H
#define VELMOX_ROOT_H

#include <cstddef>

// Returns size bytes from malloc. Raises BadArgumentExc for 0 bytes and
// OutOfMemoryExc when malloc refuses; never returns null.
void* RootAlloc(size_t size);

// Returns a block of RootAlloc to the system; null is ignored. Never throws.
void RootFree(void* block);

// A character array of n bytes from RootAlloc (not cleared); raises as RootAlloc.
inline char* RootNewChars(size_t n) { return static_cast<char*>(RootAlloc(n)); }

#endif
