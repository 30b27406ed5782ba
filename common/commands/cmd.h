/// @file
/// Cmd: the base of every request that the gateway forwards to the server
/// task. The gateway builds a command from the web request and sends it; a
/// server task rebuilds it from the received stream and runs it through the
/// process-wide handler. The serialised command is:
/// @verbatim
///   uint32 identifier (the message's leading tag, written by Dispatch)
///   uint32 m_cmdID, uint32 m_param, m_remoteAddr, m_remoteUser, m_userAgent
///   the request record (CGI::Write)
///   the subclass's own fields
/// @endverbatim
#ifndef VELMOX_CMD_H
#define VELMOX_CMD_H

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "rootobj.h"

class CGI;
class SimplePipe;
class URL;

/// One entry of a lookup table; a table ends with an entry whose name is empty
/// and whose value is the number of real entries.
struct NameValue {
    const char* name;  ///< the entry's name; "" in the closing entry
    uint32_t value;    ///< its value; in the closing entry, the number of real entries
};

/// Value of the first entry before the closing one whose name equals name
/// whole, ignoring the case of ASCII letters; 0 when none does or name is null.
/// Never fails.
uint32_t FindTableValue(const NameValue* table, const char* name);

/// Reads `count` raw bytes of received data into dst. Raises CorruptDataExc
/// when fewer remain before the end of data, so no stale byte is ever taken.
void ReadReceivedBytes(SimpleStream& s, char* dst, uint32_t count);

/// Reads a received string into a field of `size` bytes. Raises
/// CorruptDataExc when it does not fit the field or has no terminator before
/// the end of data (a message cut short).
void ReadReceivedString(SimpleStream& s, char* dst, size_t size);
/// The same into a character array, whose size is the field's.
template <size_t N>
void ReadReceivedString(SimpleStream& s, char (&dst)[N]) { ReadReceivedString(s, dst, N); }

/// The base of the five commands (SaveCmd, ComposeCmd, SearchCmd,
/// ImageMapCmd, RunAgentCmd): its header fields, the request record, the
/// answer, the factories, the process-wide handler and the exchange with the
/// server task. A command serves one thread.
class Cmd : public RootObject {
public:
    /// The identifier of a command class: the message's leading tag and
    /// m_cmdID. CmdCount is the number of identifiers, CmdUnknown none.
    enum CmdID : uint32_t {
        CmdUnknown = 0,
        CmdSave = 1,
        CmdCompose = 2,
        CmdSearch = 3,
        CmdImageMap = 4,
        CmdRunAgent = 5,
        CmdCount = 6
    };
    /// A server task's handler (RegisterHandler): called by Execute with the
    /// command's identifier, the command and the data registered with it;
    /// Execute returns its result.
    using CmdHandler = int (*)(CmdID id, Cmd* cmd, void* data);

    /// The names of the identifiers, in identifier order. The class of each
    /// identifier is in cmd_table.h, which checks the two against each other.
    static constexpr NameValue c_table[CmdCount + 1] = {
        {"Unknown", CmdUnknown},
        {"Save", CmdSave},
        {"Compose", CmdCompose},
        {"Search", CmdSearch},
        {"ImageMap", CmdImageMap},
        {"RunAgent", CmdRunAgent},
        {"", CmdCount},
    };
    /// Answers up to this many bytes are held in the command itself.
    static const uint32_t c_inlineResultsSize = 256;

    /// A command owns its answer and, on the server side, its request
    /// record: it is not copied.
    Cmd(const Cmd&) = delete;
    /// Not copied either.
    Cmd& operator=(const Cmd&) = delete;
    /// Server side: no request record yet. Never fails.
    Cmd(CmdID id, uint32_t param);
    /// Gateway side: copies the client's address, user and agent, cut to their
    /// fields, and points to cgi, which stays the caller's. Never fails.
    Cmd(CmdID id, uint32_t param, CGI& cgi);
    /// Releases the answer, and the request record when the command owns it.
    /// Never fails.
    ~Cmd() override;

    /// The gateway's factory. Raises InvalidURLExc for a path without a
    /// command name and UnknownCmdExc for a name not in c_table (or
    /// "Unknown"). Never returns null; the caller deletes the command.
    static Cmd* CreateCmd(CGI& cgi);
    /// The server's factory: reads the leading tag and the command. Raises
    /// UnknownCmdExc for a tag of 0 or above 5, CorruptDataExc for damaged
    /// data and the stream's exceptions for a short one; nothing is left
    /// allocated then. Never returns null; the caller deletes the command.
    static Cmd* CreateCmd(SimpleStream& s);

    /// Writes the header and the request record (an empty record when there is
    /// none). Raises what the stream raises.
    SimpleStream& Write(SimpleStream& s) override;
    /// Reads the header and a fresh request record, which the command owns.
    /// Raises CorruptDataExc when the identifier is not this class's or a
    /// string does not fit its field, and the stream's exceptions when data
    /// runs out.
    SimpleStream& Read(SimpleStream& s) override;

    /// Installs a handler and its data, storing the previous pair into the
    /// out-parameters that are not null. Returns 1; never fails.
    static int RegisterHandler(CmdHandler handler, void* data, CmdHandler* oldHandler,
                               void** oldData);
    /// Runs the installed handler and returns its result. Raises
    /// CmdNotHandledExc when none is installed.
    int Execute();
    ///@{
    /// Keep no state; return 1 and never fail.
    static int Init();
    static int Term();
    ///@}

    /// Sends the command to the server task and stores the answer; returns 1.
    /// Raises IPCexc, with its cause, when the exchange fails or the answer
    /// is empty, OutOfRangeExc (or the stream's exception) when the request
    /// is longer than a pipe block carries. The request is serialised straight
    /// into the server's block and the answer stored from it, once. The first
    /// form makes a pipe for the one call; the second calls through the
    /// caller's pipe, which keeps the pipe's objects open for its next calls.
    int Dispatch();
    /// Through the caller's pipe, as Dispatch() says.
    int Dispatch(SimplePipe& pipe);
    /// The answer's bytes, or null when there is none; *length (when given)
    /// receives its length, 0 included. Never fails.
    char* GetResults(uint32_t* length);
    /// The same with an unsigned long length, as server tasks written against
    /// the documented interface call it. A template only so that a null
    /// pointer constant (nullptr, 0, NULL) still picks the form above instead
    /// of being ambiguous between the two.
    template <class Length,
              typename std::enable_if<std::is_same<Length, unsigned long>::value, int>::type = 0>
    char* GetResults(Length* length) {
        uint32_t narrow = 0;
        char* results = GetResults(&narrow);
        if (length) *length = narrow;
        return results;
    }
    /// Stores text with its NUL as the answer, replacing an earlier one.
    /// Returns 1. Raises IllegalArgsExc for a null text, OutOfMemoryExc when a
    /// long answer cannot be held.
    int SetResults(const char* text);
    /// Stores `length` bytes as the answer (0: no answer), inline up to 256
    /// bytes, else in a buffer of its own; an earlier buffer is released.
    /// Raises IllegalArgsExc for null bytes with a length, OutOfMemoryExc when
    /// a long answer cannot be held (the earlier answer then stays).
    void StoreResults(const char* bytes, uint32_t length);

    /// The request record: the caller's on the gateway side, the command's
    /// own (m_ownsCgi) once read on the server side; null before.
    CGI* m_cgi = nullptr;
    CmdID m_cmdID = CmdUnknown;  ///< the command's identifier
    uint32_t m_param = 0;        ///< the number that follows the command's name in the path
    char m_remoteAddr[16] = {};  ///< the client's address (REMOTE_ADDR), cut to the field
    char m_remoteUser[128] = {}; ///< the authenticated user (REMOTE_USER), cut to the field
    char m_userAgent[128] = {};  ///< the client's browser (HTTP_USER_AGENT), cut to the field
    /// The answer when it fits (c_inlineResultsSize bytes).
    char m_inlineResults[c_inlineResultsSize] = {};
    char* m_results = nullptr;   ///< the answer: m_inlineResults or a buffer of its own; null when none
    uint32_t m_resultsLen = 0;   ///< the answer's length
    int m_ownsCgi = 0;           ///< 1 when the command releases m_cgi

    /// The process-wide handler and its data (RegisterHandler; guarded by
    /// its lock): install them before serving.
    static CmdHandler c_handler;
    static void* c_handlerData;  ///< the data handed to c_handler

private:
    void ReleaseResults();
    void ReadRequestRecord(SimpleStream& s);
};

#endif
