#include "schcmd.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "cgi.h"
#include "sstream.h"
#include "textutil.h"
#include "url.h"

const NameValue SearchCmd::c_Searchtable[5] = {
    {"Unknown", KindUnknown},
    {"Quick Search", KindQuickSearch},
    {"Search", KindSearch},
    {"Options", KindOptions},
    {"", 4},
};

namespace {

const int kFieldSize = 256;
// SREQUEST values: no kind is named by more than 12 characters.
const size_t kRequestNameSize = 20;
// MAX values: 11 digits and the terminator.
const size_t kMaxDigitsSize = 12;

// The value that follows key in the raw body, up to the next '&' or the end;
// null when the key is not there.
const char* FindRawValue(const CGI& cgi, const char* key, size_t* length) {
    if (!cgi.m_stdin) return nullptr;
    const char* found = std::strstr(cgi.m_stdin, key);
    if (!found) return nullptr;
    const char* value = found + std::strlen(key);
    *length = std::strcspn(value, "&");
    return value;
}

bool AllDigits(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

// Length of the string at p, which ends at its NUL or at end.
size_t BoundedLength(const char* p, const char* end) { return strnlen(p, size_t(end - p)); }

}  // namespace

// Names and values alternate: a value is never taken for a name. A name
// that ends the list has an empty value.
char* ParseField(char* dst, int size, const char* name, const char* list, int listLen) {
    if (!dst || size < 1 || !name || !list || listLen <= 0) return nullptr;
    const char* end = list + listLen;
    for (const char* p = list; p < end && *p;) {
        size_t nameLength = BoundedLength(p, end);
        const char* value = std::min(p + nameLength + 1, end);
        size_t valueLength = BoundedLength(value, end);
        if (nameLength == std::strlen(name) && std::strncmp(p, name, nameLength) == 0) {
            size_t copied = std::min(valueLength, size_t(size - 1));
            std::memset(dst, 0, size_t(size));
            std::memcpy(dst, value, copied);
            return dst;
        }
        if (value + valueLength >= end) break;
        p = value + valueLength + 1;
    }
    return nullptr;
}

char* ParseField(char* dst, int size, const char* name, const char* list) {
    if (!dst || size < 1 || !name || !list) return nullptr;
    const char* p = list;
    while (*p) {
        p += std::strlen(p) + 1;  // a name
        p += std::strlen(p) + 1;  // its value
    }
    size_t length = size_t(p - list) + 1;  // with the empty name
    return ParseField(dst, size, name, list, int(std::min<size_t>(length, INT_MAX)));
}

SearchCmd::SearchCmd() : Cmd(c_id, 1) {}

SearchCmd::SearchCmd(URL& url, CGI& cgi) : Cmd(c_id, 1, cgi) {
    uint32_t kind = GetSearchCmd(cgi);
    if (kind == KindSearch) {
        // The options of a plain search are always the defaults.
        ParseStdInput(cgi);
        SetOptionsToDefault();
        m_searchKind = KindSearch;
    } else if (kind == KindOptions) {
        ParseTexts(cgi);
        m_searchKind = KindOptions;
    } else {
        ParseGeneralRequest(cgi);
    }
    CopyToField(m_server, url.m_server);
    CopyToField(m_path, url.m_path);
    m_queryNumber = url.m_queryNumber;
}

SearchCmd::~SearchCmd() {}

void SearchCmd::ParseTexts(CGI& cgi) {
    ParseField(m_searchText, kFieldSize, "SEARCH", cgi.m_contents, cgi.m_contentsLen);
    ParseField(m_oldSearchRequest, kFieldSize, "OLDSEARCHREQUEST", cgi.m_contents, cgi.m_contentsLen);
}

// A request of unknown kind is a search when it has a search text, and its
// options stand only when the body gives both MAX and SEARCHOPTION.
void SearchCmd::ParseGeneralRequest(CGI& cgi) {
    ParseField(m_oldSearchRequest, kFieldSize, "OLDSEARCHREQUEST", cgi.m_contents, cgi.m_contentsLen);
    if (!ParseField(m_searchText, kFieldSize, "SEARCH", cgi.m_contents, cgi.m_contentsLen)) {
        m_searchKind = KindOptions;
        return;
    }
    m_searchKind = KindSearch;
    if (!ParseMax(cgi) || !ParseOrderOfCollection(cgi) || !ParseWordVarient(cgi))
        SetOptionsToDefault();
}

uint32_t SearchCmd::GetSearchCmd(CGI& cgi) {
    size_t length = 0;
    const char* value = FindRawValue(cgi, "SREQUEST=", &length);
    if (!value) return FindRawValue(cgi, "SEARCHRESULTSPAGE=", &length) ? KindSearch : KindUnknown;
    // A longer value is cut, and then names no kind.
    char name[kRequestNameSize] = {};
    std::memcpy(name, value, std::min(length, sizeof name - 1));
    for (char* p = name; *p; ++p)
        if (*p == '+') *p = ' ';
    return FindTableValue(c_Searchtable, name);
}

int SearchCmd::ParseStdInput(CGI& cgi) {
    ParseTexts(cgi);
    ParseMax(cgi);
    ParseOrderOfCollection(cgi);
    ParseWordVarient(cgi);
    return 1;
}

int SearchCmd::ParseMax(CGI& cgi) {
    size_t length = 0;
    const char* value = FindRawValue(cgi, "MAX=", &length);
    if (!value) {
        SetMAXtoDefault();
        return 0;
    }
    m_max = 0;
    if (length >= kMaxDigitsSize || !AllDigits(value, length)) return 1;
    char digits[kMaxDigitsSize] = {};
    std::memcpy(digits, value, length);
    m_max = uint32_t(ParseDecimal(digits));
    return 1;
}

// The last character of the value decides; an empty value sets nothing.
int SearchCmd::ParseOrderOfCollection(CGI& cgi) {
    size_t length = 0;
    const char* value = FindRawValue(cgi, "SEARCHOPTION=", &length);
    if (!value) {
        SetOFCtoDefault();
        return 0;
    }
    for (size_t i = 0; i < length; ++i) {
        char c = value[i];
        m_orderOfCollection = c >= '1' && c <= '3' ? uint32_t(c - '0') : 1;
    }
    return 1;
}

int SearchCmd::ParseWordVarient(CGI& cgi) {
    size_t length = 0;
    m_wordVarient = FindRawValue(cgi, "WORDVARIENT=", &length) ? 1 : 0;
    return 1;
}

uint32_t SearchCmd::SetMAXtoDefault() { return m_max = 0; }

uint32_t SearchCmd::SetOFCtoDefault() { return m_orderOfCollection = 1; }

uint32_t SearchCmd::SetWVtoDefault() { return m_wordVarient = 1; }

void SearchCmd::SetOptionsToDefault() {
    SetMAXtoDefault();
    SetOFCtoDefault();
    SetWVtoDefault();
}

SimpleStream& SearchCmd::Write(SimpleStream& s) {
    Cmd::Write(s);
    s << m_searchKind << m_server << m_path << m_queryNumber << m_orderOfCollection
      << m_wordVarient << m_searchText << m_max << m_oldSearchRequest;
    return s;
}

SimpleStream& SearchCmd::Read(SimpleStream& s) {
    Cmd::Read(s);
    s >> m_searchKind;
    ReadReceivedString(s, m_server);
    ReadReceivedString(s, m_path);
    s >> m_queryNumber >> m_orderOfCollection >> m_wordVarient;
    ReadReceivedString(s, m_searchText);
    s >> m_max;
    ReadReceivedString(s, m_oldSearchRequest);
    return s;
}
