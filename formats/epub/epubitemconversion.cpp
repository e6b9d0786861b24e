#include "epubitemconversion.h"

EpubItemConversion convertEpubItem(const QString &text, const EpubConversionContext &context,
                                   const QString &itemPath, const QStringList &anchors)
{
    Q_UNUSED(text);
    Q_UNUSED(context);
    Q_UNUSED(anchors);
    EpubItemConversion result;
    result.error = itemPath + QStringLiteral(": XHTML 转换不可用");
    return result;
}
