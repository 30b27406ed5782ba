// The gateway: run once per HTTP request by the web server as a CGI program.
// It forwards the request to the Velmox server task and writes the answer,
// or one of three error pages, to standard output. The exit status is 1.
#include <iostream>

#include "cmd.h"
#include "driver.h"
#include "except.h"
#include "platform.h"

int main() {
    g_debug = ReadDebugLevel("velmox.ini");
    // The trace that follows must show in a browser.
    if (g_debug) std::cout << "Content-type: text/html\n\n" << std::flush;
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
    return 1;
}
