/// @file
/// Exceptions: every failure that ends a request is raised as one of these.
/// Each carries an identifier with a fixed display name, the bare name of the
/// source file that raised it and the line of the raise site.
#ifndef VELMOX_EXCEPT_H
#define VELMOX_EXCEPT_H

#include <cstdint>

#include "ipc_failure.h"

class SimpleStream;

/// The base of every exception the library raises (see the file's
/// description); a class per identifier derives from it.
class Exception {
public:
    /// The identifier of an exception class, which indexes c_excName.
    enum ExcId : uint32_t {
        ExcUnknown = 0,
        ExcOutOfMemory = 1,
        ExcBadArgument = 2,
        ExcUnknownCmd = 3,
        ExcInvalidURL = 4,
        ExcIPC = 5,
        ExcIllegalArgs = 6,
        ExcBufferOverflow = 7,
        ExcOutOfRange = 8,
        ExcCmdNotHandled = 9,
        ExcCorruptData = 10,
        ExcItemNotFound = 11,
        ExcPlatform = 12
    };
    static const int c_excCount = 13;  ///< the number of identifiers
    /// Display names, indexed by identifier.
    static const char* const c_excName[c_excCount];

    /// Keeps the part of file after its last backslash; file may be null.
    /// Never allocates and never throws, so it can report a failed allocation.
    Exception(ExcId id, const char* file, int line) noexcept;
    virtual ~Exception();

    /// Inserts the display name, then " - ", the file, ": " and the line in
    /// decimal when a file is known, then "\n". Raises what the stream raises.
    void Report(SimpleStream& s) const;

    ExcId m_id;          ///< the identifier
    const char* m_file;  ///< the raise site's bare file name; may be null
    int m_line;          ///< the raise site's line
};

/// Defines the exception class Name of identifier Id: constructed with the
/// raise site's file and line, never throwing (RAISE).
#define VELMOX_EXCEPTION_CLASS(Name, Id)                                      \
    class Name : public Exception {                                           \
    public:                                                                   \
        Name(const char* file, int line) noexcept : Exception(Id, file, line) {} \
        ~Name() override;                                                     \
    }

/// Memory was refused (RootAlloc).
VELMOX_EXCEPTION_CLASS(OutOfMemoryExc, ExcOutOfMemory);
/// An argument the allocation refuses (0 bytes).
VELMOX_EXCEPTION_CLASS(BadArgumentExc, ExcBadArgument);
/// A command name or identifier that names no command class.
VELMOX_EXCEPTION_CLASS(UnknownCmdExc, ExcUnknownCmd);
/// A request path without a command name.
VELMOX_EXCEPTION_CLASS(InvalidURLExc, ExcInvalidURL);
/// A failure to reach or talk to the server task. It carries the cause when
/// the raise site knows it: the failed call, its error and the object's name,
/// for example "semget /tmp/.velmox.csm: No such file or directory".
class IPCexc : public Exception {
public:
    /// Without a known cause.
    IPCexc(const char* file, int line) noexcept;
    /// With the cause, kept as its text (IpcFailure::Text) and whether it is a refusal.
    IPCexc(const char* file, int line, const IpcFailure& cause) noexcept;
    ~IPCexc() override;
    /// The cause as text; "" when unknown.
    const char* Cause() const { return m_cause; }
    /// True when the cause is a refusal of trust or permission, which an
    /// operator must mend (IpcFailure::Refused).
    bool Refused() const { return m_refused; }

private:
    char m_cause[IpcFailure::kTextSize];
    bool m_refused;
};
/// A null pointer or a size the call does not take.
VELMOX_EXCEPTION_CLASS(IllegalArgsExc, ExcIllegalArgs);
/// A stream item that does not fit, or is not there.
VELMOX_EXCEPTION_CLASS(BufferOverflowExc, ExcBufferOverflow);
/// A length or value beyond its limit (a block, a stream, 32 bits).
VELMOX_EXCEPTION_CLASS(OutOfRangeExc, ExcOutOfRange);
/// A command executed while no handler is installed.
VELMOX_EXCEPTION_CLASS(CmdNotHandledExc, ExcCmdNotHandled);
/// Damaged data from the other end of the pipe: a string longer than its field,
/// a request-record block whose values do not end inside it.
VELMOX_EXCEPTION_CLASS(CorruptDataExc, ExcCorruptData);

/// The bare name of a source file: what follows its last directory separator.
constexpr const char* VelmoxBareFileName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    return base;
}

/// Raises an exception class with the raise site's bare file name and line.
#define RAISE(ExcClass) throw ExcClass(VelmoxBareFileName(__FILE__), __LINE__)
/// Raises IPCexc with the cause of the failure (an IpcFailure).
#define RAISE_IPC(cause) throw IPCexc(VelmoxBareFileName(__FILE__), __LINE__, (cause))

#endif
