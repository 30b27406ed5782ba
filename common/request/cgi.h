/// @file
/// CGI: one web request as the web server hands it to a CGI program — the
/// values of 22 fixed environment variables and, when the request has a body,
/// the body as read and decoded as form data. Only the 22 values travel
/// through the pipe; the body stays with the gateway's commands.
#ifndef VELMOX_CGI_H
#define VELMOX_CGI_H

#include <cstddef>
#include <cstdint>
#include <iosfwd>

#include "pipe_limits.h"
#include "rootobj.h"

/// Zero bytes that follow, beyond its length, every decoded form list that the
/// library holds (a record's m_contents, a Save command's m_body). A walk that
/// goes name, value, name ... and stops only at an empty name, as ParseField
/// without a length does, then ends inside the buffer whatever the list's
/// bytes are: a string that runs to the list's end stops at the first of
/// them, and at most two empty strings follow it.
const size_t kFormListGuard = 3;

/// The longest body a record takes: a request that carries more could never
/// pass the pipe, whose longest message is kLargestMessage bytes.
const int kLargestBody = int(kLargestMessage);

/// The request record: the CGI environment's variables and the request's
/// body (see the file's description).
class CGI : public RootObject {
public:
    static const int c_cgiEnvVarCount = 22;  ///< the number of variables the record holds
    /// Variable names; the index is part of the interface.
    static const char* const c_cgiEnvVarName[c_cgiEnvVarCount];
    /// The indexes of the variables the library reads (c_cgiEnvVarName).
    enum EnvIndex {
        PathInfo = 6,
        ScriptName = 8,
        QueryString = 9,
        RemoteAddr = 11,
        RemoteUser = 13,
        ContentLength = 16,
        HttpUserAgent = 18
    };

    /// No values and no body; the destructor frees the body and the received
    /// block. Never fail.
    CGI();
    ~CGI() override;
    /// A record owns its buffers: it is not copied.
    CGI(const CGI&) = delete;
    CGI& operator=(const CGI&) = delete;

    /// The length of the body a CONTENT_LENGTH value announces, read as atoi
    /// reads it (white space, a sign, digits up to the first other
    /// character): from 1 to kLargestBody; 0 for no body (a value that is
    /// missing, empty, not a number, zero or negative); -1 for a body longer
    /// than kLargestBody, whether or not its length fits an int. Never fails.
    static int AnnouncedBody(const char* contentLength);

    /// Fills the record from the environment and standard input: a variable
    /// that is not set reads as the empty string; a CONTENT_LENGTH that
    /// announces no body (AnnouncedBody) means none; a short read is the body
    /// that arrived. A body announced longer than kLargestBody is refused
    /// before a byte of it is read: OutOfRangeExc, with the values set and no
    /// body (the request is too long for the pipe). Raises OutOfMemoryExc when
    /// the body buffers cannot be had; returns 1 otherwise.
    int InitFromEnv();

    /// Where a body comes from when it is not standard input: reads up to
    /// `length` bytes into `buffer` and returns how many arrived (fewer only at
    /// the end of the input or on an error, which the source keeps).
    typedef size_t (*BodyReader)(void* source, char* buffer, size_t length);

    /// Fills the record from a request handed over as data rather than through
    /// the process: `params` is a list of "NAME=value" strings closed by a null
    /// pointer (a FastCGI request's parameters; the first entry of a name
    /// counts), the body comes from `read`. The values point into `params`,
    /// which must outlive the record. Everything else is as InitFromEnv: the
    /// process environment and standard input are never read, and nothing of
    /// an earlier request stays, and a body announced too long is refused
    /// unread in the same way.
    int InitFromParams(char* const* params, BodyReader read, void* source);

    /// Appends the total length of the 22 values and the values themselves
    /// (a null value as one NUL). Raises what the stream raises.
    SimpleStream& Write(SimpleStream& s) override;
    /// Replaces the values by those of a received block. Raises
    /// CorruptDataExc for a block length of 0 or beyond the data remaining, or
    /// a block whose 22 values do not all end inside it; the record is then
    /// unchanged. Raises what the stream raises when the length is missing.
    SimpleStream& Read(SimpleStream& s) override;

    /// For an owner that needs the decoded body no more once a command is
    /// made from the record, as the gateway: the Save command made next takes
    /// the list itself instead of a copy, and the record then holds none
    /// (m_contents null, m_contentsLen 0; the raw body stays). Lasts until
    /// the list is taken or the record is filled again. Never fails.
    void HandOverContents() { m_handOver = true; }
    /// The decoded body, now the caller's (RootFree), when HandOverContents
    /// allowed it; null, with the record unchanged, otherwise or when there
    /// is none. Never fails.
    char* TakeContents();

    /// Writes the record as HTML (values, raw and decoded body). Returns 1;
    /// never raises (a failing os is left in its failed state).
    int DumpDebug(std::ostream& os) const;

    /// Value of a variable by index (0 to 21, unchecked); null when the record
    /// holds none. Never fails.
    const char* Value(int index) const { return m_cgiEnvVarValue[index]; }

    char* m_cgiEnvVarValue[c_cgiEnvVarCount];  ///< never owned one by one
    char* m_contents;        ///< decoded body: name, value, ..., empty name; owned
                             /// (kFormListGuard zero bytes follow it)
    int m_contentsLen;       ///< bytes of m_contents, terminators included
    char* m_stdin;           ///< body as read, NUL appended; owned
    int m_stdinLen;          ///< bytes read plus one
    uint32_t m_serialLen;    ///< length of the block received by Read
    char* m_serialData;      ///< the received block holding the values; owned

private:
    bool m_handOver;         ///< TakeContents may give m_contents away
    void ResetBody();
    void ReadBody(int length, BodyReader read, void* source);
    void DecodeBody();
    uint32_t SerialLength() const;
};

#endif
