// The sample server's answer: a complete CGI response (header lines, a blank
// line, an HTML page and a terminating NUL) that shows everything a command
// carried and offers forms and links that send each kind of command again.
//
// Every text that came with the request is HTML-escaped wherever it appears,
// and every request-derived part is bounded, so the answer always fits the
// pipe block whatever the request held.
#ifndef VELMOX_SERVER_PAGE_H
#define VELMOX_SERVER_PAGE_H

#include <cstddef>
#include <string>

#include "pipe_limits.h"

class Cmd;

// The pipe that made a page: shown on it, so a client can tell pipes apart.
struct ServedBy {
    int slot;
    int pid;
};

// The longest answer the gateway's pipe block carries.
const size_t kMaxAnswerSize = kLargestMessage;
// Hex digits of a Save body shown on the page (the first 8 KiB of the body).
const size_t kBodyHexLimit = 16384;

// The answer to a command, its terminating NUL counted in its size. Never
// longer than kMaxAnswerSize. Raises only what allocation raises.
std::string BuildAnswer(const Cmd& cmd, const ServedBy& servedBy);

// A short complete answer to a request that could not be read back into a
// command; `reason` is shown escaped.
std::string BuildErrorAnswer(const std::string& reason, const ServedBy& servedBy);

// The command's name in the command table ("Unknown" for an identifier
// outside it).
const char* CommandName(const Cmd& cmd);
// A request value of the command's request record by index; "" when there is
// none.
const char* RequestValue(const Cmd& cmd, int index);

// Percent-encodes every byte that may not stand in a URL path as it is; an
// '&' stands as it is unless keepAmpersand is false.
std::string EncodeUrlPath(const std::string& text, bool keepAmpersand = true);

// Text made safe for HTML content and attribute values: & < > " ' become
// entities, control characters other than tab, line feed and carriage return
// the replacement character.
std::string EscapeHtml(const std::string& text);

#endif
