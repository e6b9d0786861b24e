#include "mobierror.h"
#include "mobiparser.h"

#include <QStringList>

#include <algorithm>
#include <vector>

using mobi::fail;

namespace {

const int MaxFragments = 1000000;
const qint64 MaxPartSize = 0x7FFFFFFF;
const qint64 MaxAssembledSize = 0x8000000; // 128 MiB over all parts
// Bytes that out-of-order insertions may move back in one book.
const qint64 MaxBackwardBytes = qint64(1) << 30;
// Levels of parents a navigation title is built from.
const int MaxNcxDepth = 32;
// A chapter title's length, as for EPUB books.
const int MaxTitleLength = 500;

// A run of bytes still to be placed in the part.
struct Segment
{
    const char *data;
    qint64 length;
};

bool parseDecimal(const QByteArray &label, quint32 *value)
{
    if (label.isEmpty())
        return false;
    quint64 v = 0;
    for (const char c : label) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + quint64(c - '0');
        if (v > 0xFFFFFFFFull)
            return false;
    }
    *value = quint32(v);
    return true;
}


}

bool MobiParser::indexTagValue(const MobiIndexEntry &entry, quint8 tag, quint32 *value)
{
    const auto it = entry.tags.constFind(tag);
    if (it == entry.tags.constEnd() || it->size() != 1)
        return false;
    if (value)
        *value = it->first();
    return true;
}

bool MobiParser::indexTagPair(const MobiIndexEntry &entry, quint8 tag, quint32 *first, quint32 *second)
{
    const auto it = entry.tags.constFind(tag);
    if (it == entry.tags.constEnd() || it->size() != 2)
        return false;
    if (first)
        *first = it->at(0);
    if (second)
        *second = it->at(1);
    return true;
}

bool MobiParser::readSkeletonIndex(const MobiIndexTable &table, QVector<Kf8Skeleton> *skeletons,
                                   QString *error)
{
    if (table.entries.isEmpty())
        return fail(error, "KF8 SKEL 索引为空");
    QVector<Kf8Skeleton> result;
    result.reserve(table.entries.size());
    for (int i = 0; i < table.entries.size(); ++i) {
        const auto &tags = table.entries.at(i).tags;
        const QVector<quint32> count = tags.value(1);
        const QVector<quint32> range = tags.value(6);
        if (count.isEmpty() || range.size() < 2)
            return fail(error, "KF8 SKEL 条目无效");
        result.append({i, count.at(0), range.at(0), range.at(1)});
    }
    if (skeletons)
        *skeletons = result;
    return true;
}

bool MobiParser::readFragmentIndex(const MobiIndexTable &table, QVector<Kf8Fragment> *fragments,
                                   QString *error)
{
    // A crafted table must not make assembly run for hours.
    if (table.entries.size() > MaxFragments)
        return fail(error, "KF8 FRAG 条目过多");
    QVector<Kf8Fragment> result;
    result.reserve(table.entries.size());
    for (const MobiIndexEntry &entry : table.entries) {
        Kf8Fragment f;
        quint32 aid = 0;
        if (!parseDecimal(entry.label, &f.insertPosition) || !indexTagValue(entry, 2, &aid)
            || !indexTagValue(entry, 3, &f.skeletonIndex) || !indexTagValue(entry, 4, &f.sequence)
            || !indexTagPair(entry, 6, &f.offset, &f.length))
            return fail(error, "KF8 FRAG 条目无效");
        if (!table.cncx.contains(aid))
            return fail(error, "KF8 FRAG aid 无效");
        result.append(f);
    }
    if (fragments)
        *fragments = result;
    return true;
}

static bool readSkeletonsAndFragments(const MobiIndexTable &skeletonTable, const MobiIndexTable &fragmentTable,
                                      QVector<Kf8Skeleton> *skeletons, QVector<Kf8Fragment> *fragments,
                                      QString *error)
{
    return MobiParser::readSkeletonIndex(skeletonTable, skeletons, error)
        && MobiParser::readFragmentIndex(fragmentTable, fragments, error);
}

bool MobiParser::assembleMainFlow(const QByteArray &flow0, const MobiIndexTable &skeletonTable,
                                  const MobiIndexTable &fragmentTable, QList<QByteArray> *parts,
                                  QString *error)
{
    if (!parts || flow0.isEmpty())
        return fail(error, "KF8 主 flow 为空");
    QVector<Kf8Skeleton> skeletons;
    QVector<Kf8Fragment> fragments;
    if (!readSkeletonsAndFragments(skeletonTable, fragmentTable, &skeletons, &fragments, error))
        return false;

    const qint64 flowSize = flow0.size();
    const char *flow = flow0.constData();
    QList<QByteArray> result;
    QList<QByteArray> movedBack; // keeps bytes that tail segments point into
    std::vector<Segment> tail;   // back() is the byte right after the cursor
    qint64 total = 0;
    qint64 backwardBytes = 0;
    int c = 0;
    for (int si = 0; si < skeletons.size(); ++si) {
        const Kf8Skeleton &s = skeletons.at(si);
        qint64 pos = qint64(s.start) + s.length;
        qint64 limit = flowSize;
        if (si + 1 < skeletons.size()) {
            limit = skeletons.at(si + 1).start;
            if (limit > flowSize)
                return fail(error, "KF8 骨架正文范围无效");
        }
        if (pos > limit)
            return fail(error, "KF8 骨架正文范围无效");

        // The part is `head` (bytes before the cursor) followed by `tail`.
        // Fragments normally go in at ascending points, so the cursor only
        // moves forward and every byte is copied once.
        QByteArray head;
        head.reserve(int(std::min<qint64>(limit - s.start, MaxPartSize)));
        tail.clear();
        movedBack.clear();
        if (s.length > 0)
            tail.push_back({flow + s.start, s.length});
        qint64 partSize = s.length;
        for (quint32 n = 0; n < s.fragmentCount; ++n) {
            if (c >= fragments.size())
                return fail(error, "KF8 FRAG 条目数量不足");
            const Kf8Fragment &f = fragments.at(c++);
            if (f.skeletonIndex != quint32(s.index) || pos + f.length > limit || f.insertPosition < s.start)
                return fail(error, "KF8 FRAG 正文范围无效");
            const qint64 at = qint64(f.insertPosition) - s.start;
            if (at > partSize || partSize + f.length > MaxPartSize)
                return fail(error, "KF8 FRAG 插入位置无效");
            if (at >= head.size()) {
                qint64 need = at - head.size();
                while (need > 0) {
                    Segment &top = tail.back();
                    const qint64 take = std::min(need, top.length);
                    head.append(top.data, int(take));
                    need -= take;
                    top.data += take;
                    top.length -= take;
                    if (top.length == 0)
                        tail.pop_back();
                }
            } else {
                backwardBytes += head.size() - at;
                if (backwardBytes > MaxBackwardBytes)
                    return fail(error, "KF8 FRAG 插入位置无效");
                movedBack.append(head.mid(int(at)));
                head.truncate(int(at));
                tail.push_back({movedBack.last().constData(), movedBack.last().size()});
            }
            if (f.length > 0)
                tail.push_back({flow + pos, f.length});
            pos += f.length;
            partSize += f.length;
        }
        for (auto it = tail.rbegin(); it != tail.rend(); ++it)
            head.append(it->data, int(it->length));
        if (total + head.size() > MaxAssembledSize)
            return fail(error, "KF8 重组正文过大");
        total += head.size();
        result.append(head);
    }
    if (c != fragments.size())
        return fail(error, "KF8 FRAG 条目数量不匹配");
    *parts = result;
    return true;
}

bool MobiParser::kf8Position(const QVector<Kf8Skeleton> &skeletons, const QVector<Kf8Fragment> &fragments,
                             quint32 fragment, quint32 offset, int *partIndex, quint32 *partOffset)
{
    if (fragment >= quint32(fragments.size()))
        return false;
    const Kf8Fragment &f = fragments.at(int(fragment));
    if (f.skeletonIndex >= quint32(skeletons.size()))
        return false;
    const Kf8Skeleton &s = skeletons.at(int(f.skeletonIndex));
    const qint64 target = qint64(f.insertPosition) + offset;
    if (target < s.start || target - s.start > 0xFFFFFFFFll)
        return false;
    *partIndex = int(f.skeletonIndex);
    *partOffset = quint32(target - s.start);
    return true;
}

bool MobiParser::readNcx(const MobiIndexTable &skeletonTable, const MobiIndexTable &fragmentTable,
                         const MobiIndexTable &ncxTable, QList<Kf8NavEntry> *navigation, QString *error)
{
    if (!navigation)
        return fail(error, "KF8 导航输出无效");
    QVector<Kf8Skeleton> skeletons;
    QVector<Kf8Fragment> fragments;
    if (!readSkeletonsAndFragments(skeletonTable, fragmentTable, &skeletons, &fragments, error))
        return false;
    const QVector<MobiIndexEntry> &table = ncxTable.entries;
    QVector<QString> labels(table.size());
    QVector<int> parents(table.size(), -1);
    for (int i = 0; i < table.size(); ++i) {
        quint32 value = 0;
        // A label keeps the line breaks and indentation of its source markup.
        if (indexTagValue(table.at(i), 3, &value))
            labels[i] = ncxTable.cncx.value(value).simplified();
        // Parents come before their children: a later one is no parent, so
        // a damaged table cannot make a loop.
        if (indexTagValue(table.at(i), 21, &value) && value < quint32(i))
            parents[i] = int(value);
    }
    QVector<Kf8NavEntry> collected;
    collected.reserve(table.size());
    // A damaged entry (no target, no title, a target outside its document)
    // is dropped: the rest of the table still gives the book its chapters.
    for (int i = 0; i < table.size(); ++i) {
        const MobiIndexEntry &entry = table.at(i);
        quint32 titleKey = 0;
        quint32 fragment = 0;
        quint32 offset = 0;
        int part = 0;
        quint32 partOffset = 0;
        if (!indexTagValue(entry, 3, &titleKey) || !indexTagPair(entry, 6, &fragment, &offset)
            || !ncxTable.cncx.contains(titleKey)
            || !kf8Position(skeletons, fragments, fragment, offset, &part, &partOffset))
            continue;
        if (labels.at(i).isEmpty())
            continue;
        // A nested entry is titled with its parents' titles before its own,
        // as EPUB tables of contents are read; a damaged chain stops early.
        QStringList title(labels.at(i));
        for (int p = parents.at(i), depth = 0; p >= 0 && depth < MaxNcxDepth; p = parents.at(p), ++depth) {
            if (!labels.at(p).isEmpty())
                title.prepend(labels.at(p));
        }
        QString joined = title.join(QStringLiteral(" - "));
        if (joined.size() > MaxTitleLength)
            joined.truncate(joined.at(MaxTitleLength - 1).isHighSurrogate() ? MaxTitleLength - 1 : MaxTitleLength);
        collected.append({joined, part, partOffset});
    }
    std::stable_sort(collected.begin(), collected.end(), [](const Kf8NavEntry &a, const Kf8NavEntry &b) {
        return a.partIndex != b.partIndex ? a.partIndex < b.partIndex : a.offset < b.offset;
    });
    QList<Kf8NavEntry> result;
    for (const Kf8NavEntry &entry : qAsConst(collected)) {
        if (!result.isEmpty() && result.last().partIndex == entry.partIndex
            && result.last().offset == entry.offset)
            continue;
        result.append(entry);
    }
    *navigation = result;
    return true;
}
