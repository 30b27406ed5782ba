/// @file
/// Small platform utility functions of the gateway.
#ifndef VELMOX_PLATFORM_H
#define VELMOX_PLATFORM_H

/// The process-wide debug level: set once from velmox.ini by the gateway,
/// before anything else; any non-zero value switches every trace on.
extern int g_debug;

///@{
/// Converts s to upper (lower) case in place, up to its terminator.
char* unix_strupr(char* s);
char* unix_strlwr(char* s);
///@}

/// Writes value into buf and returns buf: radix 8 gives octal, 16 lower-case
/// hexadecimal, any other radix signed decimal. buf must hold the text
/// (12 characters and the terminator always suffice).
char* itoa(int value, char* buf, int radix);

/// Size in bytes of the open file fd; -1 when fstat fails.
long _filelength(int fd);

/// Finds text entry `entry` of a packed list of the messaging platform: the
/// list header, entryCount 16-bit length words, then the texts without
/// terminators. Stores the text's address and length and returns 0. An entry at
/// or above entryCount, or a null list, text or length, reads nothing: it
/// gives a null text of length 0 (where they can be stored) and -1.
int UNIX_ListGetText(void* list, unsigned short entry, char** text,
                     unsigned short* length, unsigned short entryCount);

#endif
