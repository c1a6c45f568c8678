#include "db/text_fold.h"

#include <QList>
#include <QString>
#include <QStringDecoder>

#include <algorithm>
#include <cstring>
#include <vector>

namespace corva::db {
namespace {

// UTF-8 to QString keeping a leading byte order mark: folding must work the same on
// a whole text and on any tail of it.
QString decode(std::string_view utf8)
{
    QStringDecoder dec(QStringDecoder::Utf8, QStringConverter::Flag::Stateless | QStringConverter::Flag::ConvertInitialBom);
    return dec.decode(QByteArrayView(utf8.data(), static_cast<qsizetype>(utf8.size())));
}

bool isAscii(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

char lowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

std::u32string foldedCodePoints(std::string_view utf8)
{
    std::u32string out;
    if (isAscii(utf8)) {
        out.reserve(utf8.size());
        for (char c : utf8)
            out.push_back(static_cast<char32_t>(lowerAscii(c)));
        return out;
    }
    auto ucs4 = decode(utf8).toCaseFolded().toUcs4();
    out.assign(ucs4.begin(), ucs4.end());
    return out;
}

std::u32string codePoints(std::string_view utf8)
{
    std::u32string out;
    if (isAscii(utf8)) {
        out.assign(utf8.begin(), utf8.end());
        return out;
    }
    auto ucs4 = decode(utf8).toUcs4();
    out.assign(ucs4.begin(), ucs4.end());
    return out;
}

struct Token {
    enum Kind { Literal, One, Any } kind;
    char32_t ch = 0;
};

std::vector<Token> tokenize(std::string_view pattern, char32_t escape)
{
    std::vector<Token> tokens;
    std::u32string cps = codePoints(pattern);
    for (std::size_t i = 0; i < cps.size(); ++i) {
        char32_t c = cps[i];
        if (escape && c == escape) {
            if (++i == cps.size()) {
                // A trailing escape matches nothing, as in SQLite.
                tokens.push_back({Token::Literal, 0xFFFFFFFF});
                break;
            }
            c = cps[i];
        } else if (c == U'%') {
            if (tokens.empty() || tokens.back().kind != Token::Any)
                tokens.push_back({Token::Any});
            continue;
        } else if (c == U'_') {
            tokens.push_back({Token::One});
            continue;
        }
        if (c < 0x80) {
            tokens.push_back({Token::Literal, static_cast<char32_t>(lowerAscii(static_cast<char>(c)))});
        } else {
            // One character may fold to several (ß -> ss).
            for (char32_t f : foldedCodePoints(QString::fromUcs4(&c, 1).toStdString()))
                tokens.push_back({Token::Literal, f});
        }
    }
    return tokens;
}

}  // namespace

bool singleCharacter(std::string_view utf8, char32_t& c)
{
    auto cps = codePoints(utf8);
    if (cps.size() != 1)
        return false;
    c = cps.front();
    return true;
}

std::string foldText(std::string_view utf8)
{
    if (isAscii(utf8)) {
        std::string out(utf8);
        for (char& c : out)
            c = lowerAscii(c);
        return out;
    }
    return decode(utf8).toCaseFolded().toStdString();
}

int compareFolded(const char* a, int na, const char* b, int nb)
{
    // Fast path while both are ASCII; the first non-ASCII byte starts a character in
    // both texts, so folding the remainders gives the order of the whole folded texts.
    int n = std::min(na, nb);
    int i = 0;
    for (; i < n; ++i) {
        auto ca = static_cast<unsigned char>(a[i]);
        auto cb = static_cast<unsigned char>(b[i]);
        if ((ca | cb) & 0x80)
            break;
        char la = lowerAscii(static_cast<char>(ca));
        char lb = lowerAscii(static_cast<char>(cb));
        if (la != lb)
            return la < lb ? -1 : 1;
    }
    if (i == n)  // one is a prefix of the other; no character folds to nothing
        return na == nb ? 0 : (na < nb ? -1 : 1);
    std::string fa = foldText(std::string_view(a + i, static_cast<std::size_t>(na - i)));
    std::string fb = foldText(std::string_view(b + i, static_cast<std::size_t>(nb - i)));
    std::size_t m = std::min(fa.size(), fb.size());
    int c = m ? std::memcmp(fa.data(), fb.data(), m) : 0;
    if (c != 0)
        return c < 0 ? -1 : 1;
    return fa.size() == fb.size() ? 0 : (fa.size() < fb.size() ? -1 : 1);
}

bool likeMatch(std::string_view pattern, std::string_view text, char32_t escape)
{
    const std::vector<Token> tok = tokenize(pattern, escape);
    const std::u32string s = foldedCodePoints(text);
    // Greedy match with one back-tracking point per '%': linear for typical patterns,
    // never exponential.
    std::size_t p = 0, i = 0, starP = std::string::npos, starI = 0;
    while (i < s.size()) {
        if (p < tok.size() && (tok[p].kind == Token::One || (tok[p].kind == Token::Literal && tok[p].ch == s[i]))) {
            ++p;
            ++i;
        } else if (p < tok.size() && tok[p].kind == Token::Any) {
            starP = p++;
            starI = i;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            i = ++starI;
        } else {
            return false;
        }
    }
    while (p < tok.size() && tok[p].kind == Token::Any)
        ++p;
    return p == tok.size();
}

}  // namespace corva::db
