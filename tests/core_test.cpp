// Exceptions, memory, root objects and the byte stream.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "except.h"
#include "root.h"
#include "rootobj.h"
#include "sstream.h"

namespace {

// The pieces a default-mode stream holds, one string per terminated piece.
std::vector<std::string> Pieces(const SimpleStream& s) {
    std::vector<std::string> out;
    const char* p = s.m_begin;
    while (p < s.m_eof) {
        out.emplace_back(p);
        p += out.back().size() + 1;
    }
    return out;
}

template <class E>
int IdOf() {
    try {
        RAISE(E);
    } catch (const Exception& e) {
        return int(e.m_id);
    }
    return -1;
}

TEST(Exceptions, EveryClassCarriesItsIdentifierAndName) {
    struct Row { int id; int actual; const char* name; } rows[] = {
        {1, IdOf<OutOfMemoryExc>(), "Out Of Memory Exception"},
        {2, IdOf<BadArgumentExc>(), "Bad Argument Exception"},
        {3, IdOf<UnknownCmdExc>(), "Unknown Command Exception"},
        {4, IdOf<InvalidURLExc>(), "Invalid URL Exception"},
        {5, IdOf<IPCexc>(), "IPC Exception"},
        {6, IdOf<IllegalArgsExc>(), "Illegal Arguments Exception"},
        {7, IdOf<BufferOverflowExc>(), "Buffer Overflow Exception"},
        {8, IdOf<OutOfRangeExc>(), "Out Of Range Exception"},
        {9, IdOf<CmdNotHandledExc>(), "Command Not Handled Exception"},
        {10, IdOf<CorruptDataExc>(), "Corrupt Data Exception"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.id, r.actual);
        EXPECT_STREQ(r.name, Exception::c_excName[r.id]);
    }
    EXPECT_STREQ("Unknown Exception", Exception::c_excName[0]);
    EXPECT_STREQ("Item Not Found Exception", Exception::c_excName[11]);
    EXPECT_STREQ("Orvan Zatch Exception", Exception::c_excName[12]);
}

TEST(Exceptions, RaiseSiteGivesBareFileNameAndLine) {
    try {
        RAISE(OutOfRangeExc); int line = __LINE__;
        (void)line;
    } catch (const OutOfRangeExc& e) {
        EXPECT_STREQ("core_test.cpp", e.m_file);
        EXPECT_GT(e.m_line, 0);
    }
}

TEST(Exceptions, FileNameKeepsWhatFollowsTheLastBackslash) {
    struct Row { const char* given; const char* kept; } rows[] = {
        {"c:\\src\\common\\sstream.cpp", "sstream.cpp"},
        {"sstream.cpp", "sstream.cpp"},
        {"dir\\", ""},
        {nullptr, nullptr},
    };
    for (const Row& r : rows) {
        Exception e(Exception::ExcIPC, r.given, 1);
        if (r.kept) EXPECT_STREQ(r.kept, e.m_file) << r.given;
        else EXPECT_EQ(nullptr, e.m_file);
    }
}

TEST(Exceptions, ReportWritesNameFileAndDecimalLine) {
    SimpleStream s(256);
    OutOfRangeExc("sstream.cpp", 167).Report(s);
    std::vector<std::string> expected = {"Out Of Range Exception", " - ", "sstream.cpp", ": ", "167", "\n"};
    EXPECT_EQ(expected, Pieces(s));

    SimpleStream bare(256);
    bare.m_noTerminator = 1;
    OutOfRangeExc("sstream.cpp", 167).Report(bare);
    EXPECT_EQ("Out Of Range Exception - sstream.cpp: 167\n", std::string(bare.m_begin, bare.m_eof));

    SimpleStream nameOnly(256);
    Exception(Exception::ExcIPC, nullptr, 5).Report(nameOnly);
    EXPECT_EQ((std::vector<std::string>{"IPC Exception", "\n"}), Pieces(nameOnly));
}

TEST(Exceptions, HandlersCatchByClass) {
    bool ipcCaught = false, generalCaught = false;
    try { RAISE(IPCexc); } catch (const IPCexc&) { ipcCaught = true; } catch (const Exception&) {}
    try {
        try { RAISE(UnknownCmdExc); } catch (const IPCexc&) { FAIL() << "IPCexc caught another class"; }
    } catch (const Exception& e) { generalCaught = e.m_id == Exception::ExcUnknownCmd; }
    EXPECT_TRUE(ipcCaught);
    EXPECT_TRUE(generalCaught);
}

TEST(Memory, ZeroBytesAndRefusedRequestsRaiseAndNeverGiveNull) {
    EXPECT_THROW(RootAlloc(0), BadArgumentExc);
    EXPECT_THROW(RootNewChars(0), BadArgumentExc);
    // More than any machine has: malloc refuses it.
    EXPECT_THROW(RootAlloc(SIZE_MAX / 2), OutOfMemoryExc);
    void* p = RootAlloc(1);
    EXPECT_NE(nullptr, p);
    RootFree(p);
    RootFree(nullptr);
}

struct Probe : RootObject {
    Probe() : touched(7) {}
    int touched;
    int untouched;
    char text[32];
    void* pointer;
};

TEST(Memory, RootObjectsStartZeroed) {
    // Dirty the heap first so that a fresh block is unlikely to be zero already.
    for (int i = 0; i < 64; ++i) {
        char* junk = RootNewChars(sizeof(Probe));
        std::memset(junk, 0xAB, sizeof(Probe));
        RootFree(junk);
    }
    Probe* p = new Probe;
    EXPECT_EQ(7, p->touched);
    EXPECT_EQ(0, p->untouched);
    EXPECT_STREQ("", p->text);
    EXPECT_EQ(nullptr, p->pointer);
    RootObject* base = p;
    delete base;
}

TEST(Memory, RootWriteAndReadContributeNothing) {
    SimpleStream s(16);
    RootObject* plain = new Probe;
    EXPECT_EQ(&s, &plain->Write(s));
    EXPECT_EQ(&s, &plain->Read(s));
    EXPECT_EQ(&s, &s.Write(s));
    EXPECT_EQ(0u, s.Length());
    delete plain;
}

TEST(Stream, ConstructionChecksItsArguments) {
    char buffer[8];
    EXPECT_THROW(SimpleStream(nullptr, 8), IllegalArgsExc);
    EXPECT_THROW(SimpleStream(buffer, 0), IllegalArgsExc);
    EXPECT_THROW(SimpleStream(0u), IllegalArgsExc);
    std::memcpy(buffer, "intact!", 8);
    {
        SimpleStream s(buffer, 8);
        EXPECT_EQ(8u, s.Capacity());
        EXPECT_EQ(nullptr, s.m_ownedBuffer);
    }
    EXPECT_STREQ("intact!", buffer);
    SimpleStream* heap = new SimpleStream(32);
    EXPECT_EQ(heap->m_begin, heap->m_ownedBuffer);
    EXPECT_EQ(0, heap->m_noTerminator);
    delete heap;
}

TEST(Stream, UnsignedLongIsFourHostOrderBytes) {
    SimpleStream s(4);
    s << uint32_t(1);
    const unsigned char little[4] = {1, 0, 0, 0}, big[4] = {0, 0, 0, 1};
    const uint32_t probe = 1;
    bool isLittle = *reinterpret_cast<const unsigned char*>(&probe) == 1;
    EXPECT_EQ(0, std::memcmp(s.m_begin, isLittle ? little : big, 4));
    EXPECT_EQ(s.m_end, s.m_pos);
    EXPECT_THROW(s << uint32_t(2), BufferOverflowExc);
    EXPECT_THROW(s << "", BufferOverflowExc);
    EXPECT_THROW(s << 'x', BufferOverflowExc);
    s.Rewind();
    uint32_t v = 0;
    s >> v;
    EXPECT_EQ(1u, v);
}

std::string HexNumber(unsigned long value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lx", value);
    return text;
}

// The documented unsigned long operators carry the same 4-byte item; a value
// beyond 32 bits is refused, never cut.
TEST(Stream, UnsignedLongFormIsTheSameItemOrOutOfRange) {
    struct Row { unsigned long value; bool fits; } rows[] = {
        {0, true}, {1, true}, {0x7FFFFFFFul, true}, {0xFFFFFFFEul, true}, {0xFFFFFFFFul, true},
#if ULONG_MAX > 0xFFFFFFFFul
        {0x100000000ul, false}, {0x100000001ul, false}, {0x1FFFFFFFFul, false},
        {0x8000000000000000ul, false}, {ULONG_MAX, false},
#endif
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(HexNumber(r.value));
        SimpleStream s(8);
        s << 'x';  // the item need not be aligned
        if (!r.fits) {
            EXPECT_THROW(s << r.value, OutOfRangeExc);
            EXPECT_EQ(s.m_begin + 1, s.m_pos) << "nothing moves";
            EXPECT_EQ(1u, s.Length());
            continue;
        }
        s << r.value;
        SimpleStream narrow(8);
        narrow << 'x' << uint32_t(r.value);
        ASSERT_EQ(5u, s.Length());
        EXPECT_EQ(std::string(narrow.Data(), 5), std::string(s.Data(), 5));
        s.Rewind();
        char c = 0;
        unsigned long wide = ULONG_MAX;  // every bit of it is set by the read
        s >> c >> wide;
        EXPECT_EQ(r.value, wide);
        s.Rewind();
        uint32_t item = 0;
        s >> c >> item;
        EXPECT_EQ(r.value, item);
    }
}

TEST(Stream, UnsignedLongFormKeepsTheLimitsOfTheItem) {
    SimpleStream s(4);
    s << 7ul;
    EXPECT_EQ(s.m_end, s.m_pos);
    EXPECT_THROW(s << 8ul, BufferOverflowExc);
#if ULONG_MAX > 0xFFFFFFFFul
    EXPECT_THROW(s << 0x100000000ul, OutOfRangeExc) << "the range is checked before the room";
#endif
    s.SetEof(3);
    s.Rewind();
    unsigned long wide = 99;
    EXPECT_THROW(s >> wide, BufferOverflowExc);
    EXPECT_EQ(99ul, wide) << "a missing item leaves the variable alone";
}

// Existing calls keep their overloads: a uint32_t, a char and a string.
TEST(Stream, NarrowItemsKeepTheirOverloads) {
    SimpleStream s(16);
    s << uint32_t(5) << 'c' << "ab" << 6u;
    EXPECT_EQ(4u + 1 + 3 + 4, s.Length());
}

TEST(Stream, EndOfDataBeyond32BitsIsOutOfRangeNotCut) {
    SimpleStream s(16);
    s.SetEof(8);
    struct Row { unsigned long length; bool taken; } rows[] = {
        {0, true}, {16, true}, {17, false}, {0xFFFFFFFFul, false},
#if ULONG_MAX > 0xFFFFFFFFul
        {0x100000004ul, false}, {0x100000000ul, false}, {ULONG_MAX, false},
#endif
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(HexNumber(r.length));
        s.SetEof(8);
        if (r.taken) {
            s.SetEof(r.length);
            EXPECT_EQ(r.length, s.Length());
        } else {
            EXPECT_THROW(s.SetEof(r.length), OutOfRangeExc);
            EXPECT_EQ(8u, s.Length());
        }
    }
}

TEST(Stream, StringsFitWithTheirTerminatorOrKeepWhatFitted) {
    struct Row { unsigned room; const char* text; bool fits; size_t stored; } rows[] = {
        {6, "hello", true, 6},
        {5, "hello", false, 4},
        {1, "", true, 1},
        {1, "a", false, 0},
        {2, "a", true, 2},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string("room ") + std::to_string(r.room) + " text '" + r.text + "'");
        SimpleStream s(r.room);
        if (r.fits) {
            s << r.text;
            EXPECT_EQ(r.stored, s.Length());
        } else {
            EXPECT_THROW(s << r.text, BufferOverflowExc);
            EXPECT_EQ(r.stored, size_t(s.m_pos - s.m_begin));
            EXPECT_EQ(0u, s.Length()) << "the end of data stays before a partial string";
        }
    }
    SimpleStream s(8);
    EXPECT_THROW(s << static_cast<const char*>(nullptr), IllegalArgsExc);
}

TEST(Stream, ExtractionStopsAtTheEndOfData) {
    SimpleStream s(64);
    s << "" << "abc";
    s << 'z';
    s.Rewind();
    char text[16] = "junk";
    s >> text;
    EXPECT_STREQ("", text);
    s >> text;
    EXPECT_STREQ("abc", text);
    char c = 0;
    s >> c;
    EXPECT_EQ('z', c);
    EXPECT_THROW(s >> c, BufferOverflowExc);

    // Three bytes of data left: no unsigned long, although the buffer goes on.
    SimpleStream t(64);
    t << 'a' << 'b' << 'c';
    t.Rewind();
    uint32_t v;
    EXPECT_THROW(t >> v, BufferOverflowExc);

    // A string without a zero byte ends at the end of data.
    SimpleStream u(64);
    u.Write("xyz", 3);
    u.Rewind();
    u >> text;
    EXPECT_STREQ("xyz", text);
    EXPECT_EQ(u.m_eof, u.m_pos);
    EXPECT_THROW(u >> static_cast<char*>(nullptr), IllegalArgsExc);
}

TEST(Stream, BoundedStringExtractionRefusesLongStrings) {
    SimpleStream s(64);
    s << "abcd" << "abcde";
    s.Rewind();
    char field[5];
    s.ReadString(field);
    EXPECT_STREQ("abcd", field);
    char* before = s.m_pos;
    EXPECT_THROW(s.ReadString(field), CorruptDataExc);
    EXPECT_EQ(before, s.m_pos) << "a refused string moves nothing";
    EXPECT_THROW(s.ReadString(field, 0), IllegalArgsExc);
}

TEST(Stream, NoTerminatorModeWritesAndReadsBareBytes) {
    SimpleStream s(3);
    s.m_noTerminator = 1;
    s << "abc";
    EXPECT_EQ(3u, s.Length());
    s.Rewind();
    char text[8];
    std::memset(text, 'X', sizeof text);
    s >> text;
    EXPECT_EQ(0, std::memcmp(text, "abcX", 4)) << "no terminator is stored";
}

TEST(Stream, RawBlocksAndEndOfData) {
    SimpleStream s(10);
    s.Write("12345", 5);
    EXPECT_THROW(s.Write("123456", 6), OutOfRangeExc);
    EXPECT_EQ(5u, s.Length());
    EXPECT_THROW(s.Write("x", -1), IllegalArgsExc);
    s.Rewind();
    char block[10];
    s.Read(block, 8);  // past the end of data but inside the buffer
    EXPECT_EQ(0, std::memcmp(block, "12345", 5));
    s.Rewind();
    EXPECT_THROW(s.Read(block, 11), OutOfRangeExc);
    EXPECT_THROW(s.Read(block, -1), IllegalArgsExc);

    s.m_pos = s.m_begin + 5;
    s.SetEof(0);
    EXPECT_EQ(s.m_begin, s.m_pos);
    EXPECT_EQ(0u, s.Length());
    s.SetEof(10);
    EXPECT_EQ(s.m_begin, s.m_pos) << "SetEof never moves the position forward";
    EXPECT_THROW(s.SetEof(11), OutOfRangeExc);
    EXPECT_EQ(10u, s.Length());
}

TEST(Stream, ItemsRoundTripInOrder) {
    SimpleStream s(128);
    s << uint32_t(0xFFFFFFFFu) << "" << "text" << 'c' << uint32_t(42);
    s.Write("\0\1\2", 3);
    SimpleStream copy(128);
    copy.Write(s.Data(), int(s.Length()));
    copy.Rewind();
    uint32_t a, b;
    char text1[8], text2[8], c, raw[3];
    copy >> a >> text1 >> text2 >> c >> b;
    copy.Read(raw, 3);
    EXPECT_EQ(0xFFFFFFFFu, a);
    EXPECT_STREQ("", text1);
    EXPECT_STREQ("text", text2);
    EXPECT_EQ('c', c);
    EXPECT_EQ(42u, b);
    EXPECT_EQ(0, std::memcmp(raw, "\0\1\2", 3));
    EXPECT_EQ(0u, copy.Remaining());
}

}  // namespace
