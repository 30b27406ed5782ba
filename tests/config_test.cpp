// The first entry of velmox.ini, read as "%[^= ] = %s" reads it, each part
// cut to 63 characters; and the driver's error page for each failure.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "driver.h"
#include "except.h"

namespace {

struct Entry {
    bool matched;
    std::string key, value;
};

Entry ReadEntry(const std::string& text) {
    char path[] = "/tmp/velmox-ini-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ssize_t(text.size()), write(fd, text.data(), text.size()));
    close(fd);
    std::FILE* file = std::fopen(path, "r");
    char key[kConfigFieldSize], value[kConfigFieldSize];
    Entry e{ReadConfigEntry(file, key, value), "", ""};
    std::fclose(file);
    if (e.matched) {
        e.key = key;
        e.value = value;
    }
    unlink(path);
    return e;
}

int LevelOf(const std::string& text) {
    char path[] = "/tmp/velmox-ini-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_EQ(ssize_t(text.size()), write(fd, text.data(), text.size()));
    close(fd);
    int level = ReadDebugLevel(path);
    unlink(path);
    return level;
}

TEST(ConfigEntry, ScanOfTheFirstEntry) {
    struct Row { std::string text; bool matched; const char* key; const char* value; } rows[] = {
        {"debug = 1\n", true, "debug", "1"},
        {"DEBUG=2", true, "DEBUG", "2"},
        {"debug =\n\t 7 more\n", true, "debug", "7"},
        {"debug\t= 1\n", true, "debug\t", "1"},
        {"\ndebug = 1\n", true, "\ndebug", "1"},
        {" debug = 1\n", false, "", ""},
        {"=1", false, "", ""},
        {"debug\n", false, "", ""},
        {"debug", false, "", ""},
        {"debug =", false, "", ""},
        {"debug = \n\n", false, "", ""},
        {"debug 1", false, "", ""},
        {"", false, "", ""},
        {"a=b=c", true, "a", "b=c"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        Entry e = ReadEntry(r.text);
        EXPECT_EQ(r.matched, e.matched);
        if (r.matched) {
            EXPECT_EQ(r.key, e.key);
            EXPECT_EQ(r.value, e.value);
        }
    }
}

TEST(ConfigEntry, LongKeyAndValueAreCutTo63) {
    Entry e = ReadEntry(std::string(70, 'k') + " = " + std::string(80, 'v') + "\n");
    EXPECT_TRUE(e.matched);
    EXPECT_EQ(std::string(63, 'k'), e.key);
    EXPECT_EQ(std::string(63, 'v'), e.value);
}

TEST(ConfigEntry, DebugLevels) {
    struct Row { std::string text; int level; } rows[] = {
        {"debug = 1\n", 1},
        {"DEBUG=2\n", 2},
        {"Debug = -1\n", -1},
        {"debug = abc\n", 0},
        {"debug = 0\n", 0},
        {"debug=0", 0},
        {"debug = 1x\n", 1},
        {"other = 1\ndebug = 1\n", 0},
        {"debug\n", 0},
        {"\ndebug = 1\n", 0},
        {"debug\t= 1\n", 0},
        {" debug = 1\n", 0},
        {"", 0},
        {"debug = 99999999999\n", 0},
        {"debug = " + std::string(70, '0') + "1\n", 0},
        {"debug = 3" + std::string(70, 'x') + "\n", 3},
        {"debugger = 1\n", 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(r.level, LevelOf(r.text));
    }
    EXPECT_EQ(0, ReadDebugLevel("/nonexistent/velmox.ini"));
}

// The status of each failure (the pages' bytes are the end-to-end suites'):
// 503 for the exchange, 400 for what the gateway refuses, 413 for a request
// too long for the pipe, 500 for the rest.
TEST(ErrorPages, EachFailureHasItsStatus) {
    struct Row { Exception exception; const char* status; const char* heading; } rows[] = {
        {IPCexc("x.cpp", 1), "503 Service Unavailable", kCommunicationErrorHeading},
        {UnknownCmdExc("x.cpp", 1), "400 Bad Request", kExceptionHeading},
        {InvalidURLExc("x.cpp", 1), "400 Bad Request", kExceptionHeading},
        {BufferOverflowExc("x.cpp", 1), "413 Content Too Large", kExceptionHeading},
        {OutOfRangeExc("x.cpp", 1), "413 Content Too Large", kExceptionHeading},
        {OutOfMemoryExc("x.cpp", 1), "500 Internal Server Error", kExceptionHeading},
        {CorruptDataExc("x.cpp", 1), "500 Internal Server Error", kExceptionHeading},
        {IllegalArgsExc("x.cpp", 1), "500 Internal Server Error", kExceptionHeading},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(Exception::c_excName[r.exception.m_id]);
        EXPECT_STREQ(r.status, ErrorPageFor(r.exception).status);
        EXPECT_STREQ(r.heading, ErrorPageFor(r.exception).heading);
    }
    EXPECT_STREQ("500 Internal Server Error", kUnknownFailure.status);
    EXPECT_STREQ(kUnknownExceptionHeading, kUnknownFailure.heading);
}

}  // namespace
