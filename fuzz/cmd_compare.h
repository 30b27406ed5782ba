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
#include "cmd_table.h"
#include "except.h"
#include "fuzz_util.h"
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

// The fields of each class that travel are equal.
inline void CheckSameFields(const SaveCmd& a, const SaveCmd& b) {
    FUZZ_CHECK(SameField(a.m_server, b.m_server) && SameField(a.m_path, b.m_path));
    FUZZ_CHECK(SameField(a.m_reservedText, b.m_reservedText));
    FUZZ_CHECK(a.m_queryNumber == b.m_queryNumber);
    CheckSameIdent(a, b);
    uint32_t length = a.m_body ? a.m_bodyLen : 0;
    FUZZ_CHECK(length == b.m_bodyLen && (length == 0) == (b.m_body == nullptr));
    if (length) FUZZ_CHECK(std::memcmp(a.m_body, b.m_body, length) == 0);
}

inline void CheckSameFields(const ComposeCmd& a, const ComposeCmd& b) {
    FUZZ_CHECK(SameField(a.m_server, b.m_server) && SameField(a.m_path, b.m_path));
    FUZZ_CHECK(SameField(a.m_reservedText, b.m_reservedText));
    FUZZ_CHECK(a.m_queryNumber == b.m_queryNumber);
    CheckSameIdent(a, b);
}

inline void CheckSameFields(const SearchCmd& a, const SearchCmd& b) {
    FUZZ_CHECK(a.m_searchKind == b.m_searchKind);
    FUZZ_CHECK(SameField(a.m_server, b.m_server) && SameField(a.m_path, b.m_path));
    FUZZ_CHECK(a.m_queryNumber == b.m_queryNumber);
    FUZZ_CHECK(a.m_orderOfCollection == b.m_orderOfCollection);
    FUZZ_CHECK(a.m_wordVarient == b.m_wordVarient && a.m_max == b.m_max);
    FUZZ_CHECK(SameField(a.m_searchText, b.m_searchText));
    FUZZ_CHECK(SameField(a.m_oldSearchRequest, b.m_oldSearchRequest));
}

inline void CheckSameFields(const ImageMapCmd& a, const ImageMapCmd& b) {
    FUZZ_CHECK(SameField(a.m_server, b.m_server) && SameField(a.m_path, b.m_path));
    FUZZ_CHECK(a.m_x == b.m_x && a.m_y == b.m_y);
}

inline void CheckSameFields(const RunAgentCmd& a, const RunAgentCmd& b) {
    FUZZ_CHECK(SameField(a.m_server, b.m_server) && SameField(a.m_path, b.m_path));
    FUZZ_CHECK(SameField(a.m_query, b.m_query) && a.m_reserved == b.m_reserved);
}

// Every field that travels is equal; the answer fields do not travel.
inline void CheckSameCommand(const Cmd& a, const Cmd& b) {
    FUZZ_CHECK(typeid(a) == typeid(b));
    FUZZ_CHECK(a.m_cmdID == b.m_cmdID && a.m_param == b.m_param);
    FUZZ_CHECK(SameField(a.m_remoteAddr, b.m_remoteAddr));
    FUZZ_CHECK(SameField(a.m_remoteUser, b.m_remoteUser));
    FUZZ_CHECK(SameField(a.m_userAgent, b.m_userAgent));
    CheckSameRecord(a.m_cgi, b.m_cgi);
    // b has a's class (checked above).
    bool known = VisitCmd(a, [&b](const auto& typed) {
        CheckSameFields(typed, dynamic_cast<decltype(typed)>(b));
    });
    if (!known) FUZZ_FAIL("a command of no known class");
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
