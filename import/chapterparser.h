#pragma once

#include <QObject>
#include <QString>
#include <QVector>

class ChapterInfo;

// The chapters of a book (new objects without a Qt parent, owned by the
// caller) and the whole decoded text they index into; text is empty on
// failure.
struct ChapterListResult
{
    QVector<ChapterInfo *> chapters;
    QString text;
};

// Reads a single-file book whole and splits it into chapters.
class ChapterParser : public QObject
{
    Q_OBJECT
public:
    explicit ChapterParser(QObject *parent = nullptr) : QObject(parent) {}

    // error may be null; when given it receives a user-facing reason.
    virtual ChapterListResult parseChapters(const QString &filePath, const QString &dataDir,
                                            const QString &novelId, QString *error) = 0;
    virtual bool writeChapterFiles(const QVector<ChapterInfo *> &chapters, const QString &text) = 0;
};
