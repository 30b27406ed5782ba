#include "mail_service.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>

#include "agents.h"
#include "cgi.h"
#include "cmd_table.h"
#include "cmpcmd.h"
#include "folder_map.h"
#include "html_text.h"
#include "log.h"
#include "mail_access.h"
#include "mail_form.h"
#include "mail_pages.h"
#include "mail_text.h"
#include "mapcmd.h"
#include "runcmd.h"
#include "savcmd.h"
#include "schcmd.h"

namespace {

// Room a Compose page keeps beside the page a Save checks: another script
// name, a note, the date.
const size_t kComposeRoom = 4096;
const size_t kScriptNameLimit = 512;
// The last page of results that MAX allows.
const int kLastPage = (kLargestMax + kResultsPerPage - 1) / kResultsPerPage;

std::string Variable(const Cmd& cmd, const char* name) { return RequestVariable(cmd, name); }

// The gateway's own URL path, to which every link leads. A value that does
// not start with a slash is made one, so that it never turns into a scheme.
std::string ScriptOf(const Cmd& cmd) {
    std::string name = Variable(cmd, "SCRIPT_NAME");
    if (name.size() > kScriptNameLimit) name.resize(kScriptNameLimit);
    if (!name.empty() && name[0] != '/') name.insert(0, "/");
    return UrlPath(name);
}

// The sender of a new message: its owner, or for the public mailbox the
// address the request came from.
std::string SenderOf(const Cmd& cmd, const std::string& owner) {
    if (!owner.empty()) return owner;
    std::string address = FieldText(cmd.m_remoteAddr);
    return address.empty() ? "guest" : "guest@" + address;
}

const char kNobody[] =
    "This web mail keeps each user's mail apart, so the web server in front of it must authenticate its users "
    "(and say so with AUTH_TYPE and REMOTE_USER), and it did not for this request. The section \"Users\" of "
    "docs/service.md says how to set that up; velmox-server --public serves requests without a user from one shared "
    "mailbox instead.";

std::string NotYours(const std::string& ident) {
    return "There is no message " + ident + " of yours.";
}

std::string Short(const std::string& text) { return text.size() > 60 ? text.substr(0, 60) + "..." : text; }

// Checks the server and folder parts of a request path; "" when they name a
// folder of this server (context.folder is then set), else the refusal.
std::string CheckPlace(const char* server, const std::string& folder, PageContext& context) {
    if (server[0] != '\0')
        return ErrorPage(context, kStatusNotFound, "No such server",
                         "This server keeps local mail only: the second part of the path must be Local, not \"" +
                             Short(server) + "\".");
    std::string name = folder.empty() ? std::string(kDefaultFolder) : folder;
    if (!IsFolderName(name))
        return ErrorPage(context, kStatusBadRequest, "No such folder",
                         "\"" + Short(name) + "\" is not a folder name: 1 to 64 letters, digits, '.', '_' or '-'.");
    context.folder = name;
    return "";
}

// A click position "X,Y" as a browser sends it for a server-side image map.
bool IsClickQuery(const std::string& query) {
    size_t comma = query.find(',');
    if (comma == std::string::npos) return false;
    auto number = [](const std::string& text) {
        size_t start = !text.empty() && text[0] == '-' ? 1 : 0;
        if (text.size() == start || text.size() - start > 9) return false;
        return std::all_of(text.begin() + long(start), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    return number(query.substr(0, comma)) && number(query.substr(comma + 1));
}

const char* KindName(StoreError::Kind kind) {
    switch (kind) {
        case StoreError::kBusy: return "busy";
        case StoreError::kReadOnly: return "read-only";
        case StoreError::kFull: return "full";
        case StoreError::kMissing: return "missing";
        case StoreError::kDamaged: return "damaged";
        case StoreError::kUnreachable: return "unreachable";
        default: return "failed";
    }
}

const char* KindText(StoreError::Kind kind) {
    switch (kind) {
        case StoreError::kBusy:
            return "The mail store is busy: another process has held its lock longer than this server waits. "
                   "Nothing was changed; try again in a moment.";
        case StoreError::kReadOnly:
            return "The mail store is read-only just now, so nothing can be saved. Nothing was changed.";
        case StoreError::kFull:
            return "The mail store is full (its disk, or the size limit the server runs with), so nothing more "
                   "can be saved. Nothing was changed.";
        case StoreError::kMissing:
            return "The mail store's database file is missing. The server's log names it; mail is served again "
                   "as soon as it is back.";
        case StoreError::kDamaged:
            return "The mail store's database is damaged, or is not a mail store. The server's log says more; mail "
                   "is served again as soon as it is repaired or restored.";
        case StoreError::kUnreachable:
            return "The mail store's database server cannot be reached just now. Nothing was changed; mail is "
                   "served again as soon as it answers.";
        default: return "The mail store failed. The server's log says why; nothing was changed.";
    }
}

}  // namespace

MailService::MailService(MailStore& store, const ServedBy& servedBy, const ServerLog& log, const FormSecret& secret,
                         bool publicMailbox)
    : m_store(store), m_servedBy(servedBy), m_log(log), m_secret(secret), m_public(publicMailbox) {}

std::string MailService::Answer(const Cmd& cmd) {
    PageContext context;
    context.script = ScriptOf(cmd);
    context.folder = kDefaultFolder;
    context.servedBy = m_servedBy;
    m_usedStore = false;
    std::string answer;
    std::string refused = UserOf(cmd, &context.owner);
    if (refused.empty() && context.owner.empty() && !m_public) refused = kNobody;
    if (!refused.empty()) return ErrorPage(context, kStatusForbidden, "Sign-in needed", refused);
    context.token = m_secret.Token(context.owner);
    try {
        if (!VisitCmd(cmd, [&](const auto& typed) { answer = Run(typed, context); }))
            answer = ErrorPage(context, kStatusBadRequest, "Unknown command", "This server knows no such command.");
        std::string migrated = m_usedStore ? m_store.TakeMigration() : "";
        if (!migrated.empty())
            m_log.Line("store pipe=" + std::to_string(m_servedBy.slot) + " pid=" + std::to_string(m_servedBy.pid) +
                       " migrated the mail store " + migrated +
                       ": the messages it held are in the public mailbox (--adopt USER gives them to a user)");
        if (m_usedStore && m_failing) {
            m_failing = false;
            m_log.Line("store pipe=" + std::to_string(m_servedBy.slot) + " pid=" + std::to_string(m_servedBy.pid) +
                       " serving again");
        }
    } catch (const StoreError& error) {
        answer = StoreFault(cmd, error, context);
    }
    // Every page is bounded so that this never happens; should one grow past
    // the pipe, the gateway gets a page that says so instead of a cut one.
    if (answer.size() > kMaxAnswerSize)
        answer = ErrorPage(context, kStatusFailed, "Page too long",
                           "The page would be " + std::to_string(answer.size()) + " bytes, more than the " +
                               std::to_string(kMaxAnswerSize) + " that reach the gateway.");
    return answer;
}

std::string MailService::StoreFault(const Cmd& cmd, const StoreError& error, const PageContext& context) {
    m_failing = true;
    m_log.Line("store pipe=" + std::to_string(m_servedBy.slot) + " pid=" + std::to_string(m_servedBy.pid) +
               " command=" + CommandName(cmd) + " fault=" + KindName(error.kind()) + ": " +
               LogValue(error.what(), 400));
    bool passing = error.kind() == StoreError::kBusy || error.kind() == StoreError::kUnreachable;
    std::string retry = passing ? "Retry-After: 2\n" : "";
    return ErrorPage(context, kStatusUnavailable, "Mail store unavailable", KindText(error.kind()), retry);
}

// ---------------------------------------------------------------- commands

std::string MailService::Run(const SaveCmd& cmd, PageContext& context) {
    std::string refused = CheckPlace(cmd.m_server, FieldText(cmd.m_path), context);
    if (!refused.empty()) return refused;
    if (Variable(cmd, "REQUEST_METHOD") != "POST")
        return ErrorPage(context, kStatusMethodNotAllowed, "Not saved",
                         "Save takes the compose form posted to it; Write opens the form.", "Allow: POST\n");
    std::string query = Variable(cmd, "QUERY_STRING");
    std::string problem = QueryProblem(query);
    if (problem.empty() && query.find('&') != std::string::npos && !cmd.m_identValid)
        problem = "the ident in the query string could not be read";
    if (!problem.empty()) return ErrorPage(context, kStatusBadRequest, "Not saved", "Not saved: " + problem + ".");
    SaveForm form;
    problem = ReadSaveForm(cmd.m_body, cmd.m_body ? cmd.m_bodyLen : 0, form);
    if (!problem.empty()) return ErrorPage(context, kStatusBadRequest, "Not saved", "Not saved: " + problem + ".");
    // Another site's page may have sent it, with this user's credentials.
    problem = RefererProblem(Variable(cmd, "HTTP_REFERER"), Variable(cmd, "SERVER_NAME"));
    if (problem.empty() && !m_secret.Matches(context.owner, form.token))
        problem = form.hasToken ? "the form's token is not that of this user's forms"
                                : "the form carries no token of this site's forms";
    if (!problem.empty())
        return ErrorPage(context, kStatusForbidden, "Not saved",
                         "Not saved: " + problem +
                             ". A page of another site may send forms here, but it cannot read the token that "
                             "this site's forms carry; open the form here (Write, or the message) and save again.");

    MessageChange change;
    change.owner = context.owner;
    change.ident = cmd.m_identValid ? IdentText(cmd.m_ident) : NewIdent();
    change.folder = context.folder;
    change.sender = SenderOf(cmd, context.owner);
    change.hasRecipient = form.hasTo;
    change.hasSubject = form.hasSubject;
    change.hasBody = form.hasBody;
    change.recipient = form.to;
    change.subject = form.subject;
    change.body = form.body;

    // What is saved must open again: its Compose page has to fit the pipe.
    Message shown;
    Lookup found = cmd.m_identValid ? Store().Find(context.owner, change.ident, shown) : Lookup::kNone;
    if (found == Lookup::kOthers)
        return ErrorPage(context, kStatusNotFound, "Not saved", "Not saved: " + NotYours(change.ident));
    if (found == Lookup::kNone) {
        shown.ident = change.ident;
        shown.sender = change.sender;
    }
    if (change.hasRecipient) shown.recipient = change.recipient;
    if (change.hasSubject) shown.subject = change.subject;
    if (change.hasBody) shown.body = change.body;
    shown.folder = change.folder;
    size_t pageSize = ComposePage(context, ComposeKind::kEdit, shown, "").size() + kComposeRoom;
    if (pageSize > kMaxAnswerSize)
        return ErrorPage(context, kStatusTooLarge, "Not saved",
                         "Not saved: the message is too long to be shown again (its page would take about " +
                             std::to_string(pageSize) + " bytes, and a page may take " +
                             std::to_string(kMaxAnswerSize) + "). Shorten it by " +
                             std::to_string(pageSize - kMaxAnswerSize) +
                             " bytes or more (text with many of & < > \" ' takes more room on the page).");
    SaveOutcome outcome = SaveOutcome::kOthers;
    Message stored = Store().Save(change, &outcome);
    if (outcome == SaveOutcome::kOthers)
        return ErrorPage(context, kStatusNotFound, "Not saved", "Not saved: " + NotYours(change.ident));
    return SavedPage(context, stored, outcome == SaveOutcome::kCreated);
}

std::string MailService::Run(const ComposeCmd& cmd, PageContext& context) {
    std::string refused = CheckPlace(cmd.m_server, FieldText(cmd.m_path), context);
    if (!refused.empty()) return refused;
    std::string query = Variable(cmd, "QUERY_STRING");
    std::string problem = QueryProblem(query);
    if (problem.empty() && query.find('&') != std::string::npos && !cmd.m_identValid)
        problem = "the ident in the query string could not be read";
    if (!problem.empty()) return ErrorPage(context, kStatusBadRequest, "No such message", problem + ".");
    Message draft;
    if (!cmd.m_identValid) {
        draft.ident = NewIdent();
        return ComposePage(context, ComposeKind::kNew, draft, "");
    }
    std::string ident = IdentText(cmd.m_ident);
    Message stored;
    Lookup found = Store().Find(context.owner, ident, stored);
    if (cmd.m_queryNumber == 1) {
        if (found != Lookup::kFound)
            return ErrorPage(context, kStatusNotFound, "No such message",
                             "There is no message " + ident + " of yours to reply to.");
        return ComposePage(context, ComposeKind::kReply, ReplyDraft(stored), "");
    }
    if (found == Lookup::kFound) return ComposePage(context, ComposeKind::kEdit, stored, "");
    if (found == Lookup::kOthers) return ErrorPage(context, kStatusNotFound, "No such message", NotYours(ident));
    draft.ident = ident;
    return ComposePage(context, ComposeKind::kNew, draft,
                       "No message has the ident " + ident + " yet; Save keeps this one under it.");
}

std::string MailService::Run(const SearchCmd& cmd, PageContext& context) {
    std::string refused = CheckPlace(cmd.m_server, FieldText(cmd.m_path), context);
    if (!refused.empty()) return refused;
    SearchView view;
    view.text = FieldText(cmd.m_searchText);
    view.previous = FieldText(cmd.m_oldSearchRequest);
    view.words = SearchWords(view.text);
    context.searchText = view.text;
    if (cmd.m_searchKind == SearchCmd::KindOptions) {
        // The form starts at the defaults, word variants on.
        view.max = kDefaultMax;
        view.variants = true;
        return OptionsPage(context, view, Store().Latest(context.owner, context.folder, INT64_MAX, kMapRows), "");
    }
    view.max = cmd.m_max == 0 ? kDefaultMax : int(std::min<uint32_t>(cmd.m_max, kLargestMax));
    view.order = cmd.m_orderOfCollection == 2   ? SearchOrder::kNewest
                 : cmd.m_orderOfCollection == 3 ? SearchOrder::kOldest
                                                : SearchOrder::kRelevance;
    view.variants = cmd.m_wordVarient != 0;
    view.page = int(std::min<uint32_t>(std::max<uint32_t>(cmd.m_queryNumber, 1), kLastPage + 1));
    SearchRequest request;
    request.owner = context.owner;
    request.folder = context.folder;
    request.words = view.words;
    request.wordVariants = view.variants;
    request.order = view.order;
    request.limit = view.max;
    request.offset = (view.page - 1) * kResultsPerPage;
    request.count = kResultsPerPage;
    return ResultsPage(context, view, Store().Search(request));
}

std::string MailService::Run(const ImageMapCmd& cmd, PageContext& context) {
    std::string path = FieldText(cmd.m_path);
    size_t slash = path.find('/');
    std::string refused = CheckPlace(cmd.m_server, path.substr(0, slash), context);
    if (!refused.empty()) return refused;
    int64_t upTo = INT64_MAX;
    if (slash != std::string::npos) {
        std::string time = path.substr(slash + 1);
        bool digits = !time.empty() && time.size() <= 18 &&
                      std::all_of(time.begin(), time.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (!digits)
            return ErrorPage(context, kStatusBadRequest, "No such picture",
                             "After the folder, the path of a folder picture holds the time it was drawn for.");
        upTo = std::stoll(time);
    }
    std::string query = Variable(cmd, "QUERY_STRING");
    std::vector<Message> drawn = Store().Latest(context.owner, context.folder, upTo, kMapRows);
    if (query.empty())
        return PlainAnswer(kStatusOk, "Content-Type: image/svg+xml\n", FolderImage(context.folder, drawn));
    if (!IsClickQuery(query))
        return ErrorPage(context, kStatusBadRequest, "No such place",
                         "A click on the folder picture comes as X,Y in the query string.");
    SearchView defaults;
    defaults.max = kDefaultMax;
    defaults.variants = true;
    MapSpot spot = SpotAt(cmd.m_x, cmd.m_y, int(drawn.size()));
    switch (spot.region) {
        case MapRegion::kWrite: {
            Message draft;
            draft.ident = NewIdent();
            return ComposePage(context, ComposeKind::kNew, draft, "");
        }
        case MapRegion::kSearch:
            return OptionsPage(context, defaults, Store().Latest(context.owner, context.folder, INT64_MAX, kMapRows),
                               "");
        case MapRegion::kFolders: return RunMailAgent(Store(), context, "count", "");
        case MapRegion::kExport: return RunMailAgent(Store(), context, "export", context.folder);
        case MapRegion::kMessage: {
            Message message;
            if (Store().Find(context.owner, drawn[size_t(spot.row)].ident, message) == Lookup::kFound)
                return ComposePage(context, ComposeKind::kEdit, message, "");
            break;
        }
        default: break;
    }
    return OptionsPage(context, defaults, Store().Latest(context.owner, context.folder, INT64_MAX, kMapRows),
                       "Nothing lies at " + std::to_string(cmd.m_x) + "," + std::to_string(cmd.m_y) +
                           " of the picture: the buttons are along its top, the messages below them.");
}

std::string MailService::Run(const RunAgentCmd& cmd, PageContext& context) {
    std::string refused = CheckPlace(cmd.m_server, "", context);
    if (!refused.empty()) return refused;
    return RunMailAgent(Store(), context, FieldText(cmd.m_path), FieldText(cmd.m_query));
}
