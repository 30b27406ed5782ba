// The pieces of the gateway's run: the configuration file, the request and
// the error pages. main puts them together.
#ifndef VELMOX_DRIVER_H
#define VELMOX_DRIVER_H

#include <cstddef>
#include <cstdio>

class CGI;
class Cmd;
class Exception;
class SimplePipe;

const int kConfigFieldSize = 64;

// Reads the first entry of a configuration file the way the scan
// "%[^= ] = %s" does: a key of the characters before the first '=' or blank
// (tabs and line ends included), white space, '=', white space, then a value
// up to the next white space. Key and value are cut to 63 characters.
// Returns false, with the fields unspecified, when the entry does not match.
bool ReadConfigEntry(std::FILE* file, char (&key)[kConfigFieldSize], char (&value)[kConfigFieldSize]);

// The debug level that the configuration file at path sets: the decimal value
// of a first entry whose key is "debug" in any case, else 0 (also when the
// file does not open). Never fails.
int ReadDebugLevel(const char* path);

// Captures the request, finds its command path (request_path.h), builds and
// dispatches its command and writes the answer. The command is left in cmd, created or not, for the caller to
// delete. Raises whatever the request, the command or the exchange raises;
// the request record is gone when it returns or raises.
void RunRequest(Cmd*& cmd);

// Where the answer goes: its text (length bytes, no NUL) and then one line
// feed. Never raises.
typedef void (*AnswerWriter)(const char* answer, size_t length);

// The part of a run after the request was captured, shared by both modes:
// the request dump and the trace (debug runs, on standard output), the
// command, its exchange through `pipe` (null: the one-shot pipe of a CGI
// run, made when the command is there), and the answer through `write`.
// A Save command takes the record's decoded body (CGI::HandOverContents).
// The command is left in cmd as RunRequest leaves it; raises what
// RunRequest raises.
void HandleRequest(CGI& cgi, Cmd*& cmd, SimplePipe* pipe, AnswerWriter write);

// One of the error pages: the HTTP status the web server sends (a CGI
// "Status:" line in front of the page) and the heading of the page.
struct ErrorPage {
    const char* status;   // "503 Service Unavailable"
    const char* heading;  // one of the three headings below
};
// The server task cannot be reached, or the exchange failed.
extern const ErrorPage kCommunicationFailure;   // 503
// A request path or command the gateway refuses.
extern const ErrorPage kRefusedRequest;         // 400
// A request too long for the pipe: its body, or the whole request.
extern const ErrorPage kRequestTooLong;         // 413
// Any other failure of the gateway.
extern const ErrorPage kGatewayFailure;         // 500
// A failure that raised no exception of the system.
extern const ErrorPage kUnknownFailure;         // 500, the unknown-exception heading

// The page for an exception raised while a request was served: IPCexc the
// communication page; an unknown command or an invalid request path (the
// factory's and the request path's refusals) 400; a stream that overflowed
// or a length out of range (a request too long for any block, a body
// longer than any message) 413; anything else 500. Never fails.
const ErrorPage& ErrorPageFor(const Exception& e);

// Writes the page: its Status line, the response header and the heading.
// With tracing on the trace's header is out already, so the page follows
// the trace as ever, without a Status line (a header after the body would
// only show as text). Never raises.
void WriteErrorPage(const ErrorPage& page);

// Writes the cause of a failed exchange as a trace line (debug runs):
// "Pipe failure: <cause, HTML-escaped><br>\n"; nothing for an empty cause.
// Never raises.
void TraceFailureCause(const char* cause);

// Writes the cause of a refused exchange (IPCexc::Refused: an object or key
// file not the service's own, or no permission) to standard error, which
// the web server keeps in its log: "velmox.cgi: Pipe failure: <cause>\n".
// An operator must mend these; passing failures are not logged. Never
// raises.
void LogRefusal(const char* cause);

extern const char* const kCommunicationErrorHeading;
extern const char* const kExceptionHeading;
extern const char* const kUnknownExceptionHeading;

#endif
