// The gateway: run once per HTTP request by the web server as a CGI program.
// It forwards the request to the Velmox server task and writes the answer,
// or one of three error pages, to standard output. The exit status is 1.
// Started with a listening socket as descriptor 0, or with --fastcgi at a
// shell, the same program is a long-lived FastCGI responder (fastcgi.h).
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
#include "fastcgi.h"
#include "pipe_limits.h"
#include "platform.h"
#include "service_manager.h"
#include "velmox_version.h"

// velmox.cgi, or velmox-fcgi: the same program linked for systemd's service.
#ifndef VELMOX_GATEWAY_PROGRAM
#define VELMOX_GATEWAY_PROGRAM "velmox.cgi"
#endif

namespace {

const char kUsage[] =
    "usage: velmox.cgi [-h | --help | --version]\n"
    "       velmox.cgi --fastcgi ADDRESS [-w N | --workers N] [--log FILE]\n"
    "                  [--script-name PATH] [--idle-limit SECONDS] [--read-limit SECONDS]\n"
    "                  [--max-connections N] [--allow ADDRESS[,ADDRESS...]]\n"
    "                  [--metrics-path PATH] [--ping-path PATH]\n"
    "The Velmox gateway. Run by a web server once per HTTP request, it is a CGI/1.1\n"
    "program: it reads velmox.ini in its working directory (\"debug = 1\" traces\n"
    "the run into the page), takes the request from the CGI variables (PATH_INFO\n"
    "is /Command/Server/Path, with Save, Compose, Search, ImageMap or RunAgent as\n"
    "the command) and from standard input, hands it to the Velmox server task\n"
    "through the pipe " VELMOX_PIPE_NAME " and writes the server's answer, or an error\n"
    "page, to standard output. Its exit status is 1 after every request.\n"
    "An error page has its HTTP status: 503 when the server task cannot be reached,\n"
    "400 for a request path or command it refuses, 413 for a request too long for\n"
    "the pipe (a CONTENT_LENGTH longer than its largest message is refused before\n"
    "the body is read), 500 for any other failure (none with \"debug = 1\": the\n"
    "trace is out first).\n"
    "A web server that puts the gateway's own path (/velmox.cgi) into PATH_INFO, or\n"
    "the command path into SCRIPT_NAME, or sends only REQUEST_URI, is understood:\n"
    "the gateway splits the path after /velmox.cgi itself, and the server task gets\n"
    "SCRIPT_NAME /velmox.cgi and PATH_INFO /Command/Server/Path.\n"
    "\n"
    "FastCGI: started by the web server with a listening socket as descriptor 0\n"
    "(lighttpd's mod_fastcgi bin-path, Apache's mod_fcgid, spawn-fcgi), or as\n"
    "  --fastcgi ADDRESS   listen on ADDRESS: a Unix socket path (with a '/', or\n"
    "                      unix:PATH) or HOST:PORT (nginx fastcgi_pass, Apache\n"
    "                      mod_proxy_fcgi, Caddy, h2o, HAProxy),\n"
    "it is a long-lived FastCGI responder that answers every request with the\n"
    "bytes a CGI run would write.\n"
    "  -w, --workers N     worker processes, 1 to 256 (default: two per core, at\n"
    "                      least 2, at most 32); each keeps one pipe client, so a\n"
    "                      request costs one exchange with the server task\n"
    "  --log FILE          append standard error to FILE (for a web server that\n"
    "                      gives its FastCGI programs none, as lighttpd does)\n"
    "  --script-name PATH  the URL path the web server maps the gateway at\n"
    "                      (default /velmox.cgi; / for the site's root)\n"
    "  --idle-limit SECONDS  close a kept connection idle this long (default 90)\n"
    "  --read-limit SECONDS  close a connection whose request has not arrived whole\n"
    "                      this long after it began (default 30); logged\n"
    "  --max-connections N connections held at once, shared out among the workers\n"
    "                      (default 64 a worker); past it a new connection closes\n"
    "                      the one that waited longest without a whole request\n"
    "  --allow ADDRESS[,ADDRESS...]  the clients a TCP address serves: IPv4 or IPv6\n"
    "                      addresses or ADDRESS/BITS networks (default: 127.0.0.0/8\n"
    "                      and ::1); any local user can reach a TCP port, so prefer a\n"
    "                      Unix socket, whose permissions say who connects\n"
    "  --metrics-path PATH answer requests for PATH (the whole URL path, such as\n"
    "                      /velmox-metrics) with the pipe's status as OpenMetrics\n"
    "                      text for Prometheus, as velmox-registry status\n"
    "                      --openmetrics writes it\n"
    "  --ping-path PATH    answer requests for PATH (/velmox-ping) with \"pong\"\n"
    "                      (200) while a pipe of the server task is registered,\n"
    "                      else with 503\n"
    "                      Both are off unless given, never reach the pipe and are\n"
    "                      not counted as requests; allow them from 127.0.0.1 only\n"
    "                      (the shipped web server configurations do).\n"
    "Each worker reads all of its connections as their bytes arrive and serves one\n"
    "whole request at a time: no connection that sends nothing, or half a request,\n"
    "keeps another waiting. A web server that keeps its connections\n"
    "(FCGI_KEEP_CONN: nginx's fastcgi_keep_conn, HAProxy) sends request after\n"
    "request on one: keep about -w connections open.\n"
    "velmox.ini is read from the working directory at start and again on SIGHUP.\n"
    "Under systemd, velmox-fcgi (this program linked with libsystemd) takes the\n"
    "listening socket of its socket unit (LISTEN_FDS) instead of descriptor 0.\n"
    "SIGTERM or SIGINT: stop accepting, close the connections with no request in\n"
    "progress, finish the others (at most 75 s), exit 0. Failed requests (their\n"
    "error page and cause), connections closed at a limit and worker restarts are\n"
    "logged on standard error, the web server's log, a request's values with their\n"
    "control characters escaped (\\xNN). With no server task every\n"
    "request gets the communication error page; a server task that starts later\n"
    "is reached without restarting the gateway.\n";

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
        std::fputs(VELMOX_GATEWAY_PROGRAM " " VELMOX_VERSION "\n", stdout);
        return 0;
    }
    // A socket from systemd, or one system call tells a CGI run (a pipe, a
    // file or nothing on descriptor 0) from a FastCGI start (a listening
    // socket).
    std::string problem;
    int listenFd = ServiceListenSocket(&problem);
    if (listenFd == -2) {
        std::fprintf(stderr, VELMOX_GATEWAY_PROGRAM ": %s\n", problem.c_str());
        return 1;
    }
    if (listenFd < 0 && IsListeningSocket(0)) listenFd = 0;
    if (listenFd >= 0 || AskedForFastCgi(argc, argv)) return FastCgiMain(argc, argv, listenFd);
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
        WriteErrorPage(kCommunicationFailure);
    } catch (const Exception& e) {
        WriteErrorPage(ErrorPageFor(e));
    } catch (...) {
        WriteErrorPage(kUnknownFailure);
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
