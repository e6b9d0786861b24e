#pragma once

#include "cssstylesheet.h"
#include "paragraph.h"

#include <QHash>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

// What every conversion of one book shares; read-only while conversions run.
struct EpubConversionContext
{
    CssStyleSheetMap styleSheets;
    QMap<QString, QString> archiveIndex;
    QMap<QString, QString> manifest;
    QString opfPath;
    QString imageIdPrefix;
};

// One spine document converted whole, with the paragraph index at which each
// asked-for anchor starts (anchors never met are absent).
struct EpubItemConversion
{
    bool ok = false;
    QVector<Paragraph> paragraphs;
    QHash<QString, int> anchorStarts;
    QString error;
};

EpubItemConversion convertEpubItem(const QString &text, const EpubConversionContext &context,
                                   const QString &itemPath, const QStringList &anchors);
