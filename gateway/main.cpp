// The gateway: run once per HTTP request by the web server as a CGI program.
// It forwards the request to the Velmox server task and writes the answer,
// or one of three error pages, to standard output. The exit status is 1.
//
// Output goes through C's stdio, not the C++ streams: constructing the
// standard streams builds the C++ locale, a large share of the instructions
// and page faults of a run that lasts one request.
#include <cstdio>
#include <cstdlib>

#include "cmd.h"
#include "driver.h"
#include "except.h"
#include "opsys.h"
#include "platform.h"

int main() {
    // One exchange, then the process ends: its views of the pipe's segments
    // go with the address space instead of being detached one by one.
    OpSys::KeepClientViews(true);
    g_debug = ReadDebugLevel("velmox.ini");
    // The trace that follows must show in a browser.
    if (g_debug) {
        std::fputs("Content-type: text/html\n\n", stdout);
        std::fflush(stdout);
    }
    Cmd* cmd = nullptr;
    try {
        RunRequest(cmd);
    } catch (const IPCexc&) {
        WriteErrorPage(kCommunicationErrorHeading);
    } catch (const Exception&) {
        WriteErrorPage(kExceptionHeading);
    } catch (...) {
        WriteErrorPage(kUnknownExceptionHeading);
    }
    delete cmd;
    // Nothing is left to tear down: the answer or the error page has been
    // flushed. Ending here skips the exit handlers and static destructors of
    // the C and C++ runtimes, whose code a run would otherwise fault in
    // just to leave.
    std::fflush(stdout);
#if defined(__SANITIZE_ADDRESS__)
    return 1;  // the leak check of a sanitizer build runs at exit
#else
    std::_Exit(1);
#endif
}
