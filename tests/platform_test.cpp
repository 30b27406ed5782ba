// Platform utilities and the text helpers.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "platform.h"
#include "textutil.h"
#include "zatch_stub.h"

namespace {

TEST(Itoa, RadixChoosesTheBase) {
    struct Row { int value; int radix; const char* text; } rows[] = {
        {105, 10, "105"}, {8, 8, "10"}, {255, 16, "ff"}, {105, 2, "105"}, {105, 36, "105"},
        {-7, 10, "-7"}, {INT_MIN, 10, "-2147483648"}, {-1, 16, "ffffffff"}, {-1, 8, "37777777777"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::to_string(r.value) + " radix " + std::to_string(r.radix));
        char buf[13];
        EXPECT_EQ(buf, itoa(r.value, buf, r.radix));
        EXPECT_STREQ(r.text, buf);
    }
}

TEST(CaseConversion, InPlace) {
    char upper[] = "aBc-1z";
    EXPECT_STREQ("ABC-1Z", unix_strupr(upper));
    char lower[] = "aBc-1Z";
    EXPECT_STREQ("abc-1z", unix_strlwr(lower));
}

// A list as the platform stores it: header (entry count), little-endian
// length words, texts without terminators; in a buffer of exactly its size.
std::vector<char> MakeList(const std::vector<std::string>& texts) {
    std::vector<char> list;
    list.push_back(char(texts.size() & 0xff));
    list.push_back(char(texts.size() >> 8));
    for (const std::string& t : texts) {
        list.push_back(char(t.size() & 0xff));
        list.push_back(char(t.size() >> 8));
    }
    for (const std::string& t : texts) list.insert(list.end(), t.begin(), t.end());
    return list;
}

TEST(ListGetText, EntriesInRange) {
    std::string longText(300, 'L');
    std::vector<std::string> texts = {"abc", "", longText, "hello"};
    std::vector<char> list = MakeList(texts);
    for (unsigned short i = 0; i < texts.size(); ++i) {
        SCOPED_TRACE(i);
        char* text = nullptr;
        unsigned short length = 99;
        EXPECT_EQ(0, UNIX_ListGetText(list.data(), i, &text, &length, (unsigned short)texts.size()));
        ASSERT_NE(nullptr, text);
        EXPECT_EQ(texts[i], std::string(text, length));
    }
    char* text = nullptr;
    unsigned short length = 0;
    UNIX_ListGetText(list.data(), 3, &text, &length, 4);
    EXPECT_EQ(list.data() + 2 + 8 + 3 + 0 + 300, text);
}

TEST(ListGetText, EntriesOutOfRangeReadNothing) {
    std::vector<char> list = MakeList({"abc", "de"});
    for (unsigned short entry : {2, 3, 1000, 65535}) {
        SCOPED_TRACE(entry);
        char* text = list.data();
        unsigned short length = 7;
        EXPECT_EQ(-1, UNIX_ListGetText(list.data(), entry, &text, &length, 2));
        EXPECT_EQ(nullptr, text);
        EXPECT_EQ(0, length);
    }
    char* text = nullptr;
    unsigned short length = 0;
    EXPECT_EQ(-1, UNIX_ListGetText(nullptr, 0, &text, &length, 1));
    EXPECT_EQ(-1, UNIX_ListGetText(list.data(), 0, nullptr, &length, 2));
    EXPECT_EQ(-1, UNIX_ListGetText(list.data(), 0, &text, nullptr, 2));
}

TEST(ZatchStandIn, WordsAreStoredLittleEndian) {
    EXPECT_EQ(2, ZatchStructLength(ZATCH_TYPE_WORD));
    EXPECT_EQ(2, ZatchStructLength(ZATCH_TYPE_LIST_HEADER));
    EXPECT_EQ(0, ZatchStructLength(7));
    const unsigned char stored[] = {0x34, 0x12, 0xff, 0x00};
    unsigned short words[2] = {};
    ZatchStructToMemory(stored, ZATCH_TYPE_WORD, 2, words);
    EXPECT_EQ(0x1234, words[0]);
    EXPECT_EQ(0x00ff, words[1]);
}

TEST(ParseDecimal, AsAtoiWithoutOverflow) {
    struct Row { const char* text; int value; bool fits; } rows[] = {
        {"0", 0, true}, {"42", 42, true}, {"  -17x", -17, true}, {"+5", 5, true}, {"1x", 1, true},
        {"abc", 0, true}, {"", 0, true}, {"-", 0, true}, {"\t\n 9", 9, true},
        {"2147483647", INT_MAX, true}, {"-2147483648", INT_MIN, true},
        {"2147483648", 0, false}, {"-2147483649", 0, false}, {"99999999999999999999999", 0, false},
        {"0000000000000000000000007", 7, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        bool fits = !r.fits;
        EXPECT_EQ(r.value, ParseDecimal(r.text, &fits));
        EXPECT_EQ(r.fits, fits);
    }
    EXPECT_EQ(0, ParseDecimal(nullptr));
}

TEST(CopyToField, CutsAndTerminates) {
    char field[4];
    std::memset(field, 'z', sizeof field);
    CopyToField(field, "abcdef");
    EXPECT_STREQ("abc", field);
    CopyToField(field, nullptr);
    EXPECT_STREQ("", field);
    CopyToField(field, "ab");
    EXPECT_STREQ("ab", field);
}

}  // namespace
