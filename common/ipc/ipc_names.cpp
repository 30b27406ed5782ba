#include "ipc_names.h"

#include <cstdio>
#include <cstring>

const char kServerMonMutexFmt[] = "%s.0";
const char kServerMonShMemFmt[] = "%s.0";
const char kServerCountSemFmt[] = "%s.sem.0";
const char kMutexFmt[] = "%s.mtx.%d";
const char kClientSemFmt[] = "%s.csm.%d";
const char kServerSemFmt[] = "%s.ssm.%d";
const char kShMemFmt[] = "%s.shm.%d";
const char kCountersFmt[] = "%s.stats";

char* FormatName(char* buffer, const char* format, const char* base, int index) {
    // The formats are this file's own; the ones without %d ignore the index.
    int n = std::strstr(format, "%d") ? std::snprintf(buffer, kNameBufferSize, format, base, index)
                                       : std::snprintf(buffer, kNameBufferSize, format, base);
    if (n < 0 || n >= kNameBufferSize) buffer[0] = 0;
    return buffer;
}

bool CopyBaseName(char (&dst)[kNameBufferSize], const char* base) {
    if (!base || std::strlen(base) > kMaxBaseNameLength) return false;
    std::strcpy(dst, base);
    return true;
}
