#include "mail_client.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "cmd_util.h"
#include "server_process.h"

namespace mailtest {

std::string Reply::Header(const std::string& name) const {
    std::string prefix = name + ": ";
    for (size_t at = 0; at < headers.size();) {
        size_t end = headers.find('\n', at);
        if (headers.compare(at, prefix.size(), prefix) == 0) return headers.substr(at + prefix.size(), end - at - prefix.size());
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
          const std::string& body, const std::string& user) {
    EnvList vars = {{"REQUEST_METHOD", method}, {"PATH_INFO", path},          {"QUERY_STRING", query},
                    {"SCRIPT_NAME", "/velmox.cgi"}, {"REMOTE_ADDR", "192.0.2.7"}};
    if (!user.empty()) vars.push_back({"REMOTE_USER", user});
    if (!body.empty()) vars.push_back({"CONTENT_TYPE", "application/x-www-form-urlencoded"});
    Request request(vars, body);
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

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++n;
    return n;
}

}  // namespace mailtest
