#include "mobimarkup.h"
#include "mobiparser.h"

#include <QUrl>

namespace {

const QLatin1String PositionPrefix("kindle:pos:fid:");
const QLatin1String OffsetMark(":off:");

// Base-32 digits "0"-"9", "A"-"V" (either case) at d[i]: their value in
// *value and the index after them; -1 when there is none or the value
// passes 32 bits.
template<typename Char>
int base32At(const Char *d, int n, int i, quint32 *value)
{
    quint64 v = 0;
    const int first = i;
    for (; i < n; ++i) {
        const uint c = uint(d[i]);
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = int(c - '0');
        else if (c >= 'A' && c <= 'V')
            digit = int(c - 'A' + 10);
        else if (c >= 'a' && c <= 'v')
            digit = int(c - 'a' + 10);
        if (digit < 0)
            break;
        v = v * 32 + quint64(digit);
        if (v > 0xFFFFFFFFull)
            return -1;
    }
    if (i == first)
        return -1;
    *value = quint32(v);
    return i;
}

// The link whose prefix starts at d[at]: its position and the index after
// it; -1 when it is malformed (the prefix alone is then the link).
template<typename Char>
int positionAt(const Char *d, int n, int at, MobiMarkup::KindlePosition *position)
{
    int i = base32At(d, n, at + PositionPrefix.size(), &position->fragment);
    if (i < 0 || i + OffsetMark.size() > n)
        return -1;
    for (int k = 0; k < OffsetMark.size(); ++k) {
        if (uint(d[i + k]) != uchar(OffsetMark.at(k).toLatin1()))
            return -1;
    }
    return base32At(d, n, i + OffsetMark.size(), &position->offset);
}

}

namespace MobiMarkup {

QVector<KindlePosition> kindlePositions(const QByteArray &bytes)
{
    QVector<KindlePosition> positions;
    const char *d = bytes.constData();
    const int n = bytes.size();
    for (int at = bytes.indexOf(PositionPrefix.data()); at >= 0;
         at = bytes.indexOf(PositionPrefix.data(), at + 1)) {
        KindlePosition position;
        if (positionAt(d, n, at, &position) >= 0)
            positions.append(position);
    }
    return positions;
}

QString rewriteKindlePositions(const QString &text, const QHash<quint64, QString> &targets)
{
    int at = text.indexOf(PositionPrefix);
    if (at < 0)
        return text;
    const ushort *d = text.utf16();
    const int n = text.size();
    QString out;
    out.reserve(n);
    int copied = 0;
    for (; at >= 0; at = text.indexOf(PositionPrefix, copied)) {
        KindlePosition position;
        const int end = positionAt(d, n, at, &position);
        out.append(QStringView(d + copied, at - copied));
        if (end >= 0)
            out.append(targets.value(kindlePositionKey(position)));
        copied = end;
        if (end < 0) {
            // A malformed link goes whole, to the end of the attribute value.
            for (copied = at + PositionPrefix.size(); copied < n; ++copied) {
                const ushort c = d[copied];
                if (c == '"' || c == '\'' || c == '<' || c == '>' || c == ')' || QChar::isSpace(c))
                    break;
            }
        }
    }
    out.append(QStringView(d + copied, n - copied));
    return out;
}

}

Kf8Plan MobiParser::planKf8Targets(const PalmDbBook &book, const QList<QByteArray> &parts,
                                   const QList<Kf8NavEntry> &navigation)
{
    Kf8Plan plan;
    plan.parts.resize(parts.size());
    // Per part: its navigation entries first, then the targets of links into it.
    QVector<QList<Kf8NavEntry>> targets(parts.size());
    for (const Kf8NavEntry &entry : navigation) {
        if (entry.partIndex >= 0 && entry.partIndex < parts.size())
            targets[entry.partIndex].append(entry);
    }
    QVector<int> navigationCounts(parts.size());
    for (int j = 0; j < parts.size(); ++j)
        navigationCounts[j] = targets.at(j).size();

    // Links name fragments: without the tables no link can be followed.
    const MobiContentSection &section = book.kf8Section;
    MobiIndexTable skeletonTable;
    MobiIndexTable fragmentTable;
    QVector<Kf8Skeleton> skeletons;
    QVector<Kf8Fragment> fragments;
    const bool tables = readIndexGroup(book, section, section.skeletonIndexRecord, &skeletonTable)
        && readIndexGroup(book, section, section.fragmentIndexRecord, &fragmentTable)
        && readSkeletonIndex(skeletonTable, &skeletons) && readFragmentIndex(fragmentTable, &fragments);
    QHash<quint64, Kf8NavEntry> linkTargets;
    for (const QByteArray &part : parts) {
        for (const MobiMarkup::KindlePosition &position : MobiMarkup::kindlePositions(part)) {
            const quint64 key = MobiMarkup::kindlePositionKey(position);
            if (linkTargets.contains(key) || plan.links.contains(key))
                continue;
            int target = -1;
            quint32 offset = 0;
            if (tables && kf8Position(skeletons, fragments, position.fragment, position.offset, &target, &offset)
                && target < parts.size() && offset <= quint32(parts.at(target).size())) {
                const Kf8NavEntry entry{QString(), target, offset};
                linkTargets.insert(key, entry);
                targets[target].append(entry);
            } else {
                plan.links.insert(key, QString());
            }
        }
    }

    QVector<QMap<quint32, QString>> anchors(parts.size());
    for (int j = 0; j < parts.size(); ++j) {
        const MobiMarkup::PartTargets found = MobiMarkup::partTargets(parts.at(j), targets.at(j), j);
        // A target before the part's first tag gets no id: it stands for the
        // part's start.
        QList<Kf8NavEntry> tagged;
        for (int i = 0; i < found.entries.size(); ++i) {
            if (found.tags.at(i).start >= 0)
                tagged.append(found.entries.at(i));
        }
        // Every entry has its tag, so this cannot fail.
        planNavAnchors(parts.at(j), tagged, j, int(section.textEncoding), anchors[j],
                       plan.parts[j].insertions);
        Kf8PartPlan &part = plan.parts[j];
        for (int i = 0; i < navigationCounts.at(j); ++i) {
            const Kf8NavEntry &entry = found.entries.at(i);
            const QString anchor = anchors.at(j).value(entry.offset);
            // Entries that lead to one place open one chapter, the first one's.
            if (!part.chapterAnchors.isEmpty() && part.chapterAnchors.last() == anchor)
                continue;
            part.chapterAnchors.append(anchor);
            part.chapterTitles.append(entry.title);
        }
        plan.byNavigation = plan.byNavigation || !part.chapterAnchors.isEmpty();
    }
    // The form the converter keeps hrefs in: a document path and an element id.
    for (auto it = linkTargets.constBegin(); it != linkTargets.constEnd(); ++it) {
        const Kf8NavEntry &entry = it.value();
        QString href = QStringLiteral("kf8-document-%1.xhtml").arg(entry.partIndex);
        const QString id = anchors.at(entry.partIndex).value(entry.offset);
        if (!id.isEmpty())
            href += QLatin1Char('#') + QString::fromLatin1(QUrl::toPercentEncoding(id));
        plan.links.insert(it.key(), href);
    }
    return plan;
}
