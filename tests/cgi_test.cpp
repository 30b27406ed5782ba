// The request record: capture from the environment and stdin, form
// decoding, the serialised form and the debug dump.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "cgi.h"
#include "except.h"
#include "request_util.h"
#include "sstream.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using namespace std::string_literals;

TEST(CgiCapture, UnsetVariablesReadAsEmptyAndNoBodyIsRead) {
    SetRequest({{"PATH_INFO", "/Save/x"}, {"SERVER_PORT", "80"}});
    CGI cgi;
    EXPECT_EQ(1, cgi.InitFromEnv());
    for (int i = 0; i < CGI::c_cgiEnvVarCount; ++i) {
        SCOPED_TRACE(CGI::c_cgiEnvVarName[i]);
        ASSERT_NE(nullptr, cgi.m_cgiEnvVarValue[i]);
    }
    EXPECT_STREQ("/Save/x", cgi.m_cgiEnvVarValue[6]);
    EXPECT_STREQ("80", cgi.m_cgiEnvVarValue[4]);
    EXPECT_STREQ("", cgi.m_cgiEnvVarValue[9]);
    EXPECT_EQ(nullptr, cgi.m_stdin);
    EXPECT_EQ(nullptr, cgi.m_contents);
    EXPECT_EQ(0, cgi.m_stdinLen);
    EXPECT_EQ(0, cgi.m_contentsLen);
}

TEST(CgiCapture, VariableNamesInTheirFixedOrder) {
    const char* names[] = {"SERVER_SOFTWARE", "SERVER_NAME", "GATEWAY_INTERFACE", "SERVER_PROTOCOL",
                           "SERVER_PORT", "REQUEST_METHOD", "PATH_INFO", "PATH_TRANSLATED",
                           "SCRIPT_NAME", "QUERY_STRING", "REMOTE_HOST", "REMOTE_ADDR",
                           "AUTH_TYPE", "REMOTE_USER", "REMOTE_IDENT", "CONTENT_TYPE",
                           "CONTENT_LENGTH", "HTTP_ACCEPT", "HTTP_USER_AGENT", "HTTPS",
                           "HTTP_REFERER", "SERVER_URL"};
    for (int i = 0; i < CGI::c_cgiEnvVarCount; ++i) EXPECT_STREQ(names[i], CGI::c_cgiEnvVarName[i]) << i;
}

// Lengths that give no body leave stdin unread; so do lengths longer than
// any request, which are refused (OutOfRangeExc, the values set).
TEST(CgiCapture, LengthsThatMeanNoBodyOrOneTooLong) {
    struct Row { const char* length; bool tooLong; } rows[] = {
        {"", false}, {"0", false}, {"-5", false}, {"abc", false}, {"-99999999999999999999", false},
        {"127949", true}, {" +200000", true}, {"2147483648", true}, {"99999999999999999999", true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.length);
        SetRequest({{"CONTENT_LENGTH", r.length}, {"PATH_INFO", "/Save/x"}}, "a=1");
        CGI cgi;
        if (r.tooLong) {
            EXPECT_THROW(cgi.InitFromEnv(), OutOfRangeExc);
            EXPECT_STREQ("/Save/x", cgi.Value(CGI::PathInfo));
        } else {
            cgi.InitFromEnv();
        }
        EXPECT_EQ(nullptr, cgi.m_stdin);
        EXPECT_EQ(nullptr, cgi.m_contents);
        EXPECT_EQ(0, cgi.m_stdinLen);
        EXPECT_EQ(0, std::ftell(stdin));
        EXPECT_EQ(r.tooLong ? -1 : 0, CGI::AnnouncedBody(r.length));
    }
    EXPECT_EQ(127948, CGI::AnnouncedBody("127948"));
}

TEST(CgiCapture, LengthIsReadAsAtoiWould) {
    struct Row { const char* length; const char* body; const char* read; } rows[] = {
        {"3abc", "a=12345", "a=1"},
        {" 4", "a=12345", "a=12"},
        {"+2", "a=12345", "a="},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.length);
        SetRequest({{"CONTENT_LENGTH", r.length}}, r.body);
        CGI cgi;
        cgi.InitFromEnv();
        ASSERT_NE(nullptr, cgi.m_stdin);
        EXPECT_STREQ(r.read, cgi.m_stdin);
    }
}

TEST(CgiCapture, ShortReadIsTheBodyThatArrived) {
    SetRequest({{"CONTENT_LENGTH", "10"}}, "a=12");
    CGI cgi;
    cgi.InitFromEnv();
    EXPECT_STREQ("a=12", cgi.m_stdin);
    EXPECT_EQ(5, cgi.m_stdinLen);

    SetRequest({{"CONTENT_LENGTH", "5"}}, "");
    CGI empty;
    empty.InitFromEnv();
    ASSERT_NE(nullptr, empty.m_stdin);
    EXPECT_STREQ("", empty.m_stdin);
    EXPECT_EQ(1, empty.m_stdinLen);
    EXPECT_EQ("\0\0"s, Contents(empty));
    EXPECT_EQ(2, empty.m_contentsLen);
}

TEST(CgiCapture, GetRequestWithLengthStillHasItsBodyRead) {
    SetRequest({{"REQUEST_METHOD", "GET"}}, "q=1");
    CGI cgi;
    cgi.InitFromEnv();
    EXPECT_STREQ("q=1", cgi.m_stdin);
}

TEST(CgiDecoding, FormBodies) {
    struct Row { std::string body; std::string contents; } rows[] = {
        {"a=1&b=2+3", "a\0" "1\0" "b\0" "2 3\0" "\0"s},
        {"x=%0D%0A", "x\0\n\0\0"s},
        {"x=%0d%0a", "x\0\n\0\0"s},
        {"x=%3D%26", "x\0=&\0\0"s},
        {"x=%2b%2C%7e", "x\0+,~\0\0"s},
        {"x=%00y", "x\0\0y\0\0"s},
        {"%41=%42", "A\0B\0\0"s},
        {"a\rb", "a\rb\0\0"s},
        {"x=%zz", "x\0%zz\0\0"s},
        {"x=%4g", "x\0%4g\0\0"s},
        {"x=%+A", "x\0% A\0\0"s},
        {"x=%4", "x\0%4\0\0"s},
        {"x=%", "x\0%\0\0"s},
        {"%", "%\0\0"s},
        {"a=&b=", "a\0\0b\0\0\0"s},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.body);
        SetRequest({}, r.body);
        CGI cgi;
        cgi.InitFromEnv();
        EXPECT_EQ(int(r.body.size()) + 1, cgi.m_stdinLen);
        EXPECT_EQ(r.contents, Contents(cgi));
    }
}

TEST(CgiDecoding, ExampleLengths) {
    SetRequest({}, "a=1&b=2+3");
    CGI cgi;
    cgi.InitFromEnv();
    EXPECT_EQ(10, cgi.m_stdinLen);
    EXPECT_EQ(11, cgi.m_contentsLen);

    SetRequest({}, "x=%0D%0A");
    CGI crlf;
    crlf.InitFromEnv();
    EXPECT_EQ(5, crlf.m_contentsLen);
}

TEST(CgiDecoding, CapturingTwiceReleasesTheFirstBody) {
    SetRequest({}, "a=1");
    CGI cgi;
    cgi.InitFromEnv();
    SetRequest({}, "bb=22");
    cgi.InitFromEnv();
    EXPECT_STREQ("bb=22", cgi.m_stdin);
}

// A request handed over as parameters and a body source (the FastCGI
// mode): the process environment and stdin are never looked at.
struct BodySource {
    std::string bytes;
    size_t at = 0;
    size_t calls = 0;
};

size_t ReadFromSource(void* source, char* buffer, size_t length) {
    BodySource& s = *static_cast<BodySource*>(source);
    ++s.calls;
    size_t n = std::min(length, s.bytes.size() - s.at);
    std::memcpy(buffer, s.bytes.data() + s.at, n);
    s.at += n;
    return n;
}

struct ParamList {
    std::vector<std::string> entries;
    std::vector<char*> Pointers() {
        std::vector<char*> list;
        for (std::string& e : entries) list.push_back(&e[0]);
        list.push_back(nullptr);
        return list;
    }
};

TEST(CgiParams, ValuesComeFromTheParamsNeverFromTheEnvironment) {
    SetRequest({{"PATH_INFO", "/from/env"}, {"REMOTE_USER", "env-user"}}, "env=body");
    ParamList params{{"FCGI_ROLE=RESPONDER", "PATH_INFO=/Save/Local/x", "QUERY_STRING=1f", "PATH_INFO=/second",
                      "REMOTE_USERX=no", "EMPTY=", "HTTP_ACCEPT=a=b", "SERVER_PORT"}};
    std::vector<char*> list = params.Pointers();
    BodySource body;
    CGI cgi;
    EXPECT_EQ(1, cgi.InitFromParams(list.data(), ReadFromSource, &body));
    EXPECT_STREQ("/Save/Local/x", cgi.Value(CGI::PathInfo)) << "the first entry of a name counts";
    EXPECT_STREQ("1f", cgi.Value(CGI::QueryString));
    EXPECT_STREQ("a=b", cgi.Value(17));
    EXPECT_STREQ("", cgi.Value(CGI::RemoteUser)) << "a longer name is another name";
    EXPECT_STREQ("", cgi.Value(4)) << "an entry without '=' sets nothing";
    for (int i = 0; i < CGI::c_cgiEnvVarCount; ++i) ASSERT_NE(nullptr, cgi.Value(i)) << CGI::c_cgiEnvVarName[i];
    EXPECT_EQ(nullptr, cgi.m_stdin) << "no CONTENT_LENGTH among the params: no body";
    EXPECT_EQ(0u, body.calls);
    EXPECT_EQ(0, std::ftell(stdin)) << "stdin untouched";
    // A list with nothing in it, and none at all.
    char* none[] = {nullptr};
    EXPECT_EQ(1, cgi.InitFromParams(none, ReadFromSource, &body));
    EXPECT_STREQ("", cgi.Value(CGI::PathInfo));
    EXPECT_EQ(1, cgi.InitFromParams(nullptr, ReadFromSource, &body));
    EXPECT_STREQ("", cgi.Value(CGI::QueryString));
}

TEST(CgiParams, BodyByContentLengthFromTheSource) {
    struct Row {
        const char* what;
        const char* length;
        std::string bytes;
        std::string stdinText;  // what the record keeps as read
        std::string decoded;
    } rows[] = {
        {"exact", "9", "a=1&b=2+3", "a=1&b=2+3", "a\0" "1\0" "b\0" "2 3\0\0"s},
        {"longer than the length: the rest stays unread", "3", "a=1&b=2", "a=1", "a\0" "1\0\0"s},
        {"shorter: the body that arrived", "10", "x=%0D%0A", "x=%0D%0A", "x\0\n\0\0"s},
        {"nothing arrived", "5", "", "", "\0\0"s},
        {"no length", "", "a=1", "", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        ParamList params{{std::string("CONTENT_LENGTH=") + r.length, "REQUEST_METHOD=GET"}};
        std::vector<char*> list = params.Pointers();
        BodySource body{r.bytes};
        CGI cgi;
        cgi.InitFromParams(list.data(), ReadFromSource, &body);
        if (!*r.length) {
            EXPECT_EQ(nullptr, cgi.m_stdin);
            continue;
        }
        ASSERT_NE(nullptr, cgi.m_stdin);
        EXPECT_EQ(r.stdinText, std::string(cgi.m_stdin));
        EXPECT_EQ(int(r.stdinText.size()) + 1, cgi.m_stdinLen);
        EXPECT_EQ(r.decoded, Contents(cgi));
        EXPECT_LE(body.at, size_t(std::atoi(r.length))) << "never more than CONTENT_LENGTH is read";
    }
}

// One record filled for request after request, as a long-lived gateway
// could: nothing of an earlier request stays.
TEST(CgiParams, NothingCarriesOverToTheNextRequest) {
    ParamList first{{"REMOTE_USER=alice", "CONTENT_LENGTH=23", "PATH_INFO=/Save/Local/a"}};
    ParamList second{{"CONTENT_LENGTH=3", "PATH_INFO=/Save/Local/b"}};
    ParamList third{{"PATH_INFO=/Search/Local/c"}};
    std::vector<char*> l1 = first.Pointers(), l2 = second.Pointers(), l3 = third.Pointers();
    BodySource b1{"Body=a+long+first+body"}, b2{"x=1"}, b3{"unread"};
    CGI cgi;
    cgi.InitFromParams(l1.data(), ReadFromSource, &b1);
    EXPECT_STREQ("alice", cgi.Value(CGI::RemoteUser));
    EXPECT_EQ("Body=a+long+first+body", std::string(cgi.m_stdin));
    cgi.InitFromParams(l2.data(), ReadFromSource, &b2);
    EXPECT_STREQ("", cgi.Value(CGI::RemoteUser));
    EXPECT_STREQ("x=1", cgi.m_stdin);
    EXPECT_EQ(4, cgi.m_stdinLen);
    EXPECT_EQ("x\0" "1\0\0"s, Contents(cgi));
    cgi.InitFromParams(l3.data(), ReadFromSource, &b3);
    EXPECT_EQ(nullptr, cgi.m_stdin);
    EXPECT_EQ(nullptr, cgi.m_contents);
    EXPECT_EQ(0, cgi.m_contentsLen);
    EXPECT_EQ(0u, b3.calls);
}

TEST(CgiSerialForm, NothingSetWritesTwentyTwoEmptyValues) {
    SetRequest({});
    CGI cgi;
    cgi.InitFromEnv();
    SimpleStream s(1024);
    cgi.Write(s);
    EXPECT_EQ(Bytes().u32(22).raw(std::string(22, '\0')).get(), std::string(s.Data(), s.Length()));
}

TEST(CgiSerialForm, NullValuesWriteOneNulEach) {
    CGI* fresh = new CGI();
    SimpleStream s(1024);
    fresh->Write(s);
    EXPECT_EQ(Bytes().u32(22).raw(std::string(22, '\0')).get(), std::string(s.Data(), s.Length()));
    delete fresh;
}

TEST(CgiSerialForm, WriteThenReadGivesTheSameValues) {
    SetRequest({{"PATH_INFO", "/Save/x"}, {"REMOTE_ADDR", "10.1.2.3"}, {"HTTPS", "on"}}, "a=1");
    CGI source;
    source.InitFromEnv();
    SimpleStream s(4096);
    source.Write(s);
    // 22 terminators and /Save/x, 10.1.2.3, on and the length 3.
    EXPECT_EQ(4u + 22u + 7u + 8u + 2u + 1u, s.Length());
    s.Rewind();
    CGI copy;
    copy.Read(s);
    EXPECT_EQ(s.m_eof, s.m_pos);
    EXPECT_EQ(40u, copy.m_serialLen);
    for (int i = 0; i < CGI::c_cgiEnvVarCount; ++i) {
        SCOPED_TRACE(CGI::c_cgiEnvVarName[i]);
        EXPECT_STREQ(source.m_cgiEnvVarValue[i], copy.m_cgiEnvVarValue[i]);
        EXPECT_GE(copy.m_cgiEnvVarValue[i], copy.m_serialData);
        EXPECT_LT(copy.m_cgiEnvVarValue[i], copy.m_serialData + copy.m_serialLen);
    }
    // The body does not travel.
    EXPECT_EQ(nullptr, copy.m_stdin);
    EXPECT_EQ(nullptr, copy.m_contents);

    // Reading again replaces the block (the sanitizer build sees a leak).
    s.Rewind();
    copy.Read(s);
    EXPECT_STREQ("10.1.2.3", copy.m_cgiEnvVarValue[11]);
}

TEST(CgiSerialForm, DamagedBlocksAreRefusedAndLeaveTheRecordAlone) {
    std::string good = Bytes().u32(22).raw(std::string(22, '\0')).get();
    struct Row { const char* what; std::string bytes; } rows[] = {
        {"length 0", Bytes().u32(0).get()},
        {"length beyond the data", Bytes().u32(23).raw(std::string(22, '\0')).get()},
        {"21 values", Bytes().u32(22).raw(std::string(21, '\0') + "x").get()},
        {"no terminator at all", Bytes().u32(5).raw("abcde").get()},
        {"length missing", std::string("\x01\x00", 2)},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        // The rest of the buffer holds a good block: it must not be taken.
        std::string buffer = r.bytes + good + good;
        SimpleStream s(&buffer[0], unsigned(buffer.size()));
        s.SetEof(uint32_t(r.bytes.size()));
        CGI cgi;
        SimpleStream first(&good[0], unsigned(good.size()));
        first.SetEof(uint32_t(good.size()));
        cgi.Read(first);
        char* before = cgi.m_serialData;
        EXPECT_THROW(cgi.Read(s), Exception);
        EXPECT_EQ(before, cgi.m_serialData);
        EXPECT_EQ(22u, cgi.m_serialLen);
    }
}

TEST(CgiSerialForm, DamageRaisesCorruptData) {
    std::string bytes = Bytes().u32(30).raw(std::string(22, 'x')).raw(std::string(8, '\0')).get();
    SimpleStream s(&bytes[0], unsigned(bytes.size()));
    s.SetEof(uint32_t(bytes.size()));
    CGI cgi;
    EXPECT_THROW(cgi.Read(s), CorruptDataExc);
}

TEST(CgiDump, ValuesBodyAndContents) {
    SetRequest({{"SERVER_PORT", "80"}}, "a=1&b=2+3");
    CGI cgi;
    cgi.InitFromEnv();
    std::ostringstream os;
    EXPECT_EQ(1, cgi.DumpDebug(os));
    std::string expected = "<P>CGI state<BR>\n";
    for (const char* name : CGI::c_cgiEnvVarName) {
        std::string value = std::strcmp(name, "SERVER_PORT") == 0 ? "80"
                            : std::strcmp(name, "CONTENT_LENGTH") == 0 ? "9" : "";
        expected += std::string(name) + " = " + value + "<BR>\n";
    }
    expected += "stdin = a=1&b=2+3<BR>\ncontents = a 1 b 2 3 <BR>\n";
    EXPECT_EQ(expected, os.str());
}

TEST(CgiDump, EmptyValueEndsTheContentsListing) {
    SetRequest({}, "a=&b=2");
    CGI cgi;
    cgi.InitFromEnv();
    std::ostringstream os;
    cgi.DumpDebug(os);
    EXPECT_THAT(os.str(), HasSubstr("\ncontents = a <BR>\n"));
}

TEST(CgiDump, NoBodyNoBodyLines) {
    SetRequest({});
    CGI cgi;
    cgi.InitFromEnv();
    std::ostringstream os;
    cgi.DumpDebug(os);
    EXPECT_THAT(os.str(), Not(HasSubstr("stdin = ")));
    EXPECT_THAT(os.str(), Not(HasSubstr("contents = ")));
    EXPECT_THAT(os.str(), HasSubstr("\nPATH_INFO = <BR>\n"));
}

TEST(CgiDump, NullValuesShowNothingBetweenTheMarks) {
    CGI* fresh = new CGI();
    std::ostringstream os;
    fresh->DumpDebug(os);
    EXPECT_THAT(os.str(), HasSubstr("\nSERVER_URL = <BR>\n"));
    delete fresh;
}

}  // namespace
