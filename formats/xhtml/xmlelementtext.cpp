#include "xmlelementtext.h"

namespace {

// Characters a piece: a whole chapter of any real book is one piece.
constexpr int PieceCharacters = 1 << 20;

}

XmlFeed::XmlFeed(const QString &text) : m_text(text)
{
    if (text.size() <= PieceCharacters) {
        m_fed = text.size();
        m_reader.reset(new QXmlStreamReader(text));
    } else {
        m_reader.reset(new QXmlStreamReader);
    }
}

QXmlStreamReader::TokenType XmlFeed::readNext()
{
    for (;;) {
        if (m_fed < m_text.size() && (m_fed == 0 || m_reader->error() == QXmlStreamReader::PrematureEndOfDocumentError)) {
            int end = qMin(m_text.size(), m_fed + PieceCharacters);
            // A surrogate pair stays in one piece.
            if (end < m_text.size() && m_text.at(end - 1).isHighSurrogate())
                --end;
            m_reader->addData(m_text.mid(m_fed, end - m_fed));
            m_fed = end;
        }
        const QXmlStreamReader::TokenType token = m_reader->readNext();
        if (token != QXmlStreamReader::Invalid || m_fed >= m_text.size()
            || m_reader->error() != QXmlStreamReader::PrematureEndOfDocumentError)
            return token;
    }
}

QString flatElementText(XmlFeed &feed)
{
    QXmlStreamReader &reader = feed.reader();
    QString text;
    for (int level = 1; level > 0 && !reader.atEnd();) {
        const auto token = feed.readNext();
        if (token == QXmlStreamReader::StartElement)
            ++level;
        else if (token == QXmlStreamReader::EndElement)
            --level;
        else if (token == QXmlStreamReader::Characters)
            text += reader.text();
    }
    return text;
}
