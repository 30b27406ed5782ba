// The pages of the mail commands. Each function returns a complete answer
// (header lines, an HTML5 page in the frame of mail_html.h, the terminating
// NUL) and raises nothing but what allocation raises.
#ifndef VELMOX_SERVER_MAIL_PAGES_H
#define VELMOX_SERVER_MAIL_PAGES_H

#include <string>
#include <vector>

#include "mail_html.h"
#include "store.h"

enum class ComposeKind { kNew, kEdit, kReply };

// The compose form filled with `draft`; it posts to Save under draft.ident
// in the context's folder. `note` (may be empty) is shown above the form.
std::string ComposePage(const PageContext& context, ComposeKind kind, const Message& draft, const std::string& note);

// The draft of a reply to `original`: a fresh ident, to its sender, "Re: "
// before its subject, its body quoted (the first 20000 bytes).
Message ReplyDraft(const Message& original);

// The confirmation of a Save, with a link to the message.
std::string SavedPage(const PageContext& context, const Message& message, bool created);

// A search as the results page and the forms show it.
struct SearchView {
    std::string text;                // as typed
    std::vector<std::string> words;  // what is searched for
    int max = 0;                     // MAX in force
    SearchOrder order = SearchOrder::kRelevance;
    bool variants = false;
    int page = 1;          // 1 for the first page of results
    std::string previous;  // the search before this one
};

std::string ResultsPage(const PageContext& context, const SearchView& view, const SearchResult& result);

// The folder view and the full search form: the newest messages of the
// folder as a clickable image and as a list. `note` may be empty.
std::string OptionsPage(const PageContext& context, const SearchView& view, const std::vector<Message>& latest,
                        const std::string& note);

// A page that says what went wrong and leads back to the folder.
std::string ErrorPage(const PageContext& context, const char* status, const std::string& title,
                      const std::string& reason, const std::string& extraHeaders = "");

// The path of the folder image that shows `latest` (and maps clicks on it).
std::string FolderImagePath(const std::string& folder, const std::vector<Message>& latest);

#endif
