#include "platform.h"

#include <cctype>
#include <cstdio>
#include <sys/stat.h>

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
