// The frame of every mail page: the CGI header lines, an HTML5 document with
// the one stylesheet, a bar with the folder, the commands and a quick search,
// and the served-by footer; and the parts that several pages share (a
// message in a list, the search form).
//
// Markup written with operator<< is the program's own; every stored or
// requested text goes through Text() or a link builder, which escape it.
#ifndef VELMOX_SERVER_MAIL_HTML_H
#define VELMOX_SERVER_MAIL_HTML_H

#include <cstddef>
#include <string>

#include "log.h"
#include "store.h"

// What every page of one request needs to know.
struct PageContext {
    std::string script;      // the gateway's URL path, percent-encoded
    std::string folder;      // the folder the request is about (a valid name)
    std::string searchText;  // shown in the quick search box
    ServedBy servedBy{0, 0};
    std::string owner;       // whose mail the request sees: the user, "" the public mailbox
    std::string token;       // the token of the user's forms that post to Save (mail_access.h)
};

// Status lines the pages use.
extern const char kStatusOk[];
extern const char kStatusBadRequest[];
extern const char kStatusForbidden[];
extern const char kStatusNotFound[];
extern const char kStatusMethodNotAllowed[];
extern const char kStatusTooLarge[];
extern const char kStatusUnavailable[];
extern const char kStatusFailed[];

// Search settings: MAX when the form gives none (or 0), the largest MAX
// taken (a larger one counts as this), and results per page.
const int kDefaultMax = 100;
const int kLargestMax = 1000;
const int kResultsPerPage = 10;

// The order values of the search form (SEARCHOPTION) in words.
const char* OrderName(SearchOrder order);

class HtmlPage {
public:
    // Starts a page: `status` is one of the status lines above, `extraHeaders`
    // whole header lines (each ending in a line feed).
    HtmlPage(const PageContext& context, const char* status, const std::string& title,
             const std::string& extraHeaders = "");

    HtmlPage& operator<<(const char* markup) {
        m_out += markup;
        return *this;
    }
    HtmlPage& operator<<(const std::string& markup) {
        m_out += markup;
        return *this;
    }
    // Text, escaped; cut with "…" after `limit` bytes of it.
    HtmlPage& Text(const std::string& text, size_t limit = std::string::npos);
    // An attribute value for a link to `path` under the gateway, which is the
    // program's own text built from checked names ("/Compose/Local/inbox?0&...").
    std::string Href(const std::string& path) const;

    // A message in a list: its subject linking to Compose, sender, recipient,
    // date and a snippet whose match marks become <mark>.
    void Hit(const Message& message, const std::string& snippet);
    // The form of a search in the page's folder with the given settings.
    void SearchForm(const std::string& text, int max, SearchOrder order, bool variants, const std::string& previous);
    // A paragraph with an id.
    void Paragraph(const char* id, const std::string& text, const char* cssClass = nullptr);

    const PageContext& context() const { return m_context; }
    // Bytes of the answer so far.
    size_t size() const { return m_out.size(); }
    // The complete answer: the page closed, with its terminating NUL.
    std::string Finish();

private:
    const PageContext& m_context;
    std::string m_out;
};

// The URL of `path` under the gateway: its path part percent-encoded, its
// query (the program's own digits and names) as it is. Not yet escaped.
std::string GatewayUrl(const PageContext& context, const std::string& path);
// The link of a message's Compose page in its folder: edit, or reply.
std::string ComposePath(const std::string& folder, const std::string& ident, bool reply = false);
std::string FolderPath(const std::string& folder);

// A short complete answer of another type (the folder image, an mbox).
std::string PlainAnswer(const char* status, const std::string& headers, const std::string& body);

#endif
