// Fuzz target: the search form (SearchCmd built from a request path and a
// request record), then the command written and rebuilt by the server's
// factory.
//
// Input: the raw body m_stdin is the text up to the first NUL, the decoded
// list m_contents (with m_contentsLen) everything after it, as it comes:
// the two need not agree, and the list need not end with an empty name or a
// NUL, so the command must keep within m_contentsLen on its own. Without a
// NUL the input is the raw body and the record has no decoded list. Each
// lies in a heap block of exactly its size (the raw body with its NUL).
//
// Properties:
//  - the kind is 2 (Search) or 3 (Options);
//  - with kind 3 the three options are 0; with kind 2 the order of the
//    collection is 0 to 3, the word-variants flag 0 or 1, and the maximum
//    not above the largest int (it comes from at most 11 digits);
//  - the search text and the earlier request are terminated within 256
//    bytes (at most 255 characters);
//  - the path parts are those of the request path;
//  - written and rebuilt by the server's factory, the command has the same
//    fields and writes the same bytes.
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "cgi.h"
#include "cmd_compare.h"
#include "except.h"
#include "fuzz_util.h"
#include "schcmd.h"
#include "url.h"

namespace {

char kPathInfo[] = "/Search/Mail+Hub/db/view";
char kQueryString[] = "1f&x";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::ExactBytes input(data, size);
    std::string text(input.data(), input.size());
    std::string raw;
    std::unique_ptr<fuzz::ExactBytes> contents;
    if (fuzz::TakeLine(text, '\0', &raw)) {
        contents.reset(new fuzz::ExactBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    } else {
        raw = text;
    }
    fuzz::ExactString stdinText(raw);

    CGI cgi;
    cgi.m_cgiEnvVarValue[CGI::PathInfo] = kPathInfo;
    cgi.m_cgiEnvVarValue[CGI::QueryString] = kQueryString;
    cgi.m_stdin = stdinText.get();
    cgi.m_stdinLen = int(raw.size()) + 1;
    if (contents && contents->size() > 0) {
        cgi.m_contents = contents->data();
        cgi.m_contentsLen = int(contents->size());
    }

    try {
        URL url;
        url.InitWithCGIdata(cgi);
        SearchCmd cmd(url, cgi);
        FUZZ_CHECK(cmd.m_cmdID == Cmd::CmdSearch && cmd.m_param == 1);
        FUZZ_CHECK(cmd.m_searchKind == SearchCmd::KindSearch || cmd.m_searchKind == SearchCmd::KindOptions);
        if (cmd.m_searchKind == SearchCmd::KindOptions)
            FUZZ_CHECK(cmd.m_max == 0 && cmd.m_orderOfCollection == 0 && cmd.m_wordVarient == 0);
        FUZZ_CHECK(cmd.m_orderOfCollection <= 3 && cmd.m_wordVarient <= 1);
        FUZZ_CHECK(cmd.m_max <= uint32_t(INT_MAX));
        FUZZ_CHECK(std::memchr(cmd.m_searchText, 0, sizeof cmd.m_searchText) != nullptr);
        FUZZ_CHECK(std::memchr(cmd.m_oldSearchRequest, 0, sizeof cmd.m_oldSearchRequest) != nullptr);
        FUZZ_CHECK(std::strcmp(cmd.m_server, "Mail Hub") == 0 && std::strcmp(cmd.m_path, "db/view") == 0);
        FUZZ_CHECK(cmd.m_queryNumber == 0x1f);
        fuzz::CheckRoundTrip(cmd, 8192);
    } catch (const Exception&) {
        // An expected outcome; none is raised by the form itself.
    }
    // The record does not own the test's blocks.
    cgi.m_stdin = nullptr;
    cgi.m_contents = nullptr;
    return 0;
}
