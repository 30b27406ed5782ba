/// @file
/// The names of every inter-process object of a pipe, made from its base
/// name B and, for a server's own objects, its slot index i:
/// @verbatim
///   registry mutex      B.0        member 0 of the set keyed by file B
///   registry block      B.0        segment of 1032 bytes (a ServerList)
///   free-server count   B.sem.0    member 0 of the set keyed by B.sem
///   server mutex        B.mtx.i    member i of the set keyed by B.mtx
///   request event       B.csm.i    member i of the set keyed by B.csm
///   answer event        B.ssm.i    member i of the set keyed by B.ssm
///   pipe block          B.shm.i    segment: 32-bit length word, then the message
///   counters            B.stats    segment: a CounterBlock (pipe_counters.h)
/// @endverbatim
#ifndef VELMOX_IPC_NAMES_H
#define VELMOX_IPC_NAMES_H

#include "pipe_limits.h"

/// @name The formats of the names (the table above), for FormatName
///@{
extern const char kServerMonMutexFmt[];  ///< the registry mutex: "%s.0"
extern const char kServerMonShMemFmt[];  ///< the registry block: "%s.0"
extern const char kServerCountSemFmt[];  ///< the free-server count: "%s.sem.0"
extern const char kMutexFmt[];           ///< a server's mutex: "%s.mtx.%d"
extern const char kClientSemFmt[];       ///< a server's request event: "%s.csm.%d"
extern const char kServerSemFmt[];       ///< a server's answer event: "%s.ssm.%d"
extern const char kShMemFmt[];           ///< a server's pipe block: "%s.shm.%d"
extern const char kCountersFmt[];        ///< the counters: "%s.stats"
///@}

/// The name of an object: format (one %s for the base name, at most one %d
/// for the index) filled into buffer, which holds kNameBufferSize bytes.
/// An empty name when it does not fit: it then names nothing, rather than a
/// neighbour's object. Returns buffer. Never fails.
char* FormatName(char* buffer, const char* format, const char* base, int index = 0);

/// Copies a base name that leaves room for every suffix; false for a null
/// or too long one.
bool CopyBaseName(char (&dst)[kNameBufferSize], const char* base);

#endif
