#pragma once

#include <QString>

// Linear scans of style-sheet text, shared by the rule parser and the @font-face reader.
// They read braces, comments and at-rules only; they do not understand strings.
namespace CssScanner {

// The white space of CSS syntax: space, tab, line feed, vertical tab, form feed, return.
inline bool isSpace(QChar c)
{
    const ushort u = c.unicode();
    return u == ' ' || (u >= '\t' && u <= '\r');
}

// Removes every closed /* ... */ comment. An unterminated comment and all text after
// it stay as they are.
QString removeComments(const QString &text);

// Removes statement at-rules (@charset, @import, @namespace, ...): from an "@" outside
// braces to the first ";" when that comes before any brace.
QString removeStatementAtRules(const QString &text);

// One block: the text before an opening brace back to the previous brace, and the text
// between that brace and its closing one; neither contains a brace.
struct Block
{
    QStringRef prelude;
    QStringRef body;
};

// Calls visit(Block) for each brace pair with no brace inside, in text order. Text
// between blocks becomes part of the next block's prelude; nested blocks are visited
// as their innermost pairs, so rules inside @media read as plain rules.
template<typename Visit>
void forEachBlock(const QString &text, Visit visit);

// Position of the next "{" or "}" at or after from; -1 when there is none.
int nextBrace(const QString &text, int from);

}

template<typename Visit>
void CssScanner::forEachBlock(const QString &text, Visit visit)
{
    int start = 0;
    while (start < text.size()) {
        const int open = nextBrace(text, start);
        if (open < 0)
            return;
        if (text[open] == QLatin1Char('}') || open == start) {
            start = open + 1;
            continue;
        }
        const int close = nextBrace(text, open + 1);
        if (close < 0)
            return;
        if (text[close] == QLatin1Char('{')) {
            // The prelude runs into a nested block; its innermost pair starts after open.
            start = open + 1;
            continue;
        }
        visit(Block{text.midRef(start, open - start), text.midRef(open + 1, close - open - 1)});
        start = close + 1;
    }
}
