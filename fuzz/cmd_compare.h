// Shared by the harnesses that build commands: a command written as the
// gateway sends it (leading tag, then the command), field-by-field equality
// of two commands, and the round trip through the server's factory.
#ifndef VELMOX_FUZZ_CMD_COMPARE_H
#define VELMOX_FUZZ_CMD_COMPARE_H

#include <cstring>
#include <string>
#include <typeinfo>

#include "cgi.h"
#include "cmd.h"
#include "cmpcmd.h"
#include "except.h"
#include "fuzz_util.h"
#include "mapcmd.h"
#include "runcmd.h"
#include "savcmd.h"
#include "schcmd.h"
#include "sstream.h"

namespace fuzz {

// The message of a command: its tag and its fields. Raises what the stream
// raises when `capacity` is too small.
inline std::string Serialise(Cmd& cmd, size_t capacity) {
    SimpleStream s{static_cast<unsigned int>(capacity)};
    s << uint32_t(cmd.m_cmdID);
    cmd.Write(s);
    return std::string(s.Data(), s.Length());
}

// A text field holds a terminated string within its width.
template <size_t N>
bool SameField(const char (&a)[N], const char (&b)[N]) {
    return std::memchr(a, 0, N) && std::memchr(b, 0, N) && std::strcmp(a, b) == 0;
}

inline const char* ValueOrEmpty(const char* value) { return value ? value : ""; }

inline void CheckSameRecord(const CGI* a, const CGI* b) {
    FUZZ_CHECK(b != nullptr);
    for (int i = 0; i < CGI::c_cgiEnvVarCount; ++i) {
        const char* va = a ? ValueOrEmpty(a->m_cgiEnvVarValue[i]) : "";
        FUZZ_CHECK(std::strcmp(va, ValueOrEmpty(b->m_cgiEnvVarValue[i])) == 0);
    }
}

template <class Doc>
void CheckSameIdent(const Doc& a, const Doc& b) {
    FUZZ_CHECK(a.m_identValid == b.m_identValid);
    if (a.m_identValid) FUZZ_CHECK(std::memcmp(a.m_ident, b.m_ident, sizeof a.m_ident) == 0);
}

// Every field that travels is equal; the answer fields do not travel.
inline void CheckSameCommand(const Cmd& a, const Cmd& b) {
    FUZZ_CHECK(typeid(a) == typeid(b));
    FUZZ_CHECK(a.m_cmdID == b.m_cmdID && a.m_param == b.m_param);
    FUZZ_CHECK(SameField(a.m_remoteAddr, b.m_remoteAddr));
    FUZZ_CHECK(SameField(a.m_remoteUser, b.m_remoteUser));
    FUZZ_CHECK(SameField(a.m_userAgent, b.m_userAgent));
    CheckSameRecord(a.m_cgi, b.m_cgi);
    if (auto* sa = dynamic_cast<const SaveCmd*>(&a)) {
        auto& sb = dynamic_cast<const SaveCmd&>(b);
        FUZZ_CHECK(SameField(sa->m_server, sb.m_server) && SameField(sa->m_path, sb.m_path));
        FUZZ_CHECK(SameField(sa->m_reservedText, sb.m_reservedText));
        FUZZ_CHECK(sa->m_queryNumber == sb.m_queryNumber);
        CheckSameIdent(*sa, sb);
        uint32_t length = sa->m_body ? sa->m_bodyLen : 0;
        FUZZ_CHECK(length == sb.m_bodyLen && (length == 0) == (sb.m_body == nullptr));
        if (length) FUZZ_CHECK(std::memcmp(sa->m_body, sb.m_body, length) == 0);
    } else if (auto* ca = dynamic_cast<const ComposeCmd*>(&a)) {
        auto& cb = dynamic_cast<const ComposeCmd&>(b);
        FUZZ_CHECK(SameField(ca->m_server, cb.m_server) && SameField(ca->m_path, cb.m_path));
        FUZZ_CHECK(SameField(ca->m_reservedText, cb.m_reservedText));
        FUZZ_CHECK(ca->m_queryNumber == cb.m_queryNumber);
        CheckSameIdent(*ca, cb);
    } else if (auto* qa = dynamic_cast<const SearchCmd*>(&a)) {
        auto& qb = dynamic_cast<const SearchCmd&>(b);
        FUZZ_CHECK(qa->m_searchKind == qb.m_searchKind);
        FUZZ_CHECK(SameField(qa->m_server, qb.m_server) && SameField(qa->m_path, qb.m_path));
        FUZZ_CHECK(qa->m_queryNumber == qb.m_queryNumber);
        FUZZ_CHECK(qa->m_orderOfCollection == qb.m_orderOfCollection);
        FUZZ_CHECK(qa->m_wordVarient == qb.m_wordVarient && qa->m_max == qb.m_max);
        FUZZ_CHECK(SameField(qa->m_searchText, qb.m_searchText));
        FUZZ_CHECK(SameField(qa->m_oldSearchRequest, qb.m_oldSearchRequest));
    } else if (auto* ma = dynamic_cast<const ImageMapCmd*>(&a)) {
        auto& mb = dynamic_cast<const ImageMapCmd&>(b);
        FUZZ_CHECK(SameField(ma->m_server, mb.m_server) && SameField(ma->m_path, mb.m_path));
        FUZZ_CHECK(ma->m_x == mb.m_x && ma->m_y == mb.m_y);
    } else if (auto* ra = dynamic_cast<const RunAgentCmd*>(&a)) {
        auto& rb = dynamic_cast<const RunAgentCmd&>(b);
        FUZZ_CHECK(SameField(ra->m_server, rb.m_server) && SameField(ra->m_path, rb.m_path));
        FUZZ_CHECK(SameField(ra->m_query, rb.m_query) && ra->m_reserved == rb.m_reserved);
    } else {
        FUZZ_FAIL("a command of no known class");
    }
}

// Writes cmd, rebuilds it with the server's factory from an exact-size copy
// of the message and checks that every field and the message written again
// are the same. Returns the message. Any exception here is a finding: a
// command the library wrote must read back.
inline std::string CheckRoundTrip(Cmd& cmd, size_t capacity) {
    std::string wire;
    try {
        wire = Serialise(cmd, capacity);
    } catch (const Exception&) {
        FUZZ_FAIL("writing a command into a stream large enough raised");
    }
    ExactBytes copy(reinterpret_cast<const uint8_t*>(wire.data()), wire.size());
    Cmd* back = nullptr;
    try {
        SimpleStream in(copy.data(), unsigned(copy.size()));
        in.SetEof(uint32_t(copy.size()));
        back = Cmd::CreateCmd(in);
        FUZZ_CHECK(in.Remaining() == 0);
    } catch (const Exception&) {
        FUZZ_FAIL("a written command did not read back");
    }
    FUZZ_CHECK(back != nullptr);
    CheckSameCommand(cmd, *back);
    std::string again;
    try {
        again = Serialise(*back, capacity);
    } catch (const Exception&) {
        FUZZ_FAIL("writing a rebuilt command raised");
    }
    FUZZ_CHECK(again == wire);
    delete back;
    return wire;
}

}  // namespace fuzz

#endif
