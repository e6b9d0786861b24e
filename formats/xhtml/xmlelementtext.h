#pragma once

#include <QString>
#include <QXmlStreamReader>

#include <memory>

// A reader over a document. One longer than a piece is handed over a piece at
// a time, so that the reader holds the piece it is reading and the token it is
// in rather than two copies of the whole; tokens come as from the whole text,
// its encoding declaration ignored alike.
class XmlFeed
{
public:
    explicit XmlFeed(const QString &text);
    // The next token, handing over more of the text whenever the reader runs out.
    QXmlStreamReader::TokenType readNext();
    QXmlStreamReader &reader() { return *m_reader; }

private:
    const QString &m_text;
    int m_fed = 0;
    std::unique_ptr<QXmlStreamReader> m_reader;
};

// The text of the element the reader has just opened, its children's included,
// up to and including its end tag. Iterative, so hostile nesting cannot exhaust
// the stack.
QString flatElementText(XmlFeed &feed);
