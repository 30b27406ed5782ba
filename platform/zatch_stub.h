// Stand-in for the two functions of the messaging platform's programming
// library that the platform layer uses: the stored length of a structure
// type and the conversion of stored structures into host memory. The
// platform stores its structures little-endian; its list header is one
// 16-bit word, the number of entries.
#ifndef VELMOX_ZATCH_STUB_H
#define VELMOX_ZATCH_STUB_H

#include <cstddef>

// Structure type codes of the platform.
enum ZatchType : unsigned short {
    ZATCH_TYPE_WORD = 0,        // a 16-bit word
    ZATCH_TYPE_LIST_HEADER = 13 // the header of a packed list
};

// Stored length in bytes of one structure of the type; 0 for a type the
// stand-in does not know.
unsigned short ZatchStructLength(unsigned short type);

// Converts `count` stored structures of the type at `stored` into host
// memory at `host`. Only 16-bit words are known; any other type copies
// nothing. Never fails.
void ZatchStructToMemory(const void* stored, unsigned short type, unsigned short count, void* host);

#endif
