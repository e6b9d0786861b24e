#include "xmlelementtext.h"

#include <QXmlStreamReader>

QString flatElementText(QXmlStreamReader &reader)
{
    QString text;
    for (int level = 1; level > 0 && !reader.atEnd();) {
        const auto token = reader.readNext();
        if (token == QXmlStreamReader::StartElement)
            ++level;
        else if (token == QXmlStreamReader::EndElement)
            --level;
        else if (token == QXmlStreamReader::Characters)
            text += reader.text();
    }
    return text;
}
