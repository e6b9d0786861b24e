#pragma once

#include <QXmlStreamEntityResolver>

// Resolves the named character references of HTML, which books use without declaring
// them; an unknown name stays in the text as written.
class HtmlEntityResolver : public QXmlStreamEntityResolver
{
public:
    QString resolveUndeclaredEntity(const QString &name) override;
    // The character(s) of a known name, else a null string.
    static QString characters(const QString &name);
};
