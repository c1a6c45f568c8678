#pragma once
// Case folding behind the NOCASE collation and like() of every connection.
// Pure ASCII texts take a fast path without conversion; others are folded with
// Unicode case folding, so "MÜLLER" and "müller" are equal.
#include <string>
#include <string_view>

namespace corva::db {

std::string foldText(std::string_view utf8);

// Orders two UTF-8 texts by their folded forms (<0, 0, >0).
int compareFolded(const char* a, int na, const char* b, int nb);

// True when the text is exactly one character (the ESCAPE of LIKE).
bool singleCharacter(std::string_view utf8, char32_t& c);

// SQL LIKE without regard to case: '%' any run of characters, '_' one character;
// a character after `escape` (0: none) stands for itself.
bool likeMatch(std::string_view pattern, std::string_view text, char32_t escape);

}  // namespace corva::db
