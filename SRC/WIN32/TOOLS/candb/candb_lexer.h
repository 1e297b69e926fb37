// The DBC file as tokens: identifiers, numbers, strings and punctuation,
// each with its line and column for messages.
#pragma once

#include <string>
#include <vector>

enum DbcTokenKind { DBC_IDENT, DBC_NUMBER, DBC_STRING, DBC_PUNCT, DBC_END };

struct DbcToken {
    DbcTokenKind kind;
    std::string text;  // identifier, number as written, string contents, or the punctuation character
    unsigned line;
    unsigned column;
};

// Splits UTF-8 text into tokens, the last one DBC_END. FALSE with line,
// column and a reason for an unterminated string or a stray byte.
bool DbcTokenize(const std::string &text, std::vector<DbcToken> *tokens, unsigned *line, unsigned *column,
                 std::string *why);
