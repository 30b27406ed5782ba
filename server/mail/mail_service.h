// The sample server's web mail: each of the five commands does its job
// against a MailStore and answers with a page of mail_pages.h.
//
//   Save      POST /Save/Local/FOLDER?N&IDENT, fields to, subject, body
//   Compose   /Compose/Local/FOLDER?N&IDENT (N = 1: a reply to IDENT)
//   Search    /Search/Local/FOLDER, the search form (the page number of the
//             results in the query string)
//   ImageMap  /ImageMap/Local/FOLDER[/TIME]: without a query the folder
//             image, with ?X,Y what lies there
//   RunAgent  /RunAgent/Local/AGENT?QUERY (agents.h)
//
// Every command serves the mail of the user the web server authenticated
// (mail_access.h), or the public mailbox under --public; a request of
// nobody gets a 403 page that says how to set up users, another user's
// ident is "not found" (404), and a Save that another site's page sent
// (no token of the user's form, or a Referer of another site) a 403 page;
// nothing is changed then.
//
// A request it cannot serve exactly gets a page that says why, with an HTTP
// status (400, 403, 404, 405, 413); a store failure gets a 503 page and a log
// line, and the next request tries the store again.
#ifndef VELMOX_SERVER_MAIL_SERVICE_H
#define VELMOX_SERVER_MAIL_SERVICE_H

#include <string>

#include "answer.h"
#include "cmd.h"
#include "log.h"
#include "mail_html.h"
#include "store.h"

class FormSecret;
class ServerLog;
class SaveCmd;
class ComposeCmd;
class SearchCmd;
class ImageMapCmd;
class RunAgentCmd;

class MailService {
public:
    // `secret` signs the forms' tokens; `publicMailbox`: requests without a
    // user share the public mailbox instead of being refused.
    MailService(MailStore& store, const ServedBy& servedBy, const ServerLog& log, const FormSecret& secret,
                bool publicMailbox);
    MailService(const MailService&) = delete;
    MailService& operator=(const MailService&) = delete;

    // The complete answer to a command, its NUL included, never longer than
    // kMaxAnswerSize. Raises only what allocation raises.
    std::string Answer(const Cmd& cmd);

private:
    // Each command's own job, chosen by VisitCmd (cmd_table.h).
    std::string Run(const SaveCmd& cmd, PageContext& context);
    std::string Run(const ComposeCmd& cmd, PageContext& context);
    std::string Run(const SearchCmd& cmd, PageContext& context);
    std::string Run(const ImageMapCmd& cmd, PageContext& context);
    std::string Run(const RunAgentCmd& cmd, PageContext& context);
    std::string StoreFault(const Cmd& cmd, const StoreError& error, const PageContext& context);
    // The store, noting that this request used it.
    MailStore& Store() {
        m_usedStore = true;
        return m_store;
    }

    MailStore& m_store;
    const ServedBy m_servedBy;
    const ServerLog& m_log;
    const FormSecret& m_secret;
    const bool m_public;
    bool m_usedStore = false;
    bool m_failing = false;  // the last request that used the store failed
};

#endif
