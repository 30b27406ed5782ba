// One pipe process of the server: creates a pipe of the base name, serves
// the gateway's commands (the mail store's pages, or the field inspector's)
// until it is stopped, and closes the pipe (the last pipe of a base name
// removes all its objects).
#ifndef VELMOX_SERVER_PIPE_TASK_H
#define VELMOX_SERVER_PIPE_TASK_H

#include <string>

class ServerLog;
struct ServerOptions;

// Exit statuses of a pipe process; the supervisor acts on them.
enum PipeExit {
    kPipeStoppedBySignal = 0,      // SIGTERM or SIGINT: the whole server stops
    kPipeFailed = 1,               // the pipe broke while serving
    kPipeBadArguments = 2,         // the program refused its command line (main's usage error)
    kPipeEndedByMessage = 3,       // a terminate message that no signal asked for
    kPipeNotStarted = 4,           // the program file could not be run
    kPipeNotCreated = 5            // the pipe could not be made, or the form secret not read
};

// Runs one pipe in the calling process, which must have SIGTERM and SIGINT
// blocked. Writes 'R' to `report` once the pipe is registered and ready to
// serve, then the number of requests answered so far as a uint64_t now and
// then and at the end; or 'F' when the pipe cannot be made. Closes it at
// the end. The log gets a line that names the process, its slot and
// `program` (name and version).
// Returns a PipeExit.
int RunPipeProcess(const ServerOptions& options, const ServerLog& log, int report, const std::string& program);

#endif
