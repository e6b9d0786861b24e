#include "epubitemconversion.h"

#include "epubunifiedparser.h"

#include <QSet>

#include <algorithm>

QHash<QString, int> cutPositions(const QStringList &anchors, const QHash<QString, int> &met,
                                 int paragraphCount)
{
    QStringList distinct;
    QSet<QString> seen;
    for (const QString &anchor : anchors) {
        if (!anchor.isEmpty() && !seen.contains(anchor)) {
            seen.insert(anchor);
            distinct.append(anchor);
        }
    }
    // An anchor the document does not have cuts where the next one that it has does.
    QVector<int> positions(distinct.size());
    int next = paragraphCount;
    for (int k = distinct.size() - 1; k >= 0; --k) {
        next = met.value(distinct.at(k), next);
        positions[k] = next;
    }
    // Entries out of document order still cut it into consecutive parts.
    std::sort(positions.begin(), positions.end());
    QHash<QString, int> cuts;
    for (int k = 0; k < distinct.size(); ++k)
        cuts.insert(distinct.at(k), positions.at(k));
    return cuts;
}

EpubItemConversion convertEpubItem(const QString &text, const EpubConversionContext &context,
                                   const QString &itemPath, const QStringList &anchors)
{
    const XhtmlConvertResult converted = EpubUnifiedParser::convertXhtmlCut(
        text, context.styleSheets, context.archiveIndex, context.manifest, itemPath,
        context.opfPath, context.imageIdPrefix, anchors);
    EpubItemConversion result;
    result.ok = converted.ok;
    result.tooLarge = converted.tooLarge;
    if (!converted.ok) {
        result.error = QStringLiteral("%1:%2:%3: %4")
                           .arg(itemPath)
                           .arg(converted.errorLine)
                           .arg(converted.errorColumn)
                           .arg(converted.errorMessage);
        return result;
    }
    result.paragraphs = converted.paragraphs;
    result.anchorStarts = cutPositions(anchors, converted.anchorParagraphs,
                                       result.paragraphs.size());
    return result;
}
