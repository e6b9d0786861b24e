#pragma once

#include "mobiindex.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QVector>

struct XhtmlConvertResult;

// One entry of a MOBI 6 book's own table of contents.
struct MobiTocEntry
{
    QString title;            // plain text, 1..200 characters
    QString anchor;           // an id or name present in the document
    int anchorPosition = -1;  // character offset of the tag carrying the anchor
    int linkPosition = -1;    // character offset of the link naming it; -1 for headings
};

// The text repairs that turn Kindle markup into XHTML the converter reads.
// Every pass copies its input once, left to right, into a reserved buffer:
// editing in place would move the tail of a large book once per match.
namespace MobiMarkup {

// "kindle:flow:N" and "kindle:embed:N" links replaced by saved file names.
QString rewriteKindleLinks(const QString &text, const QMap<int, QString> &flowNames,
                           const QMap<int, QString> &resourceNames);
// Page-break elements as plain divisions, void elements closed.
QString insertPageBreaks(const QString &text);
// Image record numbers ("recindex") as src attributes naming the saved images.
QString rewriteImageRecindex(const QString &html, const QMap<int, QString> &imageNames);
// A MOBI 6 text as one HTML document that declares the "mbp" prefix.
QString wrapMobiHtml(const QString &text);
// The value of a real attribute of a tag's text (not one whose name merely
// ends with it); empty when absent.
QString attributeValue(const QString &tag, const QString &name);
// The id of a tag: group 1 or 2 of the first real id attribute, else empty.
QString tagId(const QString &tag);
// The tag that carries a KF8 navigation target: the nearest opening tag at
// or before it and the ">" that closes it; start -1 when the target lies past
// the part or no such tag exists.
struct NavTargetTag
{
    qint64 start = -1;
    qint64 end = -1;
};
// The navigation entries of one part, in navigation order, with the tag of
// each target; one sweep over the part.
struct PartTargets
{
    QVector<Kf8NavEntry> entries;
    QVector<NavTargetTag> tags;
};
PartTargets partTargets(const QByteArray &part, const QList<Kf8NavEntry> &navigation, int partIndex);
QString formatKf8ParseError(int partIndex, const QString &stage, int partBytes,
                            int decodedChars, const XhtmlConvertResult &result);

// A KF8 link "kindle:pos:fid:F:off:O": fragment F, offset O, both base 32.
struct KindlePosition
{
    quint32 fragment = 0;
    quint32 offset = 0;
};
inline quint64 kindlePositionKey(const KindlePosition &p)
{
    return quint64(p.fragment) << 32 | p.offset;
}
// Every well-formed kindle:pos link of the bytes, in order.
QVector<KindlePosition> kindlePositions(const QByteArray &bytes);
// Each kindle:pos link replaced by its target in `targets` (by
// kindlePositionKey); one without a target, or malformed, by nothing.
QString rewriteKindlePositions(const QString &text, const QHash<quint64, QString> &targets);

// "<a id="mobi-filepos-N"></a>" before every byte that a filepos attribute
// names, or before the tag that contains it.
QByteArray insertFileposAnchors(const QByteArray &bytes);
// Links with a filepos attribute point at the matching anchor instead.
QString rewriteFileposLinks(const QString &html);
// The document's table of contents: a run of links to its own anchors, else
// its h1-h3 headings; empty when neither gives enough entries.
QVector<MobiTocEntry> buildMobiToc(const QString &html);
// The text of an HTML fragment, white space simplified; nothing it names is loaded.
QString plainTitle(const QString &html);

}
