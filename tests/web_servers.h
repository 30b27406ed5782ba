// More of the end-to-end harness: the gateway as a FastCGI responder that
// the test starts itself, and the web servers in front of it (nginx, Caddy,
// h2o, HAProxy, Apache httpd), each run as the test's own process with a
// configuration made from deploy/ on a free loopback port; hosts of their
// own on this machine and HAProxy in front of them; Prometheus scraping the
// gateway's metrics path.
// Like the rest of e2e_harness.h, every process dies with the test process
// and every wait is bounded.
#ifndef VELMOX_TESTS_WEB_SERVERS_H
#define VELMOX_TESTS_WEB_SERVERS_H

#include <sys/types.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "e2e_harness.h"

namespace e2e {

// Path of the gateway program the tests run.
std::string GatewayProgram();
// The same gateway linked with libsystemd, for socket activation (velmox-fcgi).
std::string ServiceGatewayProgram();
// velmox-registry.
std::string RegistryProgram();

// The gateway's status paths as the shipped configurations route them (from
// 127.0.0.1 only), and the options that turn them on.
extern const char* const kMetricsPath;
extern const char* const kPingPath;
std::vector<std::string> StatusPathOptions();
// The sum of the samples of metric `name` (with any labels) in an
// OpenMetrics or Prometheus text; -1 when it has none.
double MetricSum(const std::string& text, const std::string& name);

// Resident memory (VmRSS, KB) of a process; -1 when it is gone.
long ResidentKb(pid_t pid);
using proc::ChildrenOf;

// velmox.cgi --fastcgi ADDRESS -w N, run in a directory of its own that
// holds velmox.ini; its standard error goes to a file.
class FastCgiGateway {
public:
    ~FastCgiGateway() { Kill(); }
    // address "" : a Unix socket in the gateway's directory; `extra`
    // options follow -w. Waits (bounded) until the socket accepts and every
    // worker runs.
    bool Start(int workers = 2, const std::string& iniText = "debug = 0\n", const std::string& address = "",
               const std::vector<std::string>& extra = {});
    // SIGTERM and a bounded wait: the exit status, -1 when it had to be
    // killed.
    int Stop(long long ms = 20000);
    void Kill();
    bool WriteIni(const std::string& text) const { return WriteFile(m_dir / "velmox.ini", text); }
    pid_t pid() const { return m_pid; }
    const std::string& address() const { return m_address; }
    std::string dir() const { return m_dir.path(); }
    std::string Stderr() const { return ReadFile(m_dir / "gateway.err"); }
    const std::string& error() const { return m_error; }
    // Connections the workers hold open now, besides the listening socket:
    // kept connections, or requests being served.
    int OpenConnections() const;

private:
    TempDir m_dir{"velmox-fcgi-gw"};
    pid_t m_pid = -1;
    std::string m_address;
    std::string m_error;
};

// A web server in front of a gateway's Unix socket, configured from a
// template of deploy/ with the placeholders @PORT@, @DOCROOT@ (a document
// root of the test's own, with a start page), @RUNDIR@ (run/) and @SOCKET@.
class FastCgiFront : public HttpServer {
public:
    using HttpServer::HttpServer;
    std::string docroot() const { return m_dir / "htdocs"; }

protected:
    // The server's program, the first of `candidates` there; false, with the
    // reason in error(), when none is.
    bool FindServer(std::initializer_list<const char*> candidates, const std::string& what, const std::string& package,
                    std::string* program);
    // Fills in the template, applies `edits` (text replaced by text) and
    // writes it to run/<configName>; then starts argv, where "@CONFIG@"
    // stands for that file, with `env` added to the environment and its
    // output in run/<outName> (the server's own log is run/error.log), and
    // waits (bounded) until it accepts on its port.
    bool Launch(const std::string& what, const std::string& deployFile, const std::string& configName,
                const std::string& socket, const std::vector<std::pair<std::string, std::string>>& edits,
                std::vector<std::string> argv, const std::vector<std::pair<std::string, std::string>>& env = {},
                const std::string& outName = "server.out");
};

// nginx from deploy/nginx-velmox.conf, passing /velmox.cgi/... to a
// gateway's Unix socket over kept connections (fastcgi_keep_conn and an
// upstream keepalive pool), or one connection per request.
class Nginx : public FastCgiFront {
public:
    Nginx() : FastCgiFront("velmox-nginx") {}
    bool Start(const std::string& gatewaySocket, bool keptConnections = true);
};

// Caddy from deploy/caddy-velmox.caddyfile: reverse_proxy with the fastcgi
// transport (an empty SCRIPT_NAME, the whole path in PATH_INFO).
class Caddy : public FastCgiFront {
public:
    Caddy() : FastCgiFront("velmox-caddy") {}
    bool Start(const std::string& gatewaySocket);
};

// h2o from deploy/h2o-velmox.conf: fastcgi.connect under /velmox.cgi (an
// empty SCRIPT_NAME, the whole path in PATH_INFO).
class H2o : public FastCgiFront {
public:
    H2o() : FastCgiFront("velmox-h2o") {}
    bool Start(const std::string& gatewaySocket);
};

// HAProxy as the gateway's FastCGI front, from deploy/haproxy-velmox-fcgi.cfg: a
// backend with fcgi-app (the whole path in SCRIPT_NAME, no PATH_INFO), its
// connections kept (option keep-conn) or one per request.
class HaproxyFastCgi : public FastCgiFront {
public:
    HaproxyFastCgi() : FastCgiFront("velmox-haproxy-fcgi") {}
    bool Start(const std::string& gatewaySocket, bool keptConnections = true);
};

// Apache httpd (the apache2 program, in the foreground) with a main
// configuration of the test's own that includes deploy/apache-velmox.conf
// (mod_cgid runs the gateway as a CGI program) or deploy/apache-velmox-
// fcgi.conf (mod_proxy_fcgi to a gateway's Unix socket, opened to httpd's
// user www-data), their /srv/velmox replaced by a directory of the test's
// own.
class Apache : public HttpServer {
public:
    Apache() : HttpServer("velmox-apache") {}
    // fcgiAddress "" : the CGI configuration; else the gateway's socket.
    bool Start(const std::string& fcgiAddress = "", const std::string& iniText = "debug = 0\n");
    // Where the gateway and velmox.ini lie (httpd's cgi-bin).
    std::string CgiBin() const { return m_dir / "cgi-bin"; }
};

// One host of a web mail spread over several hosts, on this machine: in an
// IPC and a mount namespace of its own (unshare, as root), where /tmp is a
// directory of its own, so that its pipe is its own; lighttpd from
// deploy/lighttpd.conf with the gateway, and velmox-server keeping its mail
// in `database` (a PostgreSQL database that the hosts share). Every process
// of the host is in one process group, which ends when the test process
// does.
class Host : public HttpServer {
public:
    Host() : HttpServer("velmox-host") {}
    ~Host() { KillAll(); }
    // Starts (again, after KillAll, on the same port) and waits, bounded,
    // until the server task is ready and lighttpd accepts.
    bool Start(const std::string& database, int pipes = 4);
    // SIGKILL to the host's whole process group; returns once every process
    // of it is gone.
    void KillAll();
    // True for a process of this host (a pipe process whose pid a page names).
    bool Owns(pid_t pid) const;
    std::string ServerLog() const { return ReadFile(m_dir / "server.log"); }
};

// HAProxy from deploy/haproxy-velmox.cfg on a free loopback port, in front of
// one or two web servers on loopback ports (haproxy -db, the test's own
// process).
class LoadBalancer : public HttpServer {
public:
    LoadBalancer() : HttpServer("velmox-balancer") {}
    bool Start(const std::vector<int>& hostPorts);
    std::string Output() const { return ReadFile(m_dir / "haproxy.out"); }
};

// A Prometheus server (Debian's prometheus) on a free loopback port, the
// test's own process, with a configuration and a storage directory of its
// own: it scrapes one target, http://127.0.0.1:PORT/PATH, every second.
class Prometheus : public HttpServer {
public:
    Prometheus() : HttpServer("velmox-prometheus") {}
    // Starts it and waits (bounded) until it is ready.
    bool Start(int targetPort, const std::string& metricsPath);
    // The value of an instant query through the HTTP API (/api/v1/query)
    // when its result is one sample; "" otherwise.
    std::string Query(const std::string& expression) const;
};

}  // namespace e2e

#endif
