#include "web_servers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/prctl.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef VELMOX_SOURCE_DIR
#error "VELMOX_SOURCE_DIR must name the source tree"
#endif
#ifndef VELMOX_GATEWAY
#error "VELMOX_GATEWAY must name the built gateway"
#endif
#ifndef VELMOX_SERVER
#error "VELMOX_SERVER must name the built velmox-server"
#endif
#ifndef VELMOX_REGISTRY
#error "VELMOX_REGISTRY must name the built velmox-registry"
#endif

namespace e2e {

namespace {

bool Accepts(const std::string& address) {
    int fd = kit::Connect(address);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

// Waits until the process accepts on the port, or ended, or the limit.
bool WaitAccepting(pid_t pid, const std::string& address, std::string* error, const std::string& what,
                   const std::string& logFile) {
    long long deadline = NowMs() + kStartLimitMs;
    while (NowMs() < deadline) {
        if (Accepts(address)) return true;
        if (proc::Ended(pid)) {
            *error = what + " ended at start: " + ReadFile(logFile);
            return false;
        }
        SleepMs(10);
    }
    *error = what + " did not accept connections on " + address + " within the limit: " + ReadFile(logFile);
    return false;
}

}  // namespace

std::string GatewayProgram() { return VELMOX_GATEWAY; }
std::string ServiceGatewayProgram() { return VELMOX_SERVICE_GATEWAY; }
std::string RegistryProgram() { return VELMOX_REGISTRY; }

const char* const kMetricsPath = "/velmox-metrics";
const char* const kPingPath = "/velmox-ping";

std::vector<std::string> StatusPathOptions() { return {"--metrics-path", kMetricsPath, "--ping-path", kPingPath}; }

double MetricSum(const std::string& text, const std::string& name) {
    double sum = -1;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.compare(0, name.size(), name) != 0 || line.size() == name.size()) continue;
        size_t value = std::string::npos;
        if (line[name.size()] == ' ') value = name.size() + 1;
        else if (line[name.size()] == '{' && line.find("} ", name.size()) != std::string::npos)
            value = line.find("} ", name.size()) + 2;
        if (value == std::string::npos) continue;
        sum = (sum < 0 ? 0 : sum) + std::strtod(line.c_str() + value, nullptr);
    }
    return sum;
}

long ResidentKb(pid_t pid) {
    std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmRSS:");
    if (at == std::string::npos) return -1;
    return std::atol(status.c_str() + at + 6);
}

// ------------------------------------------------------------ the gateway

bool FastCgiGateway::Start(int workers, const std::string& iniText, const std::string& address,
                           const std::vector<std::string>& extra) {
    m_error.clear();
    m_address = address.empty() ? m_dir / "gateway.sock" : address;
    if (!WriteIni(iniText)) {
        m_error = "cannot write velmox.ini";
        return false;
    }
    proc::Options options;
    options.errFile = m_dir / "gateway.err";
    options.dir = m_dir.path();
    options.dieWithTest = true;
    std::vector<std::string> argv = {GatewayProgram(), "--fastcgi", m_address, "-w", std::to_string(workers)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    m_pid = proc::Start(argv, options);
    if (!WaitAccepting(m_pid, m_address, &m_error, "the gateway", m_dir / "gateway.err")) {
        Kill();
        return false;
    }
    long long deadline = NowMs() + kStartLimitMs;
    while (int(ChildrenOf(m_pid).size()) < workers && NowMs() < deadline) SleepMs(10);
    return true;
}

int FastCgiGateway::Stop(long long ms) {
    if (m_pid <= 0) return -1;
    int status = proc::Stop(m_pid, ms / 1000.0);
    m_pid = -1;
    return status;
}

int FastCgiGateway::OpenConnections() const {
    int connections = 0;
    for (pid_t worker : ChildrenOf(m_pid)) {
        std::string fds = "/proc/" + std::to_string(worker) + "/fd";
        DIR* dir = opendir(fds.c_str());
        if (!dir) continue;
        int sockets = 0;
        while (dirent* entry = readdir(dir)) {
            char target[64] = {};
            ssize_t n = readlink((fds + "/" + entry->d_name).c_str(), target, sizeof target - 1);
            if (n > 0 && std::strncmp(target, "socket:", 7) == 0) ++sockets;
        }
        closedir(dir);
        if (sockets > 1) connections += sockets - 1;  // the listening socket is every worker's
    }
    return connections;
}

void FastCgiGateway::Kill() {
    if (m_pid <= 0) return;
    std::vector<pid_t> workers = ChildrenOf(m_pid);
    kill(m_pid, SIGKILL);
    for (pid_t w : workers) kill(w, SIGKILL);
    proc::Wait(m_pid, kStopLimitMs / 1000.0);
    m_pid = -1;
    // The workers are not this process's children: wait until they are gone
    // (or zombies), so that their socket is closed when Kill returns.
    long long deadline = NowMs() + kStopLimitMs;
    for (pid_t w : workers) {
        while (NowMs() < deadline) {
            std::string stat = ReadFile("/proc/" + std::to_string(w) + "/stat");
            size_t close = stat.rfind(')');
            if (stat.empty() || (close != std::string::npos && stat.size() > close + 2 && stat[close + 2] == 'Z')) break;
            SleepMs(5);
        }
    }
}

// ------------------------------------------------- web servers in front

bool FastCgiFront::FindServer(std::initializer_list<const char*> candidates, const std::string& what,
                              const std::string& package, std::string* program) {
    m_error.clear();
    *program = FindProgram(candidates);
    if (program->empty()) m_error = what + " is not installed (scripts/test-all installs " + package + ")";
    return !program->empty();
}

bool FastCgiFront::Launch(const std::string& what, const std::string& deployFile, const std::string& configName,
                          const std::string& socket, const std::vector<std::pair<std::string, std::string>>& edits,
                          std::vector<std::string> argv, const std::vector<std::pair<std::string, std::string>>& env,
                          const std::string& outName) {
    std::string text = ReadFile(std::string(VELMOX_SOURCE_DIR) + "/deploy/" + deployFile);
    if (text.empty()) {
        m_error = "deploy/" + deployFile + " not found";
        return false;
    }
    std::string htdocs = docroot(), run = m_dir / "run";
    mkdir(htdocs.c_str(), 0755);
    mkdir(run.c_str(), 0755);
    WriteFile(htdocs + "/index.html", "<p>start page</p>\n");
    m_port = FreeLoopbackPort();
    text = Replace(Replace(Replace(Replace(Replace(text, "@PORT@", std::to_string(m_port)), "@DOCROOT@", htdocs),
                                           "@RUNDIR@", run),
                                   "@SOCKET@", socket),
                   "@USERS@", UsersFile());
    for (const auto& edit : edits) {
        if (text.find(edit.first) == std::string::npos) {
            m_error = "deploy/" + deployFile + " has no \"" + edit.first + "\" to change";
            return false;
        }
        text = Replace(text, edit.first, edit.second);
    }
    std::string config = run + "/" + configName;
    WriteFile(config, text);
    for (std::string& arg : argv) arg = Replace(arg, "@CONFIG@", config);
    proc::Options options;
    options.outFile = run + "/" + outName;
    options.errToOut = options.ownGroup = options.dieWithTest = true;
    options.env = env;
    m_pid = proc::Start(argv, options);
    if (!WaitAccepting(m_pid, "127.0.0.1:" + std::to_string(m_port), &m_error, what, run + "/" + outName)) {
        if (outName != "error.log") m_error += ErrorLog();
        Kill();
        return false;
    }
    return true;
}

bool Nginx::Start(const std::string& gatewaySocket, bool keptConnections) {
    std::string nginx;
    if (!FindServer({"/usr/sbin/nginx", "/usr/bin/nginx"}, "nginx", "nginx-light", &nginx)) return false;
    std::vector<std::pair<std::string, std::string>> edits;
    if (!keptConnections) edits.push_back({"fastcgi_keep_conn on;", "fastcgi_keep_conn off;"});
    // The workers run as root like the test, so that they may use its
    // gateway's socket. nginx writes its own error log (run/error.log).
    return Launch("nginx", "nginx-velmox.conf", "nginx.conf", gatewaySocket, edits,
                  {nginx, "-c", "@CONFIG@", "-g", "daemon off; user root;"});
}

bool Caddy::Start(const std::string& gatewaySocket) {
    std::string caddy;
    if (!FindServer({"/usr/bin/caddy", "/usr/sbin/caddy"}, "Caddy", "caddy", &caddy)) return false;
    // Caddy keeps its state under the user's configuration and data
    // directories: the test's own.
    std::string state = m_dir / "run";
    return Launch("Caddy", "caddy-velmox.caddyfile", "Caddyfile", gatewaySocket, {},
                  {caddy, "run", "--config", "@CONFIG@", "--adapter", "caddyfile"},
                  {{"HOME", state}, {"XDG_CONFIG_HOME", state}, {"XDG_DATA_HOME", state}});
}

bool H2o::Start(const std::string& gatewaySocket) {
    std::string h2o;
    if (!FindServer({"/usr/bin/h2o", "/usr/sbin/h2o"}, "h2o", "h2o", &h2o)) return false;
    // As root like the test, so that it may use its gateway's socket.
    return Launch("h2o", "h2o-velmox.conf", "h2o.conf", gatewaySocket, {{"user: www-data", "user: root"}},
                  {h2o, "-c", "@CONFIG@"});
}

bool HaproxyFastCgi::Start(const std::string& gatewaySocket, bool keptConnections) {
    std::string haproxy;
    if (!FindServer({"/usr/sbin/haproxy", "/usr/bin/haproxy"}, "HAProxy", "haproxy", &haproxy)) return false;
    std::vector<std::pair<std::string, std::string>> edits;
    if (!keptConnections) edits.push_back({"    option keep-conn", "    no option keep-conn"});
    // In the foreground (-db), its messages on standard error: its log.
    return Launch("HAProxy", "haproxy-velmox-fcgi.cfg", "haproxy.cfg", gatewaySocket, edits,
                  {haproxy, "-db", "-f", "@CONFIG@", "-f", UsersFile() + ".haproxy"}, {}, "error.log");
}

// ----------------------------------------------------------------- Apache

bool Apache::Start(const std::string& fcgiAddress, const std::string& iniText) {
    m_error.clear();
    std::string httpd = FindProgram({"/usr/sbin/apache2", "/usr/sbin/httpd"});
    const std::string modules = "/usr/lib/apache2/modules";
    if (httpd.empty() || access((modules + "/mod_proxy_fcgi.so").c_str(), R_OK) != 0) {
        m_error = "Apache httpd is not installed (scripts/test-all installs apache2)";
        return false;
    }
    // httpd runs the CGI gateway as www-data: the tree must be readable.
    chmod(m_dir.path().c_str(), 0755);
    std::string bin = CgiBin(), run = m_dir / "run", htdocs = m_dir / "htdocs";
    for (const std::string& d : {bin, run, htdocs}) mkdir(d.c_str(), 0755);
    if (!CopyExecutable(GatewayProgram(), bin + "/velmox.cgi") || !WriteFile(bin + "/velmox.ini", iniText)) {
        m_error = "cannot set up cgi-bin";
        return false;
    }
    chmod((bin + "/velmox.ini").c_str(), 0644);
    std::string deploy = fcgiAddress.empty() ? "apache-velmox.conf" : "apache-velmox-fcgi.conf";
    std::string site = Replace(Replace(ReadFile(std::string(VELMOX_SOURCE_DIR) + "/deploy/" + deploy), "/srv/velmox",
                                       m_dir.path()),
                               "/etc/velmox/users", UsersFile());
    if (!fcgiAddress.empty()) {
        site = Replace(site, "/run/velmox-gateway/fcgi.sock", fcgiAddress);
        // httpd's children (www-data) connect to the gateway's socket.
        std::string socketDir = fcgiAddress.substr(0, fcgiAddress.rfind('/'));
        if (chmod(socketDir.c_str(), 0711) != 0 || chmod(fcgiAddress.c_str(), 0666) != 0) {
            m_error = "cannot open the gateway's socket " + fcgiAddress + " to www-data";
            return false;
        }
    }
    WriteFile(run + "/velmox.conf", site);
    m_port = FreeLoopbackPort();
    std::string main = "ServerRoot \"/etc/apache2\"\n"
                       "Listen 127.0.0.1:" + std::to_string(m_port) + "\n"
                       "ServerName 127.0.0.1\n"
                       "PidFile " + run + "/httpd.pid\n"
                       "ErrorLog " + run + "/error.log\n"
                       "DefaultRuntimeDir " + run + "\n"
                       "Mutex file:" + run + " default\n"
                       "User www-data\nGroup www-data\n";
    for (const char* m : {"mpm_event", "authz_core", "authz_host", "authn_core", "authn_file", "authz_user", "auth_basic",
                          "alias", "cgid", "proxy", "proxy_fcgi"}) {
        std::string name = m;
        main += "LoadModule " + name + "_module " + modules + "/mod_" + name + ".so\n";
    }
    main += "ScriptSock " + run + "/cgid.sock\n"
            "DocumentRoot " + htdocs + "\n"
            "Include " + run + "/velmox.conf\n";
    WriteFile(run + "/httpd.conf", main);
    proc::Options options;
    options.outFile = run + "/httpd.out";
    options.errToOut = options.ownGroup = options.dieWithTest = true;
    m_pid = proc::Start({httpd, "-f", run + "/httpd.conf", "-DFOREGROUND"}, options);
    if (!WaitAccepting(m_pid, "127.0.0.1:" + std::to_string(m_port), &m_error, "httpd", run + "/httpd.out")) {
        m_error += ErrorLog();
        Kill();
        return false;
    }
    return true;
}


// ------------------------------------------------------------------ hosts

bool Host::Start(const std::string& database, int pipes) {
    m_error.clear();
    std::string lighttpd = FindProgram({"/usr/sbin/lighttpd", "/usr/bin/lighttpd"});
    if (lighttpd.empty() || access("/usr/bin/unshare", X_OK) != 0) {
        m_error = "lighttpd and unshare (util-linux) are needed";
        return false;
    }
    // Outside the host its /tmp is m_dir; inside, these paths are under /tmp.
    const std::string inside = "/tmp";
    mkdir((m_dir / "htdocs").c_str(), 0755);
    mkdir((m_dir / "run").c_str(), 0755);
    unlink((m_dir / "server.ready").c_str());
    unlink((m_dir / "run/error.log").c_str());
    if (m_port == 0) m_port = FreeLoopbackPort();
    std::string config = ReadFile(std::string(VELMOX_SOURCE_DIR) + "/deploy/lighttpd.conf");
    config = Replace(Replace(Replace(Replace(config, "@PORT@", std::to_string(m_port)), "@DOCROOT@", inside + "/htdocs"),
                             "@RUNDIR@", inside + "/run"),
                     "@USERS@", inside + "/users");
    // Every host has the same users and the same form secret, as the
    // operator gives them (a form one host served saves through another).
    std::string secret(64, 'a');
    for (size_t i = 0; i < secret.size(); ++i) secret[i] = "0123456789abcdef"[(i * 7 + 3) % 16];
    if (!WriteFile(m_dir / "users", ReadFile(UsersFile())) || !WriteFile(m_dir / "secret", secret + "\n") ||
        chmod((m_dir / "users").c_str(), 0644) != 0 || chmod((m_dir / "secret").c_str(), 0600) != 0) {
        m_error = "cannot give the host its users and secret";
        return false;
    }
    // The host ends with the test process, whatever ends that. Everything it
    // runs lies in its directory: the build tree may be under the /tmp it hides.
    std::string script = "cd /tmp\n/tmp/velmox-server -n " + std::to_string(pipes) + " -d '" + database +
                         "' --secret /tmp/secret -l /tmp/server.log -r /tmp/server.ready 2>>/tmp/server.err &\n" + lighttpd +
                         " -D -f /tmp/run/lighttpd.conf &\n" + "while kill -0 " + std::to_string(getpid()) +
                         " 2>/dev/null; do sleep 1; done\nkill -KILL 0\n";
    if (!CopyExecutable(GatewayProgram(), m_dir / "htdocs/velmox.cgi") ||
        !CopyExecutable(VELMOX_SERVER, m_dir / "velmox-server") ||
        !WriteFile(m_dir / "htdocs/velmox.ini", "debug = 0\n") || !WriteFile(m_dir / "run/lighttpd.conf", config) ||
        !WriteFile(m_dir / "host.sh", script)) {
        m_error = "cannot set up the host's directory";
        return false;
    }
    // Processes of the host whose parent dies come to the test, which reaps them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    proc::Options options;
    options.outFile = m_dir / "host.out";
    options.errToOut = options.ownGroup = options.dieWithTest = true;
    m_pid = proc::Start({"/usr/bin/unshare", "--ipc", "--mount", "--propagation", "private", "/bin/sh", "-c",
                         "mount --bind \"$0\" /tmp && exec /bin/sh /tmp/host.sh", m_dir.path()},
                        options);
    long long deadline = NowMs() + kStartLimitMs;
    while (NowMs() < deadline) {
        std::string ready = ReadFile(m_dir / "server.ready");
        if (!ready.empty() && ready.back() == '\n' && ErrorLog().find("server started") != std::string::npos &&
            Accepts("127.0.0.1:" + std::to_string(m_port)))
            return true;
        if (proc::Ended(m_pid)) {
            m_pid = -1;
            m_error = "the host ended at its start: " + ReadFile(m_dir / "host.out") + ReadFile(m_dir / "server.err");
            return false;
        }
        SleepMs(10);
    }
    m_error = "the host did not come up within the limit: " + ReadFile(m_dir / "host.out") + ServerLog() + ErrorLog();
    KillAll();
    return false;
}

void Host::KillAll() {
    if (m_pid <= 0) return;
    kill(-m_pid, SIGKILL);
    proc::ReapGroup(m_pid, kStopLimitMs / 1000.0);
    m_pid = -1;
}

bool Host::Owns(pid_t pid) const { return m_pid > 0 && getpgid(pid) == m_pid; }

// ---------------------------------------------------------------- HAProxy

bool LoadBalancer::Start(const std::vector<int>& hostPorts) {
    m_error.clear();
    std::string haproxy = FindProgram({"/usr/sbin/haproxy", "/usr/bin/haproxy"});
    if (haproxy.empty()) {
        m_error = "haproxy is not installed (scripts/test-all installs it)";
        return false;
    }
    std::string config = ReadFile(std::string(VELMOX_SOURCE_DIR) + "/deploy/haproxy-velmox.cfg");
    if (hostPorts.empty() || hostPorts.size() > 2 || config.empty()) {
        m_error = "deploy/haproxy-velmox.cfg names one or two hosts";
        return false;
    }
    if (hostPorts.size() == 1) config = Replace(config, "    server host2 @HOST2@\n", "");
    for (size_t i = 0; i < hostPorts.size(); ++i)
        config = Replace(config, "@HOST" + std::to_string(i + 1) + "@", "127.0.0.1:" + std::to_string(hostPorts[i]));
    m_port = FreeLoopbackPort();
    config = Replace(config, "@CHECK_AUTH@", BasicAuthorization(kTester));
    WriteFile(m_dir / "haproxy.cfg", Replace(config, "@PORT@", std::to_string(m_port)));
    proc::Options options;
    options.outFile = m_dir / "haproxy.out";
    options.errToOut = options.ownGroup = options.dieWithTest = true;
    m_pid = proc::Start({haproxy, "-db", "-f", m_dir / "haproxy.cfg"}, options);
    if (!WaitAccepting(m_pid, "127.0.0.1:" + std::to_string(m_port), &m_error, "haproxy", m_dir / "haproxy.out")) {
        Kill();
        return false;
    }
    return true;
}

// ------------------------------------------------------------- Prometheus

bool Prometheus::Start(int targetPort, const std::string& metricsPath) {
    m_error.clear();
    std::string prometheus = FindProgram({"/usr/bin/prometheus", "/usr/sbin/prometheus"});
    if (prometheus.empty()) {
        m_error = "Prometheus is not installed (scripts/test-all installs prometheus)";
        return false;
    }
    std::string run = m_dir / "run";
    mkdir(run.c_str(), 0755);
    // The scrape's limit is its interval: a scrape of the gateway takes
    // milliseconds, even under a sanitizer.
    WriteFile(m_dir / "prometheus.yml", "global:\n"
                                        "  scrape_interval: 1s\n"
                                        "  scrape_timeout: 1s\n"
                                        "scrape_configs:\n"
                                        "  - job_name: velmox\n"
                                        "    metrics_path: " + metricsPath + "\n"
                                        "    static_configs:\n"
                                        "      - targets: ['127.0.0.1:" + std::to_string(targetPort) + "']\n");
    m_port = FreeLoopbackPort();
    proc::Options options;
    options.outFile = run + "/error.log";
    options.errToOut = options.ownGroup = options.dieWithTest = true;
    options.dir = m_dir.path();
    m_pid = proc::Start({prometheus, "--config.file=" + m_dir / "prometheus.yml",
                         "--storage.tsdb.path=" + m_dir / "data",
                         "--web.listen-address=127.0.0.1:" + std::to_string(m_port)},
                        options);
    if (!WaitAccepting(m_pid, "127.0.0.1:" + std::to_string(m_port), &m_error, "prometheus", run + "/error.log")) {
        Kill();
        return false;
    }
    // It accepts before its storage is open; /-/ready says when it is.
    long long deadline = NowMs() + kStartLimitMs * 3;
    while (NowMs() < deadline) {
        if (Curl(CurlGet(Url("/-/ready")), 10000).status == 200) return true;
        SleepMs(100);
    }
    m_error = "prometheus was not ready within the limit: " + ErrorLog();
    Kill();
    return false;
}

std::string Prometheus::Query(const std::string& expression) const {
    // {"status":"success","data":{"resultType":"vector","result":[{"metric":{...},"value":[TIME,"VALUE"]}]}}
    Response r = Curl(CurlGet(Url("/api/v1/query"), {"-G", "--data-urlencode", "query=" + expression}), 20000);
    size_t value = r.body.find("\"value\":[");
    if (r.status != 200 || value == std::string::npos || r.body.find("\"value\":[", value + 1) != std::string::npos)
        return "";
    size_t open = r.body.find('"', r.body.find(',', value));
    size_t close = open == std::string::npos ? open : r.body.find('"', open + 1);
    return close == std::string::npos ? "" : r.body.substr(open + 1, close - open - 1);
}

}  // namespace e2e
