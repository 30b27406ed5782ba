// Test helpers for the sample server's mail pages: requests made as the
// gateway makes them (through the real request record and command classes)
// and sent under a test's own base name, answers split into status, header
// lines and page, and the pieces of a page the tests read.
#ifndef VELMOX_TESTS_MAIL_CLIENT_H
#define VELMOX_TESTS_MAIL_CLIENT_H

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "request_util.h"
#include "server_process.h"

namespace mailtest {

// The mail stores the suites run against.
enum class Store { kSqlite, kPostgres };
const char* StoreName(Store store);
// For the parameterised suites: "SQLite", "PostgreSQL".
std::string StoreParamName(const ::testing::TestParamInfo<Store>& info);

// Fixture: velmox-server with a mail store of the test's own: an SQLite file
// (base + ".db"), or a database of its own on the test process's PostgreSQL
// server (pg_cluster.h) when store() says so. At the end the server must
// stop cleanly, leave nothing and have written no sanitizer report, and the
// store's files or database go.
class MailServerTest : public srvtest::ServerTest {
protected:
    void SetUp() override;
    void TearDown() override;
    void StartMail(int pipes = 2, const std::vector<std::string>& extra = {});
    virtual Store store() const { return Store::kSqlite; }

    std::string database;  // what -d names: a file, or a libpq URI
    std::string pgDatabase;  // the PostgreSQL database's name
};

// The suites that run against every store.
class EveryStore : public MailServerTest, public ::testing::WithParamInterface<Store> {
protected:
    Store store() const override { return GetParam(); }
};

struct Reply {
    bool answered = false;
    int status = 0;                                     // from a Status line, else 200
    std::string headers;                                // the header lines, each ending in a line feed
    std::string page;                                   // what follows the blank line, without the NUL
    std::string Header(const std::string& name) const;  // "" when absent
};

using Fields = std::vector<std::pair<std::string, std::string>>;

// A value percent-encoded as a browser encodes form data, every byte but
// letters and digits; a carriage return stays raw (the gateway drops an
// escaped one).
std::string Encode(const std::string& bytes);
std::string Form(const Fields& fields);

// One request under `base`: the method, PATH_INFO, QUERY_STRING and body, as
// a web server would pass them to the gateway (SCRIPT_NAME /velmox.cgi,
// SERVER_NAME mail.example, REMOTE_ADDR 192.0.2.7; for a `user` the web
// server authenticated, AUTH_TYPE Basic and REMOTE_USER), and `more`
// variables besides. A Save's form gets the token of the user's compose
// form, as a browser sends it, unless it has a token field of its own.
Reply Ask(const std::string& base, const std::string& method, const std::string& path, const std::string& query = "",
          const std::string& body = "", const std::string& user = "", const EnvList& more = {});
Reply Get(const std::string& base, const std::string& path, const std::string& query = "");
Reply Post(const std::string& base, const std::string& path, const std::string& query, const std::string& body);
// The token of the user's forms, as their compose form carries it ("" when
// the server gave no form).
std::string FormToken(const std::string& base, const std::string& user = "");

// The inner markup of the first element <tag ... id="id" ...>; "<missing id>"
// when there is none.
std::string Element(const std::string& page, const std::string& tag, const std::string& id);
// Text of markup: tags dropped, the five entities resolved.
std::string TextOf(const std::string& markup);
// Each class="cls" element's inner markup, in order.
std::vector<std::string> Elements(const std::string& page, const std::string& tag, const std::string& cls);
// The value="..." of the input with the id, entities resolved.
std::string InputValue(const std::string& page, const std::string& id);
// True when every byte sequence of text is a valid UTF-8 character.
bool IsUtf8(const std::string& text);
// An mbox answer's messages: header lines (encoded words decoded) by name,
// and the body as it was stored (mboxrd quoting taken off, cut to its
// X-Velmox-Body-Length).
struct MboxMessage {
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::string Header(const std::string& name) const;
};
std::vector<MboxMessage> ParseMbox(const std::string& mbox);
// The ident a Saved or Compose page names.
std::string IdentOn(const std::string& page);
int Count(const std::string& text, const std::string& part);

}  // namespace mailtest

#endif
