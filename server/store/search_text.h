// The words of a stored text as the database-server store indexes them, and
// the snippet of a search result built from the positions of the words found.
//
// The store hands the database its texts as words separated by blanks, so
// that the server's own parser has nothing to read but words: each one
// becomes a lexeme at the next position, and a position found by a query is
// an index into IndexWords of the same text. A word is a run of ASCII
// letters and digits and of UTF-8 letters (any byte that is no valid UTF-8,
// and every other character, separates words); a word the server would read
// as a number in scientific notation and more ("1e5x") is two words, as the
// server reads it; words of 2047 bytes or more are left out, as the server
// leaves them out. Texts are bytes: nothing here fails but by allocation.
#ifndef VELMOX_SERVER_SEARCH_TEXT_H
#define VELMOX_SERVER_SEARCH_TEXT_H

#include <cstddef>
#include <string>
#include <vector>

// One word of a text: its bytes are text[start, end).
struct TextWord {
    size_t start = 0, end = 0;
};

std::vector<TextWord> IndexWords(const std::string& text);
// The words of text separated by single blanks: valid UTF-8, no NUL.
std::string IndexText(const std::string& text);

// A word of a text that a search found: its position among the text's
// IndexWords (from 0) and which word of the search it is (the same number
// for every place of the same search word).
struct FoundWord {
    int position = 0;
    int term = 0;
};

// The words a snippet shows.
const int kSnippetWords = 16;

// The piece of `body` around the words found, as the embedded store's
// full-text index shows it: the window of kSnippetWords words that holds the
// most different search words (a window that begins a sentence before the
// words it holds may win), each word found between kMarkOpen and kMarkClose,
// and "…" where the body goes on before or after the window. A body in which
// nothing was found gives its first words.
std::string Snippet(const std::string& body, std::vector<FoundWord> found);

#endif
