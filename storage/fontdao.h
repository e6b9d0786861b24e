#pragma once

#include <QList>
#include <QObject>
#include <QString>

class FontInfo;
class QSqlQuery;

// Imported user fonts in font_info. Returned records get the parent the
// caller passes (or none) and belong to the caller.
class FontDao : public QObject
{
    Q_OBJECT

public:
    explicit FontDao(QObject *parent = nullptr);

    bool insert(const FontInfo *font);
    // True when the statement ran, also when no row had the id.
    bool remove(QString id);
    // One font stored under the path, or null (no log line).
    FontInfo *queryByPath(QString path, QObject *parent = nullptr);
    // Ordered by name without regard to case.
    QList<FontInfo *> queryAll(QObject *parent = nullptr);

    // The current row of an executed query; NULL columns read as empty or 0.
    static FontInfo *fromQuery(const QSqlQuery &query, QObject *parent);
};
