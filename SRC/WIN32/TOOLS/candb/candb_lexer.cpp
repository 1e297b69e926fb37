#include "candb_lexer.h"

static bool IsIdentStart(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

static bool IsIdentChar(unsigned char c) {
    return IsIdentStart(c) || (c >= '0' && c <= '9');
}

static bool IsDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}

// A number: [+-] digits [. digits] [e [+-] digits], or a 0x hexadecimal.
static size_t NumberLength(const std::string &s, size_t i) {
    size_t j = i;
    if (s[j] == '+' || s[j] == '-')
        j++;
    if (s.compare(j, 2, "0x") == 0 || s.compare(j, 2, "0X") == 0) {
        size_t k = j + 2;
        while (k < s.size() && isxdigit((unsigned char)s[k]))
            k++;
        if (k > j + 2)
            return k - i;
    }
    size_t digits = 0;
    while (j < s.size() && IsDigit(s[j])) {
        j++;
        digits++;
    }
    if (j < s.size() && s[j] == '.') {
        j++;
        while (j < s.size() && IsDigit(s[j])) {
            j++;
            digits++;
        }
    }
    if (digits == 0)
        return 0;
    if (j < s.size() && (s[j] == 'e' || s[j] == 'E')) {
        size_t k = j + 1;
        if (k < s.size() && (s[k] == '+' || s[k] == '-'))
            k++;
        if (k < s.size() && IsDigit(s[k])) {
            while (k < s.size() && IsDigit(s[k]))
                k++;
            j = k;
        }
    }
    return j - i;
}

bool DbcTokenize(const std::string &text, std::vector<DbcToken> *tokens, unsigned *line, unsigned *column,
                 std::string *why) {
    unsigned ln = 1;
    size_t lineStart = 0;
    size_t i = 0;
    const size_t n = text.size();
    tokens->clear();
    while (i < n) {
        unsigned char c = text[i];
        if (c == '\n') {
            ln++;
            i++;
            lineStart = i;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
            i++;
            continue;
        }
        DbcToken t;
        t.line = ln;
        t.column = (unsigned)(i - lineStart + 1);
        if (c == '/' && i + 1 < n && text[i + 1] == '/') {
            while (i < n && text[i] != '\n')
                i++;
            continue;
        }
        if (c == '"') {
            size_t j = i + 1;
            std::string s;
            unsigned startLine = ln;
            while (j < n && text[j] != '"') {
                if (text[j] == '\\' && j + 1 < n && (text[j + 1] == '"' || text[j + 1] == '\\'))
                    j++;
                if (text[j] == '\n') {
                    ln++;
                    lineStart = j + 1;
                }
                s.push_back(text[j]);
                j++;
            }
            if (j >= n) {
                *line = startLine;
                *column = t.column;
                *why = "unterminated string";
                return false;
            }
            t.kind = DBC_STRING;
            t.text = s;
            i = j + 1;
        } else if (IsIdentStart(c)) {
            size_t j = i;
            while (j < n && IsIdentChar(text[j]))
                j++;
            t.kind = DBC_IDENT;
            t.text = text.substr(i, j - i);
            i = j;
        } else if (size_t len = (IsDigit(c) || c == '.' || c == '-' || c == '+') ? NumberLength(text, i) : 0) {
            t.kind = DBC_NUMBER;
            t.text = text.substr(i, len);
            i += len;
        } else if (c < 0x80 && c > 0x20) {
            t.kind = DBC_PUNCT;
            t.text = std::string(1, (char)c);
            i++;
        } else {
            *line = ln;
            *column = t.column;
            *why = "unexpected character";
            return false;
        }
        tokens->push_back(t);
    }
    DbcToken end;
    end.kind = DBC_END;
    end.line = ln;
    end.column = (unsigned)(n - lineStart + 1);
    tokens->push_back(end);
    return true;
}
