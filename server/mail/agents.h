// The RunAgent command's built-in agents, named by the request path:
//   count           an HTML table of the folders and their messages
//   export?FOLDER   the folder's messages as mbox text (mboxrd); a folder
//                   too large for one answer continues at export?FOLDER&N,
//                   named in the answer's X-Velmox-Next header line
// An empty name lists the agents; any other name gets a 404 page that does.
#ifndef VELMOX_SERVER_AGENTS_H
#define VELMOX_SERVER_AGENTS_H

#include <string>

#include "mail_html.h"
#include "store.h"

// The complete answer of an agent. Raises StoreError when the store fails.
std::string RunMailAgent(MailStore& store, const PageContext& context, const std::string& agent,
                         const std::string& query);

// One message as an mbox entry: the From line, header lines (texts other
// than printable ASCII as RFC 2047 encoded words, base64, in utf-8 or
// unknown-8bit; X-Velmox-Body-Length the body's length as stored), a blank
// line, the body with mboxrd quoting of From lines and a line feed added when
// it does not end in one, and a blank line. With the length a reader gets
// the body back byte for byte.
std::string MboxEntry(const Message& message);

#endif
