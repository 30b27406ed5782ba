#include "agents.h"

#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "answer.h"
#include "html_text.h"
#include "mail_text.h"

namespace {

// The answer's header lines of an export take less than this.
const size_t kExportHeaderRoom = 1024;
// The folder table stops growing at this size, far from the answer's limit.
const size_t kFolderTableRoom = 96 * 1024;
// Raw bytes per encoded word: 56 base64 characters, a word of at most 75.
const size_t kEncodedChunk = 42;

std::string Base64(const std::string& bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        unsigned v = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 | (unsigned char)bytes[i + 2];
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += digits[(v >> 6) & 63];
        out += digits[v & 63];
    }
    if (i < bytes.size()) {
        unsigned v = (unsigned char)bytes[i] << 16;
        if (i + 1 < bytes.size()) v |= (unsigned char)bytes[i + 1] << 8;
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? digits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool IsPlainHeaderText(const std::string& text) {
    if (text.size() > 900 || text.find("=?") != std::string::npos) return false;
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

// A header value as it stands, or as encoded words folded onto lines of
// their own; a UTF-8 text is cut between characters only.
std::string HeaderValue(const std::string& text) {
    if (IsPlainHeaderText(text)) return text;
    bool utf8 = IsValidUtf8(text);
    std::string prefix = utf8 ? "=?utf-8?b?" : "=?unknown-8bit?b?";
    std::string out;
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.size(), at + kEncodedChunk);
        if (utf8)
            while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
        if (!out.empty()) out += "\n ";
        out += prefix + Base64(text.substr(at, end - at)) + "?=";
        at = end;
    }
    return out;
}

// The sender as the address of a From line: no blanks, something there.
std::string EnvelopeSender(const std::string& sender) {
    std::string address;
    for (unsigned char c : sender.substr(0, 200)) {
        bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    std::strchr("@._+-", c) != nullptr;
        address += kept && c ? char(c) : '_';
    }
    return address.empty() ? "MAILER-DAEMON" : address;
}

// A line that reads as a message separator once its '>'s are taken off.
bool NeedsQuoting(const std::string& body, size_t at) {
    while (at < body.size() && body[at] == '>') ++at;
    return body.compare(at, 5, "From ") == 0;
}

std::string FoldersPage(const PageContext& context, const std::vector<FolderCount>& counts) {
    HtmlPage page(context, kStatusOk, "Folders");
    int64_t total = 0;
    for (const FolderCount& f : counts) total += f.messages;
    page.Paragraph("summary", std::to_string(total) + (total == 1 ? " message" : " messages") + " in " +
                                  std::to_string(counts.size()) + (counts.size() == 1 ? " folder." : " folders."));
    if (counts.empty()) {
        page << "<p class=\"note\">No messages yet: <a href=\"" << page.Href("/Compose/Local/" + context.folder)
             << "\">write one</a>.</p>\n";
    } else {
        page << "<table id=\"folders\">\n<tr><th>Folder</th><th>Messages</th><th>Newest</th><th>Export</th></tr>\n";
        size_t shown = 0;
        for (const FolderCount& f : counts) {
            if (page.size() > kFolderTableRoom) break;
            ++shown;
            // Names come from the store: one that is not a folder name is
            // shown, not linked.
            bool linkable = IsFolderName(f.folder);
            page << "<tr><td class=\"folder\">";
            if (linkable) page << "<a href=\"" << page.Href(FolderPath(f.folder)) << "\">";
            page.Text(f.folder, 200);
            if (linkable) page << "</a>";
            page << "</td><td class=\"count\">" << std::to_string(f.messages) << "</td><td>" << ShortDate(f.newest)
                 << "</td><td>";
            if (linkable) page << "<a href=\"" << page.Href("/RunAgent/Local/export?" + f.folder) << "\">mbox</a>";
            page << "</td></tr>\n";
        }
        page << "</table>\n";
        if (shown < counts.size())
            page.Paragraph("more", "... and " + std::to_string(counts.size() - shown) + " folders more.", "note");
    }
    return page.Finish();
}

std::string AgentsPage(const PageContext& context, const char* status, const std::string& error) {
    HtmlPage page(context, status, error.empty() ? "Agents" : "No such agent");
    if (!error.empty()) page.Paragraph("error", error, "error");
    page << "<p id=\"summary\">The agents of this server:</p>\n<ul id=\"agents\">\n"
         << "<li><a href=\"" << page.Href("/RunAgent/Local/count") << "\">count</a>: the messages of each folder</li>\n"
         << "<li><a href=\"" << page.Href("/RunAgent/Local/export?" + context.folder) << "\">export?"
         << Html(context.folder) << "</a>: a folder's messages as mbox text</li>\n</ul>\n";
    return page.Finish();
}

std::string Export(MailStore& store, const PageContext& context, const std::string& query) {
    size_t amp = query.find('&');
    std::string folder = query.substr(0, amp);
    int skip = 0;
    if (amp != std::string::npos) {
        std::string number = query.substr(amp + 1);
        char* end = nullptr;
        long value = number.empty() ? -1 : std::strtol(number.c_str(), &end, 10);
        if (value < 0 || value > INT32_MAX || *end != '\0' || number[0] == '+' || number[0] == '-') {
            HtmlPage page(context, kStatusBadRequest, "Not exported");
            page.Paragraph("error", "after the folder and '&', export takes the number of messages to pass over",
                           "error");
            return page.Finish();
        }
        skip = int(value);
    }
    if (!IsFolderName(folder)) {
        HtmlPage page(context, kStatusBadRequest, "Not exported");
        page.Paragraph("error", "export takes a folder name (1 to 64 letters, digits, '.', '_' or '-'): export?FOLDER",
                       "error");
        return page.Finish();
    }
    const size_t room = kMaxAnswerSize - kExportHeaderRoom;
    std::string mbox, tooLarge;
    int taken = 0;
    bool more = false;
    store.ForEachInFolder(context.owner, folder, skip, [&](const Message& m) {
        std::string entry = MboxEntry(m);
        if (mbox.size() + entry.size() > room) {
            if (taken == 0) tooLarge = m.ident;
            more = true;
            return false;
        }
        mbox += entry;
        ++taken;
        return true;
    });
    if (!tooLarge.empty()) {
        HtmlPage page(context, kStatusFailed, "Not exported");
        page.Paragraph("error", "message " + tooLarge + " is too large for one answer", "error");
        return page.Finish();
    }
    std::string headers = "Content-Type: application/mbox\nContent-Disposition: attachment; filename=\"" + folder +
                          ".mbox\"\nX-Velmox-Messages: " + std::to_string(taken) + "\n";
    if (more)
        headers += "X-Velmox-Next: " +
                   GatewayUrl(context, "/RunAgent/Local/export?" + folder + "&" + std::to_string(skip + taken)) + "\n";
    return PlainAnswer(kStatusOk, headers, mbox);
}

}  // namespace

std::string MboxEntry(const Message& m) {
    std::string out = "From " + EnvelopeSender(m.sender) + " " + MboxDate(m.created) + "\n";
    out += "From: " + HeaderValue(m.sender) + "\n";
    out += "To: " + HeaderValue(m.recipient) + "\n";
    out += "Subject: " + HeaderValue(m.subject) + "\n";
    out += "Date: " + MailDate(m.saved) + "\n";
    out += "Message-ID: <" + m.ident + "@velmox.invalid>\n";
    out += "X-Velmox-Folder: " + m.folder + "\n";
    out += "X-Velmox-Body-Length: " + std::to_string(m.body.size()) + "\n";
    out += std::string("MIME-Version: 1.0\nContent-Type: text/plain; charset=") +
           (IsValidUtf8(m.body) ? "utf-8" : "unknown-8bit") + "\nContent-Transfer-Encoding: 8bit\n\n";
    for (size_t at = 0; at < m.body.size();) {
        size_t end = m.body.find('\n', at);
        end = end == std::string::npos ? m.body.size() : end + 1;
        if (NeedsQuoting(m.body, at)) out += '>';
        out.append(m.body, at, end - at);
        at = end;
    }
    if (!m.body.empty() && m.body.back() != '\n') out += '\n';
    out += '\n';
    return out;
}

std::string RunMailAgent(MailStore& store, const PageContext& context, const std::string& agent,
                         const std::string& query) {
    if (agent.empty()) return AgentsPage(context, kStatusOk, "");
    if (strcasecmp(agent.c_str(), "count") == 0) return FoldersPage(context, store.CountByFolder(context.owner));
    if (strcasecmp(agent.c_str(), "export") == 0) return Export(store, context, query);
    return AgentsPage(context, kStatusNotFound,
                      "There is no agent named \"" + (agent.size() > 60 ? agent.substr(0, 60) + "..." : agent) + "\".");
}
