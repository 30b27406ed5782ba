// The request record: capture from the environment and stdin, form
// decoding, the serialised form and the debug dump.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include "cgi.h"
#include "except.h"
#include "request_util.h"
#include "sstream.h"

namespace {

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

// Lengths that give no body leave stdin unread.
TEST(CgiCapture, LengthsThatMeanNoBody) {
    const char* lengths[] = {"", "0", "-5", "abc", "2147483648", "99999999999999999999"};
    for (const char* length : lengths) {
        SCOPED_TRACE(length);
        SetRequest({{"CONTENT_LENGTH", length}}, "a=1");
        CGI cgi;
        cgi.InitFromEnv();
        EXPECT_EQ(nullptr, cgi.m_stdin);
        EXPECT_EQ(nullptr, cgi.m_contents);
        EXPECT_EQ(0, cgi.m_stdinLen);
        EXPECT_EQ(0, std::ftell(stdin));
    }
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
    EXPECT_NE(std::string::npos, os.str().find("\ncontents = a <BR>\n"));
}

TEST(CgiDump, NoBodyNoBodyLines) {
    SetRequest({});
    CGI cgi;
    cgi.InitFromEnv();
    std::ostringstream os;
    cgi.DumpDebug(os);
    EXPECT_EQ(std::string::npos, os.str().find("stdin = "));
    EXPECT_EQ(std::string::npos, os.str().find("contents = "));
    EXPECT_NE(std::string::npos, os.str().find("\nPATH_INFO = <BR>\n"));
}

TEST(CgiDump, NullValuesShowNothingBetweenTheMarks) {
    CGI* fresh = new CGI();
    std::ostringstream os;
    fresh->DumpDebug(os);
    EXPECT_NE(std::string::npos, os.str().find("\nSERVER_URL = <BR>\n"));
    delete fresh;
}

}  // namespace
