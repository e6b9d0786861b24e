#pragma once

#include "fontfacerule.h"

#include <QMap>
#include <QString>
#include <QVector>

// The book-content converter shared by the EPUB, KF8 and FB2 importers.
class EpubUnifiedParser
{
public:
    // The @font-face rules of the given style texts (path to CSS text), in path order
    // and then in text order.
    static QVector<FontFaceRule> parseFontFaces(const QMap<QString, QString> &styleTexts);
    // The declarations of one @font-face block: lower-case name to trimmed value.
    static QMap<QString, QString> parseFontFaceDeclarations(const QString &blockText);
    // Trims, then drops one pair of enclosing single or double quotes.
    static QString unquoteCssValue(const QString &text);
};
