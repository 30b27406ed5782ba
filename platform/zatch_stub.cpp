#include "zatch_stub.h"

#include <cstdint>
#include <cstring>

unsigned short ZatchStructLength(unsigned short type) {
    switch (type) {
    case ZATCH_TYPE_WORD: return 2;
    case ZATCH_TYPE_LIST_HEADER: return 2;
    default: return 0;
    }
}

// Byte by byte, so neither side needs to be aligned.
void ZatchStructToMemory(const void* stored, unsigned short type, unsigned short count, void* host) {
    if (type != ZATCH_TYPE_WORD) return;
    const unsigned char* in = static_cast<const unsigned char*>(stored);
    unsigned char* out = static_cast<unsigned char*>(host);
    for (unsigned short i = 0; i < count; ++i, in += 2, out += 2) {
        uint16_t word = uint16_t(in[0] | (in[1] << 8));
        std::memcpy(out, &word, sizeof word);
    }
}
