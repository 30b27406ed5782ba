#include "mail_client.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cmd_util.h"
#include "pg_cluster.h"
#include "server_process.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace mailtest {

const char* StoreName(Store store) { return store == Store::kPostgres ? "PostgreSQL" : "SQLite"; }

std::string StoreParamName(const ::testing::TestParamInfo<Store>& info) { return StoreName(info.param); }

void MailServerTest::SetUp() {
    ServerTest::SetUp();
    database = base + ".db";
    if (store() == Store::kPostgres) {
        std::string why;
        pgtest::Cluster* cluster = pgtest::Cluster::Shared(&why);
        ASSERT_NE(nullptr, cluster) << why;
        pgDatabase = cluster->NewDatabase();
        ASSERT_NE("", pgDatabase);
        database = cluster->Uri(pgDatabase);
    }
    server().UseMailStore(database);
}

void MailServerTest::TearDown() {
    if (server().running()) {
        EXPECT_EQ(0, server().Stop()) << server().Log();
        ExpectNothingLeft();
    }
    // A sanitizer build reports there (leaks at each process's exit).
    for (const char* report : {"Sanitizer", "runtime error"})
        EXPECT_THAT(server().Stderr(), Not(HasSubstr(report))) << server().Stderr();
    if (!pgDatabase.empty()) {
        pgtest::Cluster* cluster = pgtest::Cluster::Shared(nullptr);
        EXPECT_TRUE(cluster && cluster->DropDatabase(pgDatabase));
    }
    // A test may have run an SQLite store before a PostgreSQL one.
    for (const std::string& db : {database, base + ".db"})
        for (const char* suffix : {"", "-wal", "-shm", ".good"}) unlink((db + suffix).c_str());
    ServerTest::TearDown();
}

void MailServerTest::StartMail(int pipes, const std::vector<std::string>& extra) {
    ASSERT_TRUE(server().Start(pipes, extra)) << server().Stderr() << server().Log();
}

std::string Reply::Header(const std::string& name) const {
    std::string prefix = name + ": ";
    for (size_t at = 0; at < headers.size();) {
        size_t end = headers.find('\n', at);
        if (headers.compare(at, prefix.size(), prefix) == 0)
            return headers.substr(at + prefix.size(), end - at - prefix.size());
        at = end + 1;
    }
    return "";
}

std::string Encode(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '\r') {
            out += char(c);
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", unsigned(c));
            out += escape;
        }
    }
    return out;
}

std::string Form(const Fields& fields) {
    std::string body;
    for (const auto& field : fields) body += (body.empty() ? "" : "&") + field.first + "=" + Encode(field.second);
    return body;
}

Reply Ask(const std::string& base, const std::string& method, const std::string& path, const std::string& query,
          const std::string& body, const std::string& user, const EnvList& more) {
    EnvList vars = {{"REQUEST_METHOD", method},
                    {"PATH_INFO", path},
                    {"QUERY_STRING", query},
                    {"SCRIPT_NAME", "/velmox.cgi"},
                    {"SERVER_NAME", "mail.example"},
                    {"REMOTE_ADDR", "192.0.2.7"}};
    if (!user.empty()) {
        vars.push_back({"AUTH_TYPE", "Basic"});
        vars.push_back({"REMOTE_USER", user});
    }
    vars.insert(vars.end(), more.begin(), more.end());
    std::string form = body;
    if (method == "POST" && path.compare(0, 6, "/Save/") == 0 && form.find("token=") == std::string::npos)
        form += (form.empty() ? "token=" : "&token=") + FormToken(base, user);
    if (!form.empty()) vars.push_back({"CONTENT_TYPE", "application/x-www-form-urlencoded"});
    Request request(vars, form);
    std::string answer;
    Reply reply;
    if (!srvtest::Exchange(base, srvtest::Message(*request.cmd), answer)) return reply;
    reply.answered = true;
    EXPECT_FALSE(answer.empty());
    if (answer.empty()) return reply;
    EXPECT_EQ('\0', answer.back()) << "the answer ends in its NUL";
    EXPECT_EQ(answer.size() - 1, answer.find('\0')) << "and holds no other";
    answer.pop_back();
    size_t blank = answer.find("\n\n");
    EXPECT_NE(std::string::npos, blank) << answer.substr(0, 200);
    if (blank == std::string::npos) return reply;
    reply.headers = answer.substr(0, blank + 1);
    reply.page = answer.substr(blank + 2);
    std::string status = reply.Header("Status");
    reply.status = status.empty() ? 200 : std::atoi(status.c_str());
    return reply;
}

std::string FormToken(const std::string& base, const std::string& user) {
    Reply compose = Ask(base, "GET", "/Compose/Local/inbox", "", "", user);
    const std::string field = "name=\"token\" value=\"";
    size_t at = compose.page.find(field);
    if (at == std::string::npos) return "";
    at += field.size();
    return compose.page.substr(at, compose.page.find('"', at) - at);
}

Reply Get(const std::string& base, const std::string& path, const std::string& query) {
    return Ask(base, "GET", path, query);
}

Reply Post(const std::string& base, const std::string& path, const std::string& query, const std::string& body) {
    return Ask(base, "POST", path, query, body);
}

std::string Element(const std::string& page, const std::string& tag, const std::string& id) {
    std::string key = " id=\"" + id + "\"";
    for (size_t at = page.find("<" + tag); at != std::string::npos; at = page.find("<" + tag, at + 1)) {
        size_t close = page.find('>', at);
        if (page.substr(at, close - at).find(key) == std::string::npos) continue;
        size_t end = page.find("</" + tag + ">", close);
        return page.substr(close + 1, end - close - 1);
    }
    return "<missing " + id + ">";
}

std::string TextOf(const std::string& markup) {
    std::string text;
    bool inTag = false;
    for (char c : markup) {
        if (c == '<') inTag = true;
        else if (c == '>') inTag = false;
        else if (!inTag) text += c;
    }
    std::string out;
    static const std::pair<const char*, char> entities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}};
    for (size_t i = 0; i < text.size();) {
        bool done = false;
        for (const auto& e : entities) {
            size_t n = std::char_traits<char>::length(e.first);
            if (text.compare(i, n, e.first) == 0) {
                out += e.second;
                i += n;
                done = true;
                break;
            }
        }
        if (!done) out += text[i++];
    }
    return out;
}

std::vector<std::string> Elements(const std::string& page, const std::string& tag, const std::string& cls) {
    std::vector<std::string> found;
    std::string key = " class=\"" + cls + "\"";
    for (size_t at = page.find("<" + tag); at != std::string::npos; at = page.find("<" + tag, at + 1)) {
        size_t close = page.find('>', at);
        if (page.substr(at, close - at).find(key) == std::string::npos) continue;
        size_t end = page.find("</" + tag + ">", close);
        found.push_back(page.substr(close + 1, end - close - 1));
    }
    return found;
}

std::string InputValue(const std::string& page, const std::string& id) {
    size_t at = page.find(" id=\"" + id + "\"");
    if (at == std::string::npos) return "<missing " + id + ">";
    size_t start = page.rfind('<', at);
    size_t end = page.find('>', at);
    std::string tag = page.substr(start, end - start);
    size_t value = tag.find(" value=\"");
    if (value == std::string::npos) return "<no value>";
    value += 8;
    return TextOf(tag.substr(value, tag.find('"', value) - value));
}

std::string IdentOn(const std::string& page) {
    std::string text = Element(page, "p", "ident");
    return text.size() > 6 ? text.substr(6) : text;
}

bool IsUtf8(const std::string& text) {
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned c = s[i];
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (len == 0 || i + len > n) return false;
        unsigned value = len == 1 ? c : c & (0x7F >> len);
        for (size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            value = value << 6 | (s[i + k] & 0x3F);
        }
        static const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (value < least[len] || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000)) return false;
        i += len;
    }
    return true;
}

namespace {

std::string Unbase64(const std::string& text) {
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const char* at = std::strchr(digits, c);
        if (c == '=' || !at || !c) continue;
        bits = bits << 6 | unsigned(at - digits);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += char((bits >> count) & 0xFF);
        }
    }
    return out;
}

// A header value: folded lines joined, =?charset?b?...?= words decoded (the
// white space between two of them dropped).
std::string DecodeHeader(const std::string& raw) {
    std::string value;
    for (size_t at = 0; at < raw.size();) {
        if (raw.compare(at, 2, "=?") == 0) {
            size_t b = raw.find("?b?", at);
            size_t end = raw.find("?=", b + 3);
            value += Unbase64(raw.substr(b + 3, end - b - 3));
            at = end + 2;
            if (raw.compare(at, 2, "\n ") == 0) at += 2;
        } else {
            value += raw[at++];
        }
    }
    return value;
}

}  // namespace

std::string MboxMessage::Header(const std::string& name) const {
    for (const auto& h : headers)
        if (h.first == name) return h.second;
    return "<missing " + name + ">";
}

// Messages start at "From " lines; each ends with a line feed the exporter
// added when the body had none, and a blank line.
std::vector<MboxMessage> ParseMbox(const std::string& mbox) {
    std::vector<size_t> starts;
    for (size_t at = 0; at < mbox.size(); at = mbox.find('\n', at) + 1) {
        if (mbox.compare(at, 5, "From ") == 0) starts.push_back(at);
        if (mbox.find('\n', at) == std::string::npos) break;
    }
    std::vector<MboxMessage> messages;
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] : mbox.size();
        std::string entry = mbox.substr(starts[k], end - starts[k]);
        MboxMessage m;
        size_t blank = entry.find("\n\n");
        std::string head = entry.substr(entry.find('\n') + 1, blank - entry.find('\n'));
        for (size_t at = 0; at < head.size();) {
            size_t line = at;
            size_t next = head.find('\n', at);
            while (next != std::string::npos && next + 1 < head.size() && head[next + 1] == ' ')
                next = head.find('\n', next + 1);
            std::string field = head.substr(line, (next == std::string::npos ? head.size() : next) - line);
            size_t colon = field.find(": ");
            if (colon != std::string::npos)
                m.headers.push_back({field.substr(0, colon), DecodeHeader(field.substr(colon + 2))});
            at = next == std::string::npos ? head.size() : next + 1;
        }
        std::string body = entry.substr(blank + 2);
        if (body.size() >= 1 && body.back() == '\n') body.pop_back();  // the blank line
        std::string unquoted;
        for (size_t at = 0; at < body.size();) {
            size_t end = body.find('\n', at);
            end = end == std::string::npos ? body.size() : end + 1;
            size_t gt = at;
            while (gt < end && body[gt] == '>') ++gt;
            bool quoted = gt > at && body.compare(gt, 5, "From ") == 0;
            unquoted.append(body, quoted ? at + 1 : at, end - (quoted ? at + 1 : at));
            at = end;
        }
        // The length of the body as stored tells whether its last line feed
        // is its own or the exporter's.
        size_t length = size_t(std::atol(m.Header("X-Velmox-Body-Length").c_str()));
        m.body = unquoted.substr(0, std::min(length, unquoted.size()));
        messages.push_back(m);
    }
    return messages;
}

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

}  // namespace mailtest
