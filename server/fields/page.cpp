#include "page.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "cgi.h"
#include "cmd.h"
#include "cmd_table.h"
#include "html_text.h"

namespace {

const char kHeaders[] = "Content-Type: text/html; charset=utf-8\nCache-Control: no-store\n\n";
const char kTitlePrefix[] = "Velmox sample server: ";

// Bounds on request-derived text, in bytes of escaped page text. With them a
// page stays far below kMaxAnswerSize even when every value is hostile
// (every character escaped to six bytes).
const size_t kCgiValueLimit = 1024;
const size_t kFormItemLimit = 2048;
const size_t kFormLimit = 16384;
const size_t kScriptNameLimit = 512;
// SCRIPT_NAME among the request values.
const int kScriptNameIndex = 8;

// A request's bytes on the page, escaped as they came (html_text.h), at
// most `limit` bytes of escaped text. True when all of it fitted.
bool AppendEscaped(std::string& out, const char* text, size_t length, size_t limit = std::string::npos) {
    return AppendHtml(out, text, length, limit, HtmlFrom::Bytes);
}

void AppendEscaped(std::string& out, const std::string& text) { AppendEscaped(out, text.data(), text.size()); }

std::string Decimal(uint32_t value) { return std::to_string(value); }

std::string Decimal(int32_t value) { return std::to_string(value); }

// The ident as the page shows it: four words of hexadecimal digits.
std::string ShownIdent(const uint32_t (&ident)[4]) { return IdentText(ident, " "); }

// ------------------------------------------------------------- field rows

using Rows = std::vector<std::pair<const char*, std::string>>;

Rows HeaderRows(const Cmd& cmd) {
    return {{"m_cmdID", Decimal(uint32_t(cmd.m_cmdID))},
            {"m_param", Decimal(cmd.m_param)},
            {"m_remoteAddr", FieldText(cmd.m_remoteAddr)},
            {"m_remoteUser", FieldText(cmd.m_remoteUser)},
            {"m_userAgent", FieldText(cmd.m_userAgent)}};
}

template <class C>
void AddPathRows(Rows& rows, const C& cmd) {
    rows.push_back({"m_server", FieldText(cmd.m_server)});
    rows.push_back({"m_path", FieldText(cmd.m_path)});
}

// Only the head of a long body is shown, so that the page fits the pipe.
size_t ShownBodyBytes(const SaveCmd& cmd) {
    size_t length = cmd.m_body ? cmd.m_bodyLen : 0;
    return std::min(length, kBodyHexLimit / 2);
}

void AddOwnRows(Rows& rows, const SaveCmd& cmd) {
    AddPathRows(rows, cmd);
    rows.push_back({"m_reservedText", FieldText(cmd.m_reservedText)});
    rows.push_back({"m_queryNumber", Decimal(cmd.m_queryNumber)});
    rows.push_back({"m_bodyLen", Decimal(cmd.m_bodyLen)});
    rows.push_back({"m_identValid", Decimal(cmd.m_identValid)});
    rows.push_back({"m_ident", ShownIdent(cmd.m_ident)});
    rows.push_back({"m_body", HexText(cmd.m_body, ShownBodyBytes(cmd))});
}

void AddOwnRows(Rows& rows, const ComposeCmd& cmd) {
    AddPathRows(rows, cmd);
    rows.push_back({"m_reservedText", FieldText(cmd.m_reservedText)});
    rows.push_back({"m_queryNumber", Decimal(cmd.m_queryNumber)});
    rows.push_back({"m_identValid", Decimal(cmd.m_identValid)});
    rows.push_back({"m_ident", ShownIdent(cmd.m_ident)});
}

void AddOwnRows(Rows& rows, const SearchCmd& cmd) {
    AddPathRows(rows, cmd);
    rows.push_back({"m_searchKind", Decimal(cmd.m_searchKind)});
    rows.push_back({"m_searchKindName", TableName(SearchCmd::c_Searchtable, cmd.m_searchKind)});
    rows.push_back({"m_queryNumber", Decimal(cmd.m_queryNumber)});
    rows.push_back({"m_orderOfCollection", Decimal(cmd.m_orderOfCollection)});
    rows.push_back({"m_wordVarient", Decimal(cmd.m_wordVarient)});
    rows.push_back({"m_searchText", FieldText(cmd.m_searchText)});
    rows.push_back({"m_max", Decimal(cmd.m_max)});
    rows.push_back({"m_oldSearchRequest", FieldText(cmd.m_oldSearchRequest)});
}

void AddOwnRows(Rows& rows, const ImageMapCmd& cmd) {
    AddPathRows(rows, cmd);
    rows.push_back({"m_x", Decimal(cmd.m_x)});
    rows.push_back({"m_y", Decimal(cmd.m_y)});
}

void AddOwnRows(Rows& rows, const RunAgentCmd& cmd) {
    AddPathRows(rows, cmd);
    rows.push_back({"m_query", FieldText(cmd.m_query)});
    rows.push_back({"m_reserved", Decimal(cmd.m_reserved)});
}

// Every class has rows of its own: a class without an AddOwnRows does not
// compile here.
Rows FieldRows(const Cmd& cmd) {
    Rows rows = HeaderRows(cmd);
    VisitCmd(cmd, [&rows](const auto& typed) { AddOwnRows(rows, typed); });
    return rows;
}

// ------------------------------------------------------------------ links

// The script's own URL path, ready for an attribute. A value that does not
// start with a slash is made one, so that it can never turn into a URL scheme
// (javascript: and the like).
std::string ScriptBase(const Cmd& cmd) {
    std::string name = RequestValue(cmd, kScriptNameIndex);
    if (name.size() > kScriptNameLimit) name.resize(kScriptNameLimit);
    if (!name.empty() && name[0] != '/') name.insert(0, "/");
    return EscapeHtml(EncodeUrlPath(name));
}

// The image of the image map: drawn inline, so nothing else must be served.
std::string MapImageUri() {
    static const char svg[] =
        "<svg xmlns='http://www.w3.org/2000/svg' width='240' height='120' viewBox='0 0 240 120'>"
        "<rect width='240' height='120' fill='#dfe9f2'/>"
        "<path d='M0 60H240M120 0V120' stroke='#7f99b2'/>"
        "<text x='8' y='20' font-family='sans-serif' font-size='12'>click anywhere</text></svg>";
    return EscapeHtml("data:image/svg+xml," + EncodeUrlPath(svg));
}

// ------------------------------------------------------------------- page

class PageWriter {
public:
    explicit PageWriter(std::string& out) : m_out(out) {}

    void Start(const std::string& heading) {
        m_out += kHeaders;
        m_out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>";
        m_out += kTitlePrefix;
        AppendEscaped(m_out, heading);
        m_out += "</title>\n</head>\n<body>\n<h1 id=\"command\">";
        AppendEscaped(m_out, heading);
        m_out += "</h1>\n";
    }

    void ServedByLine(const ServedBy& by) {
        m_out += "<p id=\"served\">served by pipe " + std::to_string(by.slot) + ", pid " +
                 std::to_string(by.pid) + "</p>\n";
    }

    void Paragraph(const char* id, const std::string& text) {
        m_out += "<p id=\"";
        m_out += id;
        m_out += "\">";
        AppendEscaped(m_out, text);
        m_out += "</p>\n";
    }

    void FieldTable(const Rows& rows) {
        m_out += "<table id=\"fields\">\n";
        for (const auto& row : rows) Row(row.first, "", row.second.data(), row.second.size(), std::string::npos);
        m_out += "</table>\n";
    }

    // Returns the names of the values that had to be cut.
    std::string RequestTable(const Cmd& cmd) {
        std::string cut;
        m_out += "<table id=\"cgi\">\n";
        for (int i = 0; i < CGI::c_cgiEnvVarCount; ++i) {
            const char* name = CGI::c_cgiEnvVarName[i];
            const char* value = RequestValue(cmd, i);
            if (Row(name, "cgi-", value, std::strlen(value), kCgiValueLimit)) continue;
            if (!cut.empty()) cut += ", ";
            cut += name;
        }
        m_out += "</table>\n";
        return cut;
    }

    // The decoded form: name, value, ..., ended by an empty name. False when
    // it had to be cut.
    bool FormList(const char* body, size_t length) {
        m_out += "<dl id=\"form\">\n";
        size_t budget = kFormLimit;
        bool whole = true;
        for (size_t pos = 0; pos < length && whole;) {
            std::string name = NextString(body, length, pos);
            if (name.empty()) break;
            std::string value = NextString(body, length, pos);
            whole = FormItem("dt", name, budget) && FormItem("dd", value, budget);
            m_out += '\n';
        }
        m_out += "</dl>\n";
        return whole;
    }

    void Forms(const std::string& script, const std::string& searchText) {
        m_out += "<h2>Send a command</h2>\n";
        SearchForm(script, searchText);
        ComposeForm(script);
        SaveForm(script);
        m_out += "<p><a id=\"imagemap\" href=\"" + script + "/ImageMap/Local/maps/world\">"
                 "<img id=\"map\" ismap width=\"240\" height=\"120\" alt=\"map\" src=\"" +
                 MapImageUri() + "\"></a></p>\n";
        m_out += "<p><a id=\"runagent\" href=\"" + script +
                 "/RunAgent/Local/agents/report?Hello+World\">Run the report agent</a></p>\n";
    }

    void Finish() { m_out += "</body>\n</html>\n"; }

private:
    // One row: <tr><th>name</th><td id="prefix+name">value</td></tr>.
    bool Row(const char* name, const char* idPrefix, const char* value, size_t length, size_t limit) {
        m_out += "<tr><th>";
        m_out += name;
        m_out += "</th><td id=\"";
        m_out += idPrefix;
        m_out += name;
        m_out += "\">";
        bool whole = AppendEscaped(m_out, value, length, limit);
        m_out += "</td></tr>\n";
        return whole;
    }

    static std::string NextString(const char* list, size_t length, size_t& pos) {
        size_t end = pos;
        while (end < length && list[end]) ++end;
        std::string text(list + pos, end - pos);
        pos = end + 1;
        return text;
    }

    bool FormItem(const char* tag, const std::string& text, size_t& budget) {
        size_t limit = std::min(budget, kFormItemLimit);
        size_t before = m_out.size();
        m_out += std::string("<") + tag + ">";
        bool whole = AppendEscaped(m_out, text.data(), text.size(), limit);
        budget -= std::min(budget, m_out.size() - before);
        m_out += std::string("</") + tag + ">";
        return whole;
    }

    void SearchForm(const std::string& script, const std::string& searchText) {
        std::string text = EscapeHtml(searchText);
        m_out += "<form id=\"search-form\" method=\"post\" action=\"" + script + "/Search/Local/mail\">\n"
                 "<label>Request <select name=\"SREQUEST\"><option>Search</option><option>Options</option>"
                 "<option>Quick Search</option></select></label>\n"
                 "<label>Search for <input name=\"SEARCH\" value=\"" + text + "\"></label>\n"
                 "<label>Previous search <input name=\"OLDSEARCHREQUEST\" value=\"" + text + "\"></label>\n"
                 "<label>At most <input name=\"MAX\" value=\"20\"></label>\n"
                 "<label>Order <select name=\"SEARCHOPTION\"><option value=\"1\">1</option>"
                 "<option value=\"2\">2</option><option value=\"3\">3</option></select></label>\n"
                 "<label><input type=\"checkbox\" name=\"WORDVARIENT\" value=\"1\"> word variants</label>\n"
                 "<button id=\"search-submit\" type=\"submit\">Search</button>\n</form>\n";
    }

    void ComposeForm(const std::string& script) {
        m_out += "<form id=\"compose-form\" method=\"post\" action=\"" + script +
                 "/Compose/Local/drafts?1f&amp;0123456789abcdef0011223344556677\">\n"
                 "<label>To <input name=\"To\"></label>\n"
                 "<label>Subject <input name=\"Subject\"></label>\n"
                 "<textarea id=\"compose-body\" name=\"Body\"></textarea>\n"
                 "<button id=\"compose-submit\" type=\"submit\">Compose</button>\n</form>\n";
    }

    void SaveForm(const std::string& script) {
        m_out += "<form id=\"save-form\" method=\"post\" action=\"" + script +
                 "/Save/Local/notes?2a&amp;89abcdef012345670011223344556677\">\n"
                 "<textarea id=\"save-body\" name=\"Body\"></textarea>\n"
                 "<button id=\"save-submit\" type=\"submit\">Save</button>\n</form>\n";
    }

    std::string& m_out;
};

void AddFormSection(PageWriter& page, const SaveCmd& save) {
    size_t length = save.m_body ? save.m_bodyLen : 0;
    if (save.m_bodyLen > ShownBodyBytes(save))
        page.Paragraph("body-cut", "m_body shows the first " + std::to_string(ShownBodyBytes(save)) +
                                       " of " + std::to_string(save.m_bodyLen) + " bytes");
    if (!page.FormList(save.m_body, length)) page.Paragraph("form-cut", "the form is shown cut");
}

void AddFormSection(PageWriter& page, const ComposeCmd&) {
    page.FormList(nullptr, 0);
    page.Paragraph("form-note", "a Compose command carries no form body to the server");
}

// The other classes have no form section.
void AddFormSection(PageWriter&, const Cmd&) {}

void WriteFormSection(PageWriter& page, const Cmd& cmd) {
    VisitCmd(cmd, [&page](const auto& typed) { AddFormSection(page, typed); });
}

std::string SearchText(const SearchCmd& search) { return FieldText(search.m_searchText); }

// The other classes have no search text.
std::string SearchText(const Cmd&) { return std::string(); }

std::string SearchTextOf(const Cmd& cmd) {
    std::string text;
    VisitCmd(cmd, [&text](const auto& typed) { text = SearchText(typed); });
    return text;
}

std::string Terminated(std::string page) {
    page += '\0';
    return page;
}

}  // namespace

std::string BuildAnswer(const Cmd& cmd, const ServedBy& servedBy) {
    std::string out;
    PageWriter page(out);
    page.Start(CommandName(cmd));
    page.ServedByLine(servedBy);
    page.FieldTable(FieldRows(cmd));
    WriteFormSection(page, cmd);
    std::string cut = page.RequestTable(cmd);
    if (!cut.empty()) page.Paragraph("cgi-cut", "cut to fit the page: " + cut);
    page.Forms(ScriptBase(cmd), SearchTextOf(cmd));
    page.Finish();
    // The bounds above keep every page far below this; the check only keeps
    // a mistake in them from ever cutting an answer mid-page in the pipe.
    if (out.size() + 1 > kMaxAnswerSize) return BuildErrorAnswer("the page grew too long", servedBy);
    return Terminated(std::move(out));
}

std::string BuildErrorAnswer(const std::string& reason, const ServedBy& servedBy) {
    std::string out;
    PageWriter page(out);
    page.Start("error");
    page.ServedByLine(servedBy);
    page.Paragraph("error", reason.substr(0, 512));
    page.Finish();
    return Terminated(std::move(out));
}
