#include "platform.h"

#include <cctype>
#include <cstdio>
#include <sys/stat.h>

#include "zatch_stub.h"

int g_debug = 0;

char* unix_strupr(char* s) {
    for (char* p = s; p && *p; ++p) *p = char(std::toupper((unsigned char)*p));
    return s;
}

char* unix_strlwr(char* s) {
    for (char* p = s; p && *p; ++p) *p = char(std::tolower((unsigned char)*p));
    return s;
}

char* itoa(int value, char* buf, int radix) {
    // Twelve characters hold any int in each of the three bases.
    const char* format = radix == 8 ? "%o" : radix == 16 ? "%x" : "%d";
    std::snprintf(buf, 13, format, value);
    return buf;
}

long _filelength(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    return long(st.st_size);
}

// The texts follow the header and the length words; each entry's text
// starts where the texts of the entries before it end.
int UNIX_ListGetText(void* list, unsigned short entry, char** text, unsigned short* length,
                     unsigned short entryCount) {
    if (text) *text = nullptr;
    if (length) *length = 0;
    if (!list || !text || !length || entry >= entryCount) return -1;
    unsigned short headerSize = ZatchStructLength(ZATCH_TYPE_LIST_HEADER);
    unsigned short wordSize = ZatchStructLength(ZATCH_TYPE_WORD);
    const char* words = static_cast<const char*>(list) + headerSize;
    char* position = static_cast<char*>(list) + headerSize + size_t(entryCount) * wordSize;
    unsigned short wordValue = 0;
    for (unsigned short i = 0; i < entry; ++i) {
        ZatchStructToMemory(words + size_t(i) * wordSize, ZATCH_TYPE_WORD, 1, &wordValue);
        position += wordValue;
    }
    ZatchStructToMemory(words + size_t(entry) * wordSize, ZATCH_TYPE_WORD, 1, &wordValue);
    *length = wordValue;
    *text = position;
    return 0;
}
