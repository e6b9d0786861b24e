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
// asked-for anchor cuts it (see cutPositions).
struct EpubItemConversion
{
    bool ok = false;
    QVector<Paragraph> paragraphs;
    QHash<QString, int> anchorStarts;
    QString error;
    bool tooLarge = false;      // over the content bounds: the book is refused
};

EpubItemConversion convertEpubItem(const QString &text, const EpubConversionContext &context,
                                   const QString &itemPath, const QStringList &anchors);

// Where each anchor (in chapter order) cuts a document of paragraphCount paragraphs,
// given where the conversion met them: a missing anchor cuts at the next one met,
// else at the end; positions are handed out in ascending order, so no two
// chapters share a paragraph.
QHash<QString, int> cutPositions(const QStringList &anchors, const QHash<QString, int> &met,
                                 int paragraphCount);
