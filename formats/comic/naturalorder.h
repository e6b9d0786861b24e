#pragma once

#include <QCollator>
#include <QCollatorSortKey>
#include <QString>

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

    // The locale the order is built on: QLocale(), or en_US when that is C.
    static QLocale collationLocale();

private:
    QCollator m_collator;
};
