#include "mobiparser.h"
#include "mobitext.h"

#include <QHash>

QString MobiParser::rewriteKindleLinks(const QString &text) const
{
    return MobiMarkup::rewriteKindleLinks(text, flowNamesByIndex, resourceNamesByIndex);
}

QString MobiParser::insertPageBreaks(const QString &text)
{
    return MobiMarkup::insertPageBreaks(text);
}

QString MobiParser::rewriteImageRecindex(const QString &html) const
{
    return MobiMarkup::rewriteImageRecindex(html, imageNamesByNumber);
}

QString MobiParser::wrapMobiHtml(const QString &text)
{
    return MobiMarkup::wrapMobiHtml(text);
}

QString MobiParser::formatKf8ParseError(int partIndex, const QString &stage, int partBytes,
                                        int decodedChars, const XhtmlConvertResult &result)
{
    return MobiMarkup::formatKf8ParseError(partIndex, stage, partBytes, decodedChars, result);
}

QVector<MobiTocEntry> MobiParser::buildMobiToc(const QString &html)
{
    return MobiMarkup::buildMobiToc(html);
}

namespace {

// A tag's text up to its first NUL, whatever the encoding.
QString decodeTag(const QByteArray &tag, int textEncoding)
{
    const int nul = tag.indexOf('\0');
    return decodeCodePage(nul < 0 ? tag : tag.left(nul), quint32(textEncoding));
}

}

bool MobiParser::assignNavAnchors(QByteArray &part, const QList<Kf8NavEntry> &navigation,
                                  int partIndex, int textEncoding,
                                  QMap<quint32, QString> &anchors)
{
    QMap<qint64, QByteArray> insertions;
    if (!planNavAnchors(part, navigation, partIndex, textEncoding, anchors, insertions))
        return false;
    insertNavAnchors(part, insertions);
    return true;
}

bool MobiParser::planNavAnchors(const QByteArray &part, const QList<Kf8NavEntry> &navigation,
                                int partIndex, int textEncoding, QMap<quint32, QString> &anchors,
                                QMap<qint64, QByteArray> &insertions)
{
    QHash<qint64, QString> idsByTag;
    const MobiMarkup::PartTargets targets = MobiMarkup::partTargets(part, navigation, partIndex);
    const QVector<Kf8NavEntry> &entries = targets.entries;
    const QVector<MobiMarkup::NavTargetTag> &tags = targets.tags;
    for (int counter = 0; counter < entries.size(); ++counter) {
        const Kf8NavEntry &entry = entries.at(counter);
        const qint64 s = tags.at(counter).start;
        const qint64 e = tags.at(counter).end;
        if (s < 0)
            return false;
        auto known = idsByTag.constFind(s);
        QString id;
        if (known != idsByTag.constEnd()) {
            id = known.value();
        } else {
            id = MobiMarkup::tagId(decodeTag(part.mid(int(s), int(e - s + 1)), textEncoding));
            if (id.isEmpty()) {
                id = QStringLiteral("kf8-nav-%1-%2").arg(partIndex).arg(counter);
                const qint64 at = part.at(int(e - 1)) == '/' ? e - 1 : e;
                insertions.insert(at, QStringLiteral(" id=\"%1\"").arg(id).toUtf8());
            }
            idsByTag.insert(s, id);
        }
        anchors.insert(entry.offset, id);
    }
    return true;
}

void MobiParser::insertNavAnchors(QByteArray &part, const QMap<qint64, QByteArray> &insertions)
{
    if (insertions.isEmpty())
        return;
    const qint64 length = part.size();
    // One copy in ascending order instead of one move of the tail per insert.
    QByteArray out;
    int extra = 0;
    for (const QByteArray &bytes : qAsConst(insertions))
        extra += bytes.size();
    out.reserve(int(length) + extra);
    qint64 copied = 0;
    for (auto it = insertions.constBegin(); it != insertions.constEnd(); ++it) {
        out.append(part.constData() + copied, int(it.key() - copied));
        out.append(it.value());
        copied = it.key();
    }
    out.append(part.constData() + copied, int(length - copied));
    part = out;
}
