// The gateway: run once per HTTP request by the web server as a CGI program.
// It forwards the request to the Velmox server task and writes the answer,
// or one of three error pages, to standard output. The exit status is 1.
//
// Output goes through C's stdio, not the C++ streams: constructing the
// standard streams builds the C++ locale, a large share of the instructions
// and page faults of a run that lasts one request.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cmd.h"
#include "driver.h"
#include "except.h"
#include "pipe_limits.h"
#include "platform.h"
#include "velmox_version.h"

namespace {

const char kUsage[] =
    "usage: velmox.cgi [-h | --help | --version]\n"
    "The Velmox gateway, a CGI/1.1 program that a web server runs once per HTTP\n"
    "request. It reads velmox.ini in its working directory (\"debug = 1\" traces\n"
    "the run into the page), takes the request from the CGI variables (PATH_INFO\n"
    "is /Command/Server/Path, with Save, Compose, Search, ImageMap or RunAgent as\n"
    "the command) and from standard input, hands it to the Velmox server task\n"
    "through the pipe " VELMOX_PIPE_NAME " and writes the server's answer, or an error\n"
    "page, to standard output. Its exit status is 1 after every request.\n";

// Help is only given outside a web server: under one, arguments come from the
// request (a query without '=' is split into them) and are not ours to read.
bool AskedForHelp(int argc, char** argv) {
    if (argc < 2 || std::getenv("GATEWAY_INTERFACE")) return false;
    return std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0;
}

// The version likewise.
bool AskedForVersion(int argc, char** argv) {
    if (argc < 2 || std::getenv("GATEWAY_INTERFACE")) return false;
    return std::strcmp(argv[1], "--version") == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (AskedForHelp(argc, argv)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (AskedForVersion(argc, argv)) {
        std::fputs("velmox.cgi " VELMOX_VERSION "\n", stdout);
        return 0;
    }
    g_debug = ReadDebugLevel("velmox.ini");
    // The trace that follows must show in a browser.
    if (g_debug) {
        std::fputs("Content-type: text/html\n\n", stdout);
        std::fflush(stdout);
    }
    Cmd* cmd = nullptr;
    try {
        RunRequest(cmd);
    } catch (const IPCexc& e) {
        if (g_debug) TraceFailureCause(e.Cause());
        if (e.Refused()) LogRefusal(e.Cause());
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
