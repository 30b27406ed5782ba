// The sample server's answer page, built without a pipe: for commands made
// from a request and read back from the wire as the server receives them,
// and for commands filled by hand with the largest and most hostile values.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cgi.h"
#include "kit.h"
#include "cmd_util.h"
#include "html_text.h"
#include "log.h"
#include "page.h"
#include "root.h"
#include "savcmd.h"
#include "schcmd.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const ServedBy kServedBy{2, 4242};
const std::string kHead = "Content-Type: text/html; charset=utf-8\nCache-Control: no-store\n\n";

// The command as a server task gets it: made from the request, sent and read back.
std::unique_ptr<Cmd> Received(const EnvList& vars, const std::string& body = "") {
    Request request(vars, body);
    std::string wire = Serialise(*request.cmd);
    SimpleStream s(uint32_t(wire.size()));
    s.Write(wire.data(), int(wire.size()));
    s.Rewind();
    return std::unique_ptr<Cmd>(Cmd::CreateCmd(s));
}

using kit::Cell;

// The ids of the cells of one table, in order.
std::vector<std::string> CellIds(const std::string& page, const std::string& table) {
    std::vector<std::string> ids;
    size_t start = page.find("<table id=\"" + table + "\">");
    size_t end = page.find("</table>", start);
    for (size_t at = page.find("<td id=\"", start); at < end; at = page.find("<td id=\"", at + 1)) {
        size_t idStart = at + 8;
        ids.push_back(page.substr(idStart, page.find('"', idStart) - idStart));
    }
    return ids;
}

// The page's text before the terminating NUL, after checking that the NUL is
// its last byte and the only one.
std::string PageText(const std::string& answer) {
    EXPECT_FALSE(answer.empty());
    EXPECT_EQ('\0', answer.back()) << "the NUL is counted in the answer";
    EXPECT_EQ(answer.size() - 1, std::strlen(answer.c_str())) << "no NUL before the end";
    EXPECT_LE(answer.size(), kMaxAnswerSize);
    return answer.substr(0, answer.size() - 1);
}

// Every & starts an entity: no request text reached the page unescaped.
void ExpectAmpersandsEscape(const std::string& page) {
    for (size_t at = page.find('&'); at != std::string::npos; at = page.find('&', at + 1)) {
        bool entity = false;
        for (const char* e : {"&amp;", "&lt;", "&gt;", "&quot;", "&#39;"})
            entity = entity || page.compare(at, std::strlen(e), e) == 0;
        ASSERT_TRUE(entity) << "bare & at " << at << ": " << page.substr(at > 40 ? at - 40 : 0, 80);
    }
}

const std::vector<std::string> kHeaderIds = {"m_cmdID", "m_param", "m_remoteAddr", "m_remoteUser", "m_userAgent",
                                             "m_server", "m_path"};

std::vector<std::string> FieldIds(std::vector<std::string> own) {
    std::vector<std::string> ids = kHeaderIds;
    ids.insert(ids.end(), own.begin(), own.end());
    return ids;
}

struct CommandRow {
    const char* name;
    EnvList vars;
    std::string body;
    std::vector<std::string> ids;
    std::vector<std::pair<const char*, std::string>> cells;
};

std::vector<CommandRow> CommandRows() {
    const std::string saveBody = std::string("To\0ann\0Body\0hi\0\0", 16);
    return {
        {"Save",
         {{"PATH_INFO", "/Save/Local/notes"}, {"QUERY_STRING", "2a&89abcdef012345670011223344556677"}},
         "To=ann&Body=hi",
         FieldIds({"m_reservedText", "m_queryNumber", "m_bodyLen", "m_identValid", "m_ident", "m_body"}),
         {{"m_cmdID", "1"}, {"m_path", "notes"}, {"m_server", ""}, {"m_reservedText", ""}, {"m_queryNumber", "42"},
          {"m_bodyLen", "16"}, {"m_identValid", "1"}, {"m_ident", "89abcdef 01234567 00112233 44556677"},
          {"m_body", kit::Hex(saveBody)}}},
        {"Compose",
         {{"PATH_INFO", "/Compose/Mail+Hub/drafts/new"}, {"QUERY_STRING", "1f&0123456789abcdef0011223344556677"}},
         "",
         FieldIds({"m_reservedText", "m_queryNumber", "m_identValid", "m_ident"}),
         {{"m_cmdID", "2"}, {"m_server", "Mail Hub"}, {"m_path", "drafts/new"}, {"m_queryNumber", "31"},
          {"m_identValid", "1"}, {"m_ident", "01234567 89abcdef 00112233 44556677"}}},
        {"Search",
         {{"PATH_INFO", "/Search/Archive/db"}, {"QUERY_STRING", "1f"}, {"REQUEST_METHOD", "POST"}},
         "SREQUEST=Quick+Search&SEARCH=cats&MAX=20&SEARCHOPTION=2&OLDSEARCHREQUEST=dogs",
         FieldIds({"m_searchKind", "m_searchKindName", "m_queryNumber", "m_orderOfCollection", "m_wordVarient",
                   "m_searchText", "m_max", "m_oldSearchRequest"}),
         {{"m_cmdID", "3"}, {"m_server", "Archive"}, {"m_searchKind", "2"}, {"m_searchKindName", "Search"},
          {"m_queryNumber", "31"}, {"m_orderOfCollection", "2"}, {"m_wordVarient", "0"}, {"m_searchText", "cats"},
          {"m_max", "20"}, {"m_oldSearchRequest", "dogs"}}},
        {"ImageMap",
         {{"PATH_INFO", "/ImageMap/Local/maps/world"}, {"QUERY_STRING", "-5,7"}},
         "",
         FieldIds({"m_x", "m_y"}),
         {{"m_cmdID", "4"}, {"m_path", "maps/world"}, {"m_x", "-5"}, {"m_y", "7"}}},
        {"RunAgent",
         {{"PATH_INFO", "/RunAgent/Main/agents/report"}, {"QUERY_STRING", "Hello+World"}},
         "",
         FieldIds({"m_query", "m_reserved"}),
         {{"m_cmdID", "5"}, {"m_server", "Main"}, {"m_query", "Hello+World"}, {"m_reserved", "0"}}},
    };
}

TEST(ServerPage, EveryCommandShowsItsFieldsAndTheRequest) {
    for (CommandRow& r : CommandRows()) {
        SCOPED_TRACE(r.name);
        r.vars.push_back({"REMOTE_ADDR", "192.0.2.7"});
        r.vars.push_back({"REMOTE_USER", "ann"});
        r.vars.push_back({"HTTP_USER_AGENT", "probe/1.0"});
        r.vars.push_back({"SCRIPT_NAME", "/cgi-bin/velmox.cgi"});
        std::unique_ptr<Cmd> cmd = Received(r.vars, r.body);
        std::string page = PageText(BuildAnswer(*cmd, kServedBy));
        EXPECT_EQ(kHead, page.substr(0, kHead.size()));
        EXPECT_THAT(page, HasSubstr("<title>Velmox sample server: " + std::string(r.name) + "</title>"));
        EXPECT_THAT(page, HasSubstr("<h1 id=\"command\">" + std::string(r.name) + "</h1>"));
        EXPECT_THAT(page, HasSubstr("<p id=\"served\">served by pipe 2, pid 4242</p>"));
        EXPECT_EQ(r.ids, CellIds(page, "fields"));
        EXPECT_EQ("1", Cell(page, "m_param"));
        EXPECT_EQ("192.0.2.7", Cell(page, "m_remoteAddr"));
        EXPECT_EQ("ann", Cell(page, "m_remoteUser"));
        EXPECT_EQ("probe/1.0", Cell(page, "m_userAgent"));
        for (const auto& cell : r.cells) EXPECT_EQ(cell.second, Cell(page, cell.first)) << cell.first;
        std::vector<std::string> cgiIds;
        for (const char* name : CGI::c_cgiEnvVarName) cgiIds.push_back(std::string("cgi-") + name);
        EXPECT_EQ(cgiIds, CellIds(page, "cgi"));
        EXPECT_EQ("/cgi-bin/velmox.cgi", Cell(page, "cgi-SCRIPT_NAME"));
        EXPECT_EQ("192.0.2.7", Cell(page, "cgi-REMOTE_ADDR"));
        EXPECT_EQ(EscapeHtml(r.vars[1].second), Cell(page, "cgi-QUERY_STRING"));
        EXPECT_EQ("", Cell(page, "cgi-HTTPS"));
    }
}

TEST(ServerPage, EveryPageOffersTheFormsAndLinks) {
    const char* fragments[] = {
        "<form id=\"search-form\" method=\"post\" action=\"/v.cgi/Search/Local/mail\">",
        "<select name=\"SREQUEST\"><option>Search</option><option>Options</option><option>Quick Search</option>"
        "</select>",
        "<input name=\"MAX\" value=\"20\">",
        "<select name=\"SEARCHOPTION\"><option value=\"1\">1</option><option value=\"2\">2</option>"
        "<option value=\"3\">3</option></select>",
        "<input type=\"checkbox\" name=\"WORDVARIENT\" value=\"1\">",
        "<button id=\"search-submit\" type=\"submit\">",
        "<form id=\"compose-form\" method=\"post\" "
        "action=\"/v.cgi/Compose/Local/drafts?1f&amp;0123456789abcdef0011223344556677\">",
        "<input name=\"To\">",
        "<input name=\"Subject\">",
        "<textarea id=\"compose-body\" name=\"Body\"></textarea>",
        "<button id=\"compose-submit\"",
        "<form id=\"save-form\" method=\"post\" action=\"/v.cgi/Save/Local/notes?2a&amp;89abcdef012345670011223344556677\">",
        "<textarea id=\"save-body\" name=\"Body\"></textarea>",
        "<button id=\"save-submit\"",
        "<a id=\"imagemap\" href=\"/v.cgi/ImageMap/Local/maps/world\"><img id=\"map\" ismap width=\"240\" "
        "height=\"120\" alt=\"map\" src=\"data:image/svg+xml,%3Csvg",
        "<a id=\"runagent\" href=\"/v.cgi/RunAgent/Local/agents/report?Hello+World\">",
    };
    for (const CommandRow& r : CommandRows()) {
        SCOPED_TRACE(r.name);
        EnvList vars = r.vars;
        vars.push_back({"SCRIPT_NAME", "/v.cgi"});
        std::unique_ptr<Cmd> cmd = Received(vars, r.body);
        std::string page = PageText(BuildAnswer(*cmd, kServedBy));
        for (const char* fragment : fragments) EXPECT_THAT(page, HasSubstr(fragment)) << fragment;
        // The search inputs carry the current search text on a Search page only.
        std::string text = std::string(r.name) == "Search" ? "cats" : "";
        EXPECT_THAT(page, HasSubstr("<input name=\"SEARCH\" value=\"" + text + "\">"));
        EXPECT_THAT(page, HasSubstr("<input name=\"OLDSEARCHREQUEST\" value=\"" + text + "\">"));
    }
}

TEST(ServerPage, LinksFollowTheScriptName) {
    struct Row { const char* scriptName; const char* base; } rows[] = {
        {"/cgi-bin/velmox.cgi", "/cgi-bin/velmox.cgi"},
        {"", ""},
        {"javascript:alert(1)", "/javascript:alert(1)"},
        {"/a b?c#d%", "/a%20b%3Fc%23d%25"},
        {"/x&y'\"<>", "/x&amp;y&#39;%22%3C%3E"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.scriptName);
        std::unique_ptr<Cmd> cmd = Received({{"PATH_INFO", "/RunAgent/Local/a"}, {"SCRIPT_NAME", r.scriptName}});
        std::string page = PageText(BuildAnswer(*cmd, kServedBy));
        std::string base = r.base;
        for (std::string link : {"action=\"" + base + "/Search/Local/mail\"",
                                 "action=\"" + base + "/Compose/Local/drafts?1f&amp;",
                                 "action=\"" + base + "/Save/Local/notes?2a&amp;",
                                 "href=\"" + base + "/ImageMap/Local/maps/world\"",
                                 "href=\"" + base + "/RunAgent/Local/agents/report?Hello+World\""})
            EXPECT_THAT(page, HasSubstr(link)) << link;
        ExpectAmpersandsEscape(page);
    }
}

TEST(ServerPage, HostileRequestTextIsEscapedEverywhere) {
    const std::string hostile = "<script>alert(\"x&y\")</script>'";
    const std::string escaped = "&lt;script&gt;alert(&quot;x&amp;y&quot;)&lt;/script&gt;&#39;";
    const std::string encodedForm = "%3Cscript%3Ealert%28%22x%26y%22%29%3C%2Fscript%3E%27";
    struct Row { const char* path; const char* body; const char* cell; } rows[] = {
        {"/Save/Local/notes", "n=v", nullptr},
        {"/Compose/Local/drafts", "", nullptr},
        {"/Search/Local/mail", "SREQUEST=Search&SEARCH=", "m_searchText"},
        {"/ImageMap/Local/maps", "", nullptr},
        {"/RunAgent/Local/agents", "", nullptr},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        std::string body = r.body;
        if (!body.empty()) body += encodedForm + "&" + encodedForm + "=" + encodedForm;
        EnvList vars = {{"PATH_INFO", std::string(r.path) + "/" + hostile},
                        {"QUERY_STRING", hostile},
                        {"REMOTE_USER", hostile},
                        {"HTTP_USER_AGENT", hostile},
                        {"HTTP_REFERER", hostile},
                        {"SCRIPT_NAME", "/cgi\"><script>x</script>"},
                        {"REQUEST_METHOD", body.empty() ? "GET" : "POST"}};
        std::unique_ptr<Cmd> cmd = Received(vars, body);
        std::string page = PageText(BuildAnswer(*cmd, kServedBy));
        EXPECT_THAT(page, Not(HasSubstr("<script"))) << page;
        EXPECT_THAT(page, Not(HasSubstr("<SCRIPT")));
        ExpectAmpersandsEscape(page);
        EXPECT_EQ(escaped, Cell(page, "m_remoteUser"));
        EXPECT_EQ(escaped, Cell(page, "m_userAgent"));
        EXPECT_THAT(Cell(page, "m_path"), HasSubstr(escaped));
        EXPECT_EQ(escaped, Cell(page, "cgi-QUERY_STRING"));
        EXPECT_EQ(escaped, Cell(page, "cgi-HTTP_REFERER"));
        EXPECT_EQ("/cgi&quot;&gt;&lt;script&gt;x&lt;/script&gt;", Cell(page, "cgi-SCRIPT_NAME"));
        if (r.cell) {
            EXPECT_EQ(escaped, Cell(page, r.cell));
        }
        if (std::string(r.path).find("Search") != std::string::npos) {
            EXPECT_THAT(page, HasSubstr("<input name=\"SEARCH\" value=\"" + escaped + "\">"));
        }
        if (std::string(r.path).find("Save") != std::string::npos) {
            EXPECT_THAT(page, HasSubstr("<dt>" + escaped + "</dt><dd>" + escaped + "</dd>"));
        }
    }
}

TEST(ServerPage, SaveListsTheDecodedForm) {
    std::unique_ptr<Cmd> cmd = Received({{"PATH_INFO", "/Save/Local/notes"}}, "To=ann&Body=line1%0D%0Aline2+%3C%3E");
    std::string page = PageText(BuildAnswer(*cmd, kServedBy));
    EXPECT_THAT(page,
              HasSubstr("<dl id=\"form\">\n<dt>To</dt><dd>ann</dd>\n<dt>Body</dt><dd>line1\nline2 &lt;&gt;</dd>\n</dl>"));
    EXPECT_EQ("0", Cell(page, "m_identValid"));
    EXPECT_EQ("00000000 00000000 00000000 00000000", Cell(page, "m_ident"));

    cmd = Received({{"PATH_INFO", "/Save/Local/notes"}});
    page = PageText(BuildAnswer(*cmd, kServedBy));
    EXPECT_EQ("0", Cell(page, "m_bodyLen"));
    EXPECT_EQ("", Cell(page, "m_body"));
    EXPECT_THAT(page, HasSubstr("<dl id=\"form\">\n</dl>"));

    // Compose carries no body to the server: its list stays empty, and says why.
    cmd = Received({{"PATH_INFO", "/Compose/Local/drafts"}}, "To=ann");
    page = PageText(BuildAnswer(*cmd, kServedBy));
    EXPECT_THAT(page, HasSubstr("<dl id=\"form\">\n</dl>"));
    EXPECT_THAT(page, HasSubstr("<p id=\"form-note\">"));
}

// Fills every text field of a command with `c` up to its width.
template <size_t N>
void Fill(char (&field)[N], char c) {
    std::memset(field, c, N - 1);
    field[N - 1] = 0;
}

TEST(ServerPage, TheLargestMostHostileRequestStillFitsThePipe) {
    std::vector<std::string> values(CGI::c_cgiEnvVarCount, std::string(20000, '"'));
    CGI cgi;
    for (int i = 0; i < CGI::c_cgiEnvVarCount; ++i) cgi.m_cgiEnvVarValue[i] = &values[size_t(i)][0];

    std::unique_ptr<SaveCmd> save(new SaveCmd());
    save->m_cgi = &cgi;
    Fill(save->m_remoteAddr, '"');
    Fill(save->m_remoteUser, '"');
    Fill(save->m_userAgent, '"');
    Fill(save->m_server, '"');
    Fill(save->m_path, '"');
    Fill(save->m_reservedText, '"');
    // Name, value, name, value ...: the longest body a message can carry.
    save->m_bodyLen = 127000;
    save->m_body = RootNewChars(save->m_bodyLen);
    for (uint32_t i = 0; i < save->m_bodyLen; ++i) save->m_body[i] = i % 1000 == 999 ? '\0' : '\'';

    std::string answer = BuildAnswer(*save, kServedBy);
    std::string page = PageText(answer);
    EXPECT_LT(answer.size(), kMaxAnswerSize * 3 / 4) << "well below the limit";
    EXPECT_THAT(page, HasSubstr("<h1 id=\"command\">Save</h1>"));
    EXPECT_EQ(kBodyHexLimit, Cell(page, "m_body").size());
    EXPECT_EQ(kit::Hex(std::string(save->m_body, kBodyHexLimit / 2)), Cell(page, "m_body"));
    EXPECT_THAT(page, HasSubstr("<p id=\"body-cut\">m_body shows the first 8192 of 127000 bytes</p>"));
    EXPECT_THAT(page, HasSubstr("<p id=\"form-cut\">"));
    EXPECT_THAT(page, HasSubstr("<p id=\"cgi-cut\">cut to fit the page: SERVER_SOFTWARE, "));
    EXPECT_EQ(255u * 6, Cell(page, "m_server").size()) << "a fixed field is shown whole";
    ExpectAmpersandsEscape(page);
    save->m_cgi = nullptr;

    std::unique_ptr<SearchCmd> search(new SearchCmd());
    search->m_cgi = &cgi;
    Fill(search->m_searchText, '\'');
    Fill(search->m_oldSearchRequest, '"');
    answer = BuildAnswer(*search, kServedBy);
    PageText(answer);
    EXPECT_LT(answer.size(), kMaxAnswerSize * 3 / 4);
    search->m_cgi = nullptr;
}

TEST(ServerPage, LongValuesAreCutBetweenCharacters) {
    std::string text;
    for (int i = 0; i < 1500; ++i) text += "\xc3\xa9";  // two bytes each
    std::unique_ptr<Cmd> cmd = Received({{"PATH_INFO", "/RunAgent/Local/a"}, {"QUERY_STRING", "x" + text}});
    std::string page = PageText(BuildAnswer(*cmd, kServedBy));
    std::string cell = Cell(page, "cgi-QUERY_STRING");
    ASSERT_GT(cell.size(), 900u);
    ASSERT_LE(cell.size(), 1024u);
    EXPECT_EQ("x" + text.substr(0, cell.size() - 1), cell);
    EXPECT_EQ(1u, cell.size() % 2) << "x and whole two-byte characters";
    EXPECT_THAT(page, HasSubstr("<p id=\"cgi-cut\">cut to fit the page: QUERY_STRING</p>"));
    // Control characters never reach the page.
    cmd = Received({{"PATH_INFO", "/RunAgent/Local/a"}, {"HTTP_REFERER", "a\x01" "b\x7f" "c\td"}});
    page = PageText(BuildAnswer(*cmd, kServedBy));
    EXPECT_EQ("a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c\td", Cell(page, "cgi-HTTP_REFERER"));
}

TEST(ServerPage, ErrorAnswerIsACompleteEscapedResponse) {
    std::string page = PageText(BuildErrorAnswer("bad <thing> & 'more'", kServedBy));
    EXPECT_EQ(kHead, page.substr(0, kHead.size()));
    EXPECT_THAT(page, HasSubstr("<h1 id=\"command\">error</h1>"));
    EXPECT_THAT(page, HasSubstr("<p id=\"error\">bad &lt;thing&gt; &amp; &#39;more&#39;</p>"));
    EXPECT_THAT(page, HasSubstr("<p id=\"served\">served by pipe 2, pid 4242</p>"));
}

TEST(ServerLog, ValuesAreQuotedEscapedAndCut) {
    struct Row { const char* text; size_t limit; const char* logged; } rows[] = {
        {"plain", 10, "\"plain\""},
        {"", 10, "\"\""},
        {"a\"b\\c", 10, "\"a\\\"b\\\\c\""},
        {"\x01\xc3\xa9\n", 10, "\"\\x01\\xc3\\xa9\\x0a\""},
        {"abcdef", 3, "\"abc...\""},
        {"abc", 3, "\"abc\""},
    };
    for (const Row& r : rows) EXPECT_EQ(r.logged, LogValue(r.text, r.limit)) << r.text;
}

TEST(ServerLog, ARequestLineNamesWhatCameAndWhatWentBack) {
    std::unique_ptr<Cmd> cmd = Received(
        {{"PATH_INFO", "/RunAgent/Local/a b"}, {"QUERY_STRING", std::string(300, 'q')}, {"REMOTE_ADDR", "192.0.2.7"}});
    EXPECT_EQ("request pipe=2 pid=4242 command=RunAgent addr=\"192.0.2.7\" path=\"/RunAgent/Local/a b\" query=\"" +
                  std::string(200, 'q') + "...\" answer=5000",
              RequestLine(kServedBy, *cmd, 5000));
    EXPECT_EQ("request pipe=2 pid=4242 command=- damaged=\"Corrupt Data Exception\" length=12 answer=300",
              DamagedRequestLine(kServedBy, "Corrupt Data Exception", 12, 300));
}

}  // namespace
