#include "search_text.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>

#include "html_text.h"
#include "store.h"

namespace {

// The server's parser leaves out longer words (and does not count them).
const size_t kLongestWord = 2046;
const char kEllipsis[] = "\xE2\x80\xA6";

bool IsAsciiWordByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// Letters beyond ASCII by the Unicode tables of the C library's UTF-8
// locale, whatever locale the process runs in; without one, every character
// beyond ASCII counts, as the database server counts them in a database of
// the C locale.
bool IsLetter(uint32_t code) {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    return utf8 == locale_t(0) || iswalnum_l(wint_t(code), utf8) != 0;
}

uint32_t CodePoint(const unsigned char* text, size_t n) {
    if (n == 1) return text[0];
    uint32_t code = text[0] & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) code = (code << 6) | (text[k] & 0x3F);
    return code;
}

// The length of the part of a word that the server reads as a number in
// scientific notation when more follows it (digits, e, digits); 0 for none.
size_t NumberPrefix(const std::string& text, size_t start, size_t end) {
    size_t i = start;
    while (i < end && IsDigit(text[i])) ++i;
    if (i == start || i + 1 >= end || (text[i] != 'e' && text[i] != 'E') || !IsDigit(text[i + 1])) return 0;
    i += 2;
    while (i < end && IsDigit(text[i])) ++i;
    return i < end ? i - start : 0;
}

// Phrase instances of the words found, merged where they overlap, in order:
// the highlighting walks them as it walks the words.
class FoundSpans {
public:
    explicit FoundSpans(const std::vector<FoundWord>& found) : m_found(found) { Next(); }
    int start() const { return m_start; }
    int end() const { return m_end; }
    void Next() {
        m_start = m_end = -1;
        while (m_at < m_found.size()) {
            int position = m_found[m_at].position;
            if (m_start < 0) {
                m_start = m_end = position;
            } else if (position <= m_end) {
                m_end = std::max(m_end, position);
            } else {
                break;
            }
            ++m_at;
        }
    }

private:
    const std::vector<FoundWord>& m_found;
    size_t m_at = 0;
    int m_start = -1, m_end = -1;
};

// How well the window of kSnippetWords words from `first` shows the words
// found: 1000 for each search word the first time, 1 for each repeat. With
// `adjusted`, also where the window should start to centre what it holds.
int WindowScore(const std::vector<FoundWord>& found, int words, int first, int* adjusted) {
    std::vector<int> seen;
    int score = 0, firstFound = -1, lastFound = 0;
    for (const FoundWord& f : found) {
        if (f.position < first || f.position >= first + kSnippetWords) continue;
        bool again = std::find(seen.begin(), seen.end(), f.term) != seen.end();
        score += again ? 1 : 1000;
        if (!again) seen.push_back(f.term);
        if (firstFound < 0) firstFound = f.position;
        lastFound = f.position + 1;
    }
    if (adjusted) {
        int start = firstFound - (kSnippetWords - (lastFound - firstFound)) / 2;
        if (start + kSnippetWords > words) start = words - kSnippetWords;
        *adjusted = std::max(0, start);
    }
    return score;
}

// Words that begin a sentence: the first, and each one after blanks that
// follow a '.' or a ':'.
std::vector<int> SentenceStarts(const std::string& body, const std::vector<TextWord>& words) {
    std::vector<int> starts;
    for (size_t w = 0; w < words.size(); ++w) {
        if (w == 0) {
            starts.push_back(0);
            continue;
        }
        size_t i = words[w].start;
        while (i > 0 && (body[i - 1] == ' ' || body[i - 1] == '\t' || body[i - 1] == '\n' || body[i - 1] == '\r'))
            --i;
        if (i != words[w].start && i > 0 && (body[i - 1] == '.' || body[i - 1] == ':')) starts.push_back(int(w));
    }
    return starts;
}

}  // namespace

std::vector<TextWord> IndexWords(const std::string& text) {
    std::vector<TextWord> words;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
    auto add = [&](size_t start, size_t end) {
        if (end - start <= kLongestWord) words.push_back({start, end});
    };
    size_t i = 0;
    while (i < text.size()) {
        size_t start = i;
        for (;;) {
            if (i >= text.size()) break;
            size_t n = Utf8Length(bytes, text.size(), i);
            bool part = n == 1 ? IsAsciiWordByte(bytes[i]) : n > 1 && IsLetter(CodePoint(bytes + i, n));
            if (!part) break;
            i += n;
        }
        if (i == start) {
            size_t n = Utf8Length(bytes, text.size(), i);
            i += n == 0 ? 1 : n;
            continue;
        }
        size_t number = NumberPrefix(text, start, i);
        if (number > 0) {
            add(start, start + number);
            add(start + number, i);
        } else {
            add(start, i);
        }
    }
    return words;
}

std::string IndexText(const std::string& text) {
    std::string out;
    for (const TextWord& w : IndexWords(text)) {
        if (!out.empty()) out += ' ';
        out.append(text, w.start, w.end - w.start);
    }
    return out;
}

std::string Snippet(const std::string& body, std::vector<FoundWord> found) {
    std::vector<TextWord> words = IndexWords(body);
    int count = int(words.size());
    found.erase(std::remove_if(found.begin(), found.end(),
                               [count](const FoundWord& f) { return f.position < 0 || f.position >= count; }),
                found.end());
    std::sort(found.begin(), found.end(), [](const FoundWord& a, const FoundWord& b) {
        return a.position != b.position ? a.position < b.position : a.term < b.term;
    });

    // The window: the best of those centred on each word found, and of those
    // that begin the sentence of a word found.
    std::vector<int> sentences = SentenceStarts(body, words);
    int best = 0, first = 0;
    for (const FoundWord& f : found) {
        int adjusted = 0;
        int score = WindowScore(found, count, f.position, &adjusted);
        if (score > best) {
            best = score;
            first = adjusted;
        }
        if (sentences.empty() || count <= kSnippetWords) continue;
        size_t s = 0;
        while (s + 1 < sentences.size() && sentences[s + 1] <= f.position) ++s;
        if (sentences[s] < f.position) {
            score = WindowScore(found, count, sentences[s], nullptr) + (sentences[s] == 0 ? 120 : 100);
            if (score > best) {
                best = score;
                first = sentences[s];
            }
        }
    }

    // The window's text with the words found marked.
    int last = first + kSnippetWords - 1;
    std::string out = first > 0 ? kEllipsis : "";
    size_t copied = 0;
    FoundSpans span(found);
    while (span.start() >= 0 && span.start() < first) span.Next();
    auto copy = [&](size_t upTo) {
        out.append(body, copied, upTo - copied);
        copied = upTo;
    };
    for (int w = first; w <= last && w < count; ++w) {
        const TextWord& word = words[size_t(w)];
        if (first > 0 && w == first) copied = word.start;
        if (w == span.start()) {
            copy(word.start);
            out += kMarkOpen;
        }
        if (w == span.end()) {
            if (span.start() < first) out += kMarkOpen;
            copy(word.end);
            out += kMarkClose;
            span.Next();
        }
        if (w == last) {
            copy(word.end);
            if (w >= span.start() && w < span.end()) out += kMarkClose;
        }
    }
    if (last >= count - 1) copy(body.size());
    else out += kEllipsis;
    return out;
}
