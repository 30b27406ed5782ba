#include "mail_pages.h"

#include <algorithm>
#include <cstdio>

#include "folder_map.h"
#include "mail_access.h"
#include "mail_form.h"
#include "html_text.h"
#include "mail_text.h"

namespace {

std::string Quote(const std::string& text, size_t limit = 120) {
    return "\xE2\x80\x9C" + HtmlShort(text, limit) + "\xE2\x80\x9D";
}

std::string Plural(long long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Hex(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", unsigned(value));
    return text;
}

void Actions(HtmlPage& page, const std::string& links) { page << "<p class=\"actions\">" << links << "</p>\n"; }

std::string Link(const HtmlPage& page, const char* id, const std::string& path, const std::string& label) {
    return std::string("<a id=\"") + id + "\" href=\"" + page.Href(path) + "\">" + label + "</a>";
}

// A hidden field of a pager form.
std::string Hidden(const char* name, const std::string& value) {
    return std::string("<input type=\"hidden\" name=\"") + name + "\" value=\"" + HtmlShort(value, 300) + "\">";
}

// A button that asks for page `page` of the same search, options kept: the
// page number travels in the query string, the form's fields (with an
// SREQUEST that keeps MAX, SEARCHOPTION and WORDVARIENT) in the body.
std::string PagerForm(const HtmlPage& page, const SearchView& view, int number, const char* id, const char* label) {
    std::string form = "<form class=\"pager\" method=\"post\" action=\"" +
                       page.Href(FolderPath(page.context().folder) + "?" + Hex(number)) + "\">";
    form += Hidden("SREQUEST", "Quick Search") + Hidden("SEARCH", view.text) + Hidden("MAX", std::to_string(view.max)) +
            Hidden("SEARCHOPTION", std::to_string(int(view.order)));
    if (view.variants) form += Hidden("WORDVARIENT", "1");
    form += Hidden("OLDSEARCHREQUEST", view.previous) + Hidden("SEARCHRESULTSPAGE", std::to_string(number));
    form += std::string("<button id=\"") + id + "\">" + label + "</button></form>\n";
    return form;
}

// The text of a reply: who wrote what, each line quoted, at most `limit`
// bytes of the original.
std::string QuotedBody(const Message& original, size_t limit) {
    std::string quoted = "On " + ShortDate(original.saved) + " UTC, " + original.sender + " wrote:\n";
    std::string body = original.body.substr(0, limit);
    for (size_t at = 0; at < body.size();) {
        size_t end = body.find('\n', at);
        end = end == std::string::npos ? body.size() : end + 1;
        quoted += "> " + body.substr(at, end - at);
        at = end;
    }
    if (!body.empty() && quoted.back() != '\n') quoted += '\n';
    if (original.body.size() > limit) quoted += "> [...]\n";
    return quoted;
}

}  // namespace

Message ReplyDraft(const Message& original) {
    const size_t kQuoteLimit = 20000;
    Message draft;
    draft.ident = NewIdent();
    draft.recipient = original.sender;
    bool already = original.subject.size() >= 3 && (original.subject[0] == 'R' || original.subject[0] == 'r') &&
                   (original.subject[1] == 'E' || original.subject[1] == 'e') && original.subject[2] == ':';
    draft.subject = already ? original.subject : "Re: " + original.subject;
    // Within what Save keeps, cut between characters.
    if (draft.subject.size() > kMaxSubjectField) {
        size_t cut = kMaxSubjectField;
        while (cut > 0 && (static_cast<unsigned char>(draft.subject[cut]) & 0xC0) == 0x80) --cut;
        draft.subject.resize(cut);
    }
    draft.body = "\n\n" + QuotedBody(original, kQuoteLimit);
    return draft;
}

std::string FolderImagePath(const std::string& folder, const std::vector<Message>& latest) {
    return "/ImageMap/Local/" + folder + "/" + std::to_string(latest.empty() ? 0 : latest.front().created);
}

std::string ComposePage(const PageContext& context, ComposeKind kind, const Message& draft, const std::string& note) {
    const char* title = kind == ComposeKind::kEdit ? "Message" : kind == ComposeKind::kReply ? "Reply" : "New message";
    HtmlPage page(context, kStatusOk, title);
    const std::string& folder = context.folder;
    std::string summary;
    if (kind == ComposeKind::kEdit)
        summary = "From " + HtmlShort(draft.sender, 200) +
                  (draft.recipient.empty() ? "" : " to " + HtmlShort(draft.recipient, 200)) + ", saved " +
                  ShortDate(draft.saved) + " UTC in " + Html(draft.folder) + ". Change it and save, or reply.";
    else if (kind == ComposeKind::kReply) summary = "A reply; Save keeps it in " + Html(folder) + " as a new message.";
    else summary = "A new message; Save keeps it in " + Html(folder) + ".";
    page << "<p id=\"summary\">" << summary << "</p>\n";
    if (!note.empty()) page.Paragraph("note", note, "note");
    page << "<form id=\"compose-form\" method=\"post\" action=\""
         << page.Href("/Save/Local/" + folder + "?0&" + draft.ident) << "\">\n"
         << "<input type=\"hidden\" name=\"" << kTokenField << "\" value=\"" << Html(context.token) << "\">\n"
         << "<label for=\"compose-to\">To</label><input type=\"text\" id=\"compose-to\" name=\"to\" value=\"";
    page.Text(draft.recipient);
    page << "\">\n<label for=\"compose-subject\">Subject</label>"
            "<input type=\"text\" id=\"compose-subject\" name=\"subject\" value=\"";
    page.Text(draft.subject);
    // The line feed after the tag is dropped by every browser, so a body that
    // starts with one keeps it.
    page
        << "\">\n<label for=\"compose-body\">Message</label><textarea id=\"compose-body\" name=\"body\" rows=\"16\">\n";
    page.Text(draft.body);
    page << "</textarea>\n<button id=\"save-submit\">Save</button>\n</form>\n";
    std::string links;
    if (kind == ComposeKind::kEdit)
        links += Link(page, "reply", ComposePath(folder, draft.ident, true), "Reply") + " \xC2\xB7 ";
    links += Link(page, "back", FolderPath(folder), "Back to " + Html(folder));
    Actions(page, links);
    page << "<p class=\"meta\" id=\"ident\">ident " << draft.ident << "</p>\n";
    return page.Finish();
}

std::string SavedPage(const PageContext& context, const Message& m, bool created) {
    HtmlPage page(context, kStatusOk, created ? "Saved" : "Updated");
    std::string subject = m.subject.empty() ? "(no subject)" : Quote(m.subject);
    page << "<p id=\"summary\">" << (created ? "New message " : "Message ") << subject
         << (created ? " saved in " : " updated in ") << Html(m.folder) << ", " << ShortDate(m.saved) << " UTC.</p>\n";
    Actions(page, Link(page, "open-message", ComposePath(m.folder, m.ident), "Open it") + " \xC2\xB7 " +
                      Link(page, "write-another", "/Compose/Local/" + m.folder, "Write another") + " \xC2\xB7 " +
                      Link(page, "back", FolderPath(m.folder), "Back to " + Html(m.folder)));
    page << "<p class=\"meta\" id=\"ident\">ident " << m.ident << "</p>\n";
    return page.Finish();
}

std::string ResultsPage(const PageContext& context, const SearchView& view, const SearchResult& result) {
    HtmlPage page(context, kStatusOk, view.words.empty() ? "Messages" : "Found");
    const std::string folder = Html(context.folder);
    int listed = std::min(result.matching, view.max);
    int first = (view.page - 1) * kResultsPerPage + 1;
    int last = first + int(result.hits.size()) - 1;
    std::string what = view.words.empty() ? ""
                                          : (result.matching == 1 ? " matches " : " match ") + Quote(view.text) +
                                                (view.variants ? " (word variants too)" : "");
    std::string summary;
    if (result.matching == 0) {
        summary = view.words.empty() ? "No messages in " + folder + " yet."
                                     : "No message in " + folder + " matches " + Quote(view.text) +
                                           (view.variants ? " (word variants too)." : ".");
    } else {
        summary = Plural(result.matching, "message", "messages") + " in " + folder + what + "; ";
        summary += result.hits.empty() ? "page " + std::to_string(view.page) + " is past the last of them"
                                       : "listed " + std::to_string(first) + " to " + std::to_string(last) + " of " +
                                             std::to_string(listed) + ", " + OrderName(view.order);
        if (result.matching > view.max) summary += " (MAX " + std::to_string(view.max) + " leaves the rest out)";
        summary += ".";
    }
    page << "<p id=\"summary\">" << summary << "</p>\n";
    if (!result.hits.empty()) {
        page << "<ol class=\"hits\" id=\"results\" start=\"" << std::to_string(first) << "\">\n";
        for (const SearchHit& hit : result.hits) page.Hit(hit.message, hit.snippet);
        page << "</ol>\n";
    }
    std::string pager;
    if (view.page > 1)
        pager += PagerForm(page, view, std::min(view.page - 1, (listed + kResultsPerPage - 1) / kResultsPerPage),
                           "previous-page", "Previous page");
    if (last < listed && !result.hits.empty()) pager += PagerForm(page, view, view.page + 1, "next-page", "Next page");
    if (!pager.empty()) page << "<nav id=\"pages\">\n" << pager << "</nav>\n";
    if (!view.previous.empty() && view.previous != view.text) {
        SearchView before = view;
        before.text = view.previous;
        before.previous = view.text;
        page << "<div id=\"previous\">Before this: "
             << PagerForm(page, before, 1, "previous-search", ("Search " + Quote(view.previous, 60) + " again").c_str())
             << "</div>\n";
    }
    page << "<h2>Search again</h2>\n";
    page.SearchForm(view.text, view.max, view.order, view.variants, view.text);
    return page.Finish();
}

std::string OptionsPage(const PageContext& context, const SearchView& view, const std::vector<Message>& latest,
                        const std::string& note) {
    HtmlPage page(context, kStatusOk, context.folder);
    page << "<p id=\"summary\">"
         << (latest.empty() ? "No messages in " + Html(context.folder) + " yet."
                            : "The newest " + Plural(int(latest.size()), "message", "messages") + " of " +
                                  Html(context.folder) + "; click one in the picture or the list, or search.")
         << "</p>\n";
    if (!note.empty()) page.Paragraph("note", note, "note");
    page.SearchForm(view.text, view.max, view.order, view.variants, view.previous);
    std::string image = page.Href(FolderImagePath(context.folder, latest));
    page << "<h2>Newest messages</h2>\n<p><a id=\"folder-map-link\" href=\"" << image
         << "\"><img class=\"map\" id=\"folder-map\" ismap src=\"" << image << "\" width=\""
         << std::to_string(kMapWidth) << "\" height=\"" << std::to_string(kMapHeight)
         << "\" alt=\"The newest messages of " << Html(context.folder)
         << " under the buttons Write, Search, Folders and Export\"></a></p>\n";
    if (!latest.empty()) {
        page << "<ol class=\"hits\" id=\"messages\">\n";
        for (const Message& m : latest) page.Hit(m, "");
        page << "</ol>\n";
    }
    return page.Finish();
}

std::string ErrorPage(const PageContext& context, const char* status, const std::string& title,
                      const std::string& reason, const std::string& extraHeaders) {
    HtmlPage page(context, status, title, extraHeaders);
    page.Paragraph("error", reason, "error");
    Actions(page, Link(page, "back", FolderPath(context.folder), "Back to " + Html(context.folder)));
    return page.Finish();
}
