#pragma once

#include <QCollator>
#include <QCollatorSortKey>
#include <QString>
#include <QVector>

#include <algorithm>
#include <numeric>
#include <vector>

// Case-insensitive order with numbers compared by value (page2 before
// page10), the same on every machine: Qt's collator ignores numeric mode for
// the C locale (LANG=C, C.UTF-8), so that locale is replaced by en_US.
class NaturalOrder
{
public:
    NaturalOrder();

    // Below, at or above zero as a sorts before, equal to or after b.
    int compare(const QString &a, const QString &b) const { return m_collator.compare(a, b); }
    bool operator()(const QString &a, const QString &b) const { return compare(a, b) < 0; }
    // For sorting many names: keys compare as the names do, without collating afresh.
    QCollatorSortKey sortKey(const QString &text) const { return m_collator.sortKey(text); }

    // Sorts items stably by text(item) in this order, equal texts by the
    // bytes of bytes(item); each text is collated once.
    template <typename T, typename Text, typename Bytes>
    void sort(QVector<T> &items, Text text, Bytes bytes) const
    {
        std::vector<QCollatorSortKey> keys;
        keys.reserve(size_t(items.size()));
        for (const T &item : qAsConst(items))
            keys.push_back(sortKey(text(item)));
        std::vector<int> indices(size_t(items.size()));
        std::iota(indices.begin(), indices.end(), 0);
        std::stable_sort(indices.begin(), indices.end(), [&](int a, int b) {
            const int byText = keys[size_t(a)].compare(keys[size_t(b)]);
            if (byText != 0)
                return byText < 0;
            return qstrcmp(bytes(items.at(a)), bytes(items.at(b))) < 0;
        });
        QVector<T> sorted;
        sorted.reserve(items.size());
        for (int index : indices)
            sorted.append(items.at(index));
        items.swap(sorted);
    }

    // The locale the order is built on: QLocale(), or en_US when that is C.
    static QLocale collationLocale();

private:
    QCollator m_collator;
};
