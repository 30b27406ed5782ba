#include "mail_html.h"

#include <algorithm>
#include <cstdio>

#include "html_text.h"
#include "mail_text.h"

const char kStatusOk[] = "";
const char kStatusBadRequest[] = "Status: 400 Bad Request\n";
const char kStatusForbidden[] = "Status: 403 Forbidden\n";
const char kStatusNotFound[] = "Status: 404 Not Found\n";
const char kStatusMethodNotAllowed[] = "Status: 405 Method Not Allowed\n";
const char kStatusTooLarge[] = "Status: 413 Payload Too Large\n";
const char kStatusUnavailable[] = "Status: 503 Service Unavailable\n";
const char kStatusFailed[] = "Status: 500 Internal Server Error\n";

namespace {

// Pages run no script, load nothing from elsewhere and post only here (the
// empty icon keeps browsers from asking for /favicon.ico).
const char kHeaders[] =
    "Content-Type: text/html; charset=utf-8\n"
    "Cache-Control: no-store\n"
    "X-Content-Type-Options: nosniff\n"
    "Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; img-src 'self' data:; "
    "form-action 'self'; base-uri 'none'; frame-ancestors 'none'\n";

// The one stylesheet, in every page.
const char kStyle[] =
    "body{font:15px/1.45 system-ui,sans-serif;margin:0;color:#1d232b;background:#f4f6f8}"
    "header{background:#24425f;color:#fff;padding:.5em 1em;display:flex;flex-wrap:wrap;gap:.4em 1.2em;"
    "align-items:center}"
    "header a{color:#fff;text-decoration:none}header a:hover{text-decoration:underline}"
    "header .brand{font-weight:bold}header form{margin-left:auto}"
    "main{max-width:52em;margin:1em auto;padding:0 1em}"
    "main label{display:block;margin:.6em 0 .2em}main label.inline{display:inline}"
    "input,select,textarea,button{font:inherit}"
    "main input[type=text],main input[type=search],textarea{box-sizing:border-box;width:100%;padding:.3em}"
    "textarea{min-height:16em;font-family:ui-monospace,monospace}"
    "button{padding:.25em 1em;margin:.6em .4em 0 0}"
    "ol.hits{padding-left:1.6em}ol.hits li{margin:.7em 0}"
    ".meta{color:#56616d;font-size:.9em}.snippet{margin:.2em 0}mark{background:#ffe28a}"
    ".error{background:#fde8e8;border-left:4px solid #c0392b;padding:.6em 1em}"
    ".note{background:#eef3f8;border-left:4px solid #24425f;padding:.6em 1em}"
    "table{border-collapse:collapse}td,th{padding:.3em .8em;border-bottom:1px solid #d5dbe1;text-align:left}"
    "img.map{border:1px solid #b8c2cc;max-width:100%;height:auto}"
    "footer{color:#8a949e;font-size:.8em;text-align:center;margin:2em 0}";

// Bytes of a snippet shown, before escaping.
const size_t kSnippetLimit = 400;
const size_t kListFieldLimit = 160;

}  // namespace

const char* OrderName(SearchOrder order) {
    switch (order) {
        case SearchOrder::kNewest: return "newest first";
        case SearchOrder::kOldest: return "oldest first";
        default: return "best match first";
    }
}

std::string ComposePath(const std::string& folder, const std::string& ident, bool reply) {
    return "/Compose/Local/" + folder + (reply ? "?1&" : "?0&") + ident;
}

std::string FolderPath(const std::string& folder) { return "/Search/Local/" + folder; }

HtmlPage::HtmlPage(const PageContext& context, const char* status, const std::string& title,
                   const std::string& extraHeaders)
    : m_context(context) {
    m_out += status;
    m_out += kHeaders;
    m_out += extraHeaders;
    m_out +=
        "\n<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<link rel=\"icon\" href=\"data:,\">\n<title>";
    AppendHtml(m_out, title, 200);
    m_out += " - Velmox mail</title>\n<style>";
    m_out += kStyle;
    m_out += "</style>\n</head>\n<body>\n<header>\n";
    const std::string& folder = m_context.folder;
    m_out += "<a class=\"brand\" href=\"" + Href(FolderPath(kDefaultFolder)) + "\">Velmox mail</a>\n";
    m_out += "<a id=\"nav-folder\" href=\"" + Href(FolderPath(folder)) + "\">" + Html(folder) + "</a>\n";
    m_out += "<a id=\"nav-write\" href=\"" + Href("/Compose/Local/" + folder) + "\">Write</a>\n";
    m_out += "<a id=\"nav-folders\" href=\"" + Href("/RunAgent/Local/count") + "\">Folders</a>\n";
    m_out += "<form id=\"quick-search\" method=\"post\" action=\"" + Href(FolderPath(folder)) +
             "\">"
             "<input type=\"search\" name=\"SEARCH\" aria-label=\"Search " +
             Html(folder) + "\" placeholder=\"Search " + Html(folder) + "\" value=\"";
    AppendHtml(m_out, m_context.searchText, 300);
    m_out +=
        "\"> <button id=\"quick-submit\" name=\"SREQUEST\" value=\"Search\">Search</button>"
        "<button id=\"quick-options\" name=\"SREQUEST\" value=\"Options\">Options</button></form>\n"
        "</header>\n<main>\n";
    if (!m_context.owner.empty()) {
        m_out += "<p class=\"meta\" id=\"user\">Mail of ";
        AppendHtml(m_out, m_context.owner, 300);
        m_out += "</p>\n";
    }
    m_out += "<h1 id=\"title\">";
    AppendHtml(m_out, title, 200);
    m_out += "</h1>\n";
}

HtmlPage& HtmlPage::Text(const std::string& text, size_t limit) {
    if (!AppendHtml(m_out, text, limit)) m_out += "\xE2\x80\xA6";
    return *this;
}

std::string GatewayUrl(const PageContext& context, const std::string& path) {
    size_t query = path.find('?');
    if (query == std::string::npos) return context.script + UrlPath(path);
    return context.script + UrlPath(path.substr(0, query)) + path.substr(query);
}

std::string HtmlPage::Href(const std::string& path) const { return Html(GatewayUrl(m_context, path)); }

void HtmlPage::Paragraph(const char* id, const std::string& text, const char* cssClass) {
    m_out += "<p id=\"";
    m_out += id;
    m_out += "\"";
    if (cssClass) m_out += std::string(" class=\"") + cssClass + "\"";
    m_out += ">";
    AppendHtml(m_out, text, 2000);
    m_out += "</p>\n";
}

void HtmlPage::Hit(const Message& m, const std::string& snippet) {
    m_out += "<li class=\"hit\"><a class=\"subject\" href=\"" + Href(ComposePath(m.folder, m.ident)) + "\">";
    if (m.subject.empty()) m_out += "(no subject)";
    else Text(m.subject, kListFieldLimit);
    m_out += "</a>\n<div class=\"meta\">from <span class=\"from\">";
    Text(m.sender.empty() ? "(nobody)" : m.sender, kListFieldLimit);
    m_out += "</span>";
    if (!m.recipient.empty()) {
        m_out += " to <span class=\"to\">";
        Text(m.recipient, kListFieldLimit);
        m_out += "</span>";
    }
    m_out += ", <time>" + ShortDate(m.saved) + "</time></div>";
    if (snippet.empty()) {
        m_out += "</li>\n";
        return;
    }
    m_out += "\n<p class=\"snippet\">";
    // Marks stay balanced whatever the snippet holds.
    std::string piece;
    bool open = false;
    size_t shown = 0;
    auto flush = [&] {
        size_t room = shown < kSnippetLimit ? kSnippetLimit - shown : 0;
        if (!AppendHtml(m_out, piece, room)) m_out += "\xE2\x80\xA6";
        shown += std::min(room, piece.size());
        piece.clear();
    };
    for (char c : snippet) {
        if (c == kMarkOpen || c == kMarkClose) {
            flush();
            if (c == kMarkOpen && !open) m_out += "<mark>";
            if (c == kMarkClose && open) m_out += "</mark>";
            open = c == kMarkOpen ? true : c == kMarkClose ? false : open;
            continue;
        }
        piece += c;
    }
    flush();
    if (open) m_out += "</mark>";
    m_out += "</p></li>\n";
}

void HtmlPage::SearchForm(const std::string& text, int max, SearchOrder order, bool variants,
                          const std::string& previous) {
    const std::string& folder = m_context.folder;
    m_out += "<form id=\"search-form\" method=\"post\" action=\"" + Href(FolderPath(folder)) +
             "\">\n"
             "<label for=\"search-text\">Words to find in " +
             Html(folder) +
             "</label>"
             "<input type=\"search\" id=\"search-text\" name=\"SEARCH\" value=\"";
    Text(text, 300);
    m_out +=
        "\">\n<label class=\"inline\" for=\"search-max\">At most</label> <input type=\"number\" id=\"search-max\""
        " name=\"MAX\" min=\"1\" max=\"" +
        std::to_string(kLargestMax) + "\" value=\"" + std::to_string(max) +
        "\"> results,\n<label class=\"inline\" for=\"search-order\">order</label> "
        "<select id=\"search-order\" name=\"SEARCHOPTION\">";
    for (SearchOrder o : {SearchOrder::kRelevance, SearchOrder::kNewest, SearchOrder::kOldest}) {
        m_out += "<option value=\"" + std::to_string(int(o)) + "\"" + (o == order ? " selected" : "") + ">" +
                 OrderName(o) + "</option>";
    }
    m_out += "</select>\n<label><input type=\"checkbox\" id=\"search-variants\" name=\"WORDVARIENT\" value=\"1\"";
    if (variants) m_out += " checked";
    m_out +=
        "> find word variants too (searching also finds searched)</label>\n"
        "<input type=\"hidden\" name=\"OLDSEARCHREQUEST\" value=\"";
    Text(previous, 300);
    m_out += "\">\n<button id=\"search-submit\">Search</button>\n</form>\n";
}

std::string HtmlPage::Finish() {
    char served[96];
    std::snprintf(served, sizeof served, "served by pipe %d, pid %d", m_context.servedBy.slot, m_context.servedBy.pid);
    m_out += "</main>\n<footer id=\"served\">";
    m_out += served;
    m_out += "</footer>\n</body>\n</html>\n";
    m_out += '\0';
    return std::move(m_out);
}

std::string PlainAnswer(const char* status, const std::string& headers, const std::string& body) {
    std::string out =
        std::string(status) + headers + "Cache-Control: no-store\nX-Content-Type-Options: nosniff\n\n" + body;
    out += '\0';
    return out;
}
