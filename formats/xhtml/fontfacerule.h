#pragma once

#include <QString>
#include <QVector>

// One item of an @font-face src list.
struct FontFaceSource
{
    bool isUrl = false;     // url(...); false for local(...)
    QString value;          // unquoted, letter case kept
    QString format;         // of a following format(...), unquoted, lower case; may be empty
};

// One usable @font-face rule: it has a family and at least one source.
struct FontFaceRule
{
    QString stylesheetPath;     // key of the style text that holds the rule
    QString family;             // unquoted, letter case kept
    int weight = 400;           // 100..900
    bool italic = false;
    QVector<FontFaceSource> sources;
};
