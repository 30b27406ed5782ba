// The sample server's answer: a complete CGI response (header lines, a blank
// line, an HTML page and a terminating NUL) that shows everything a command
// carried and offers forms and links that send each kind of command again.
//
// Every text that came with the request is HTML-escaped wherever it appears
// (html_text.h), and every request-derived part is bounded, so the answer
// always fits the pipe block whatever the request held.
#ifndef VELMOX_SERVER_PAGE_H
#define VELMOX_SERVER_PAGE_H

#include <cstddef>
#include <string>

#include "answer.h"
#include "log.h"

class Cmd;

// Hex digits of a Save body shown on the page (the first 8 KiB of the body).
const size_t kBodyHexLimit = 16384;

// The answer to a command, its terminating NUL counted in its size. Never
// longer than kMaxAnswerSize. Raises only what allocation raises.
std::string BuildAnswer(const Cmd& cmd, const ServedBy& servedBy);

// A short complete answer to a request that could not be read back into a
// command; `reason` is shown escaped.
std::string BuildErrorAnswer(const std::string& reason, const ServedBy& servedBy);

#endif
