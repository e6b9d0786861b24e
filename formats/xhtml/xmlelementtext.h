#pragma once

#include <QString>
#include <QXmlStreamReader>

// A document handed to a reader a piece at a time, so that the reader holds
// the piece it is reading and the token it is in rather than copies of the
// whole document. Tokens come as from a reader given the whole text at once,
// whose encoding declaration is likewise ignored.
class XmlFeed
{
public:
    XmlFeed(QXmlStreamReader &reader, const QString &text) : m_reader(reader), m_text(text) {}
    // The next token, handing over more of the text whenever the reader runs out.
    QXmlStreamReader::TokenType readNext();
    QXmlStreamReader &reader() { return m_reader; }

private:
    bool more();

    QXmlStreamReader &m_reader;
    const QString &m_text;
    int m_fed = 0;
};

// The text of the element the reader has just opened, its children's included,
// up to and including its end tag. Iterative, so hostile nesting cannot exhaust
// the stack.
QString flatElementText(XmlFeed &feed);
