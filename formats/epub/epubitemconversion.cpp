#include "epubitemconversion.h"

#include "epubunifiedparser.h"

EpubItemConversion convertEpubItem(const QString &text, const EpubConversionContext &context,
                                   const QString &itemPath, const QStringList &anchors)
{
    const XhtmlConvertResult converted = EpubUnifiedParser::convertXhtmlCut(
        text, context.styleSheets, context.archiveIndex, context.manifest, itemPath,
        context.opfPath, context.imageIdPrefix, anchors);
    EpubItemConversion result;
    result.ok = converted.ok;
    if (!converted.ok) {
        result.error = QStringLiteral("%1:%2:%3: %4")
                           .arg(itemPath)
                           .arg(converted.errorLine)
                           .arg(converted.errorColumn)
                           .arg(converted.errorMessage);
        return result;
    }
    result.paragraphs = converted.paragraphs;
    result.anchorStarts = converted.anchorParagraphs;
    return result;
}
