#pragma once

#include <QObject>
#include <QString>

class NovelInfo;

// Builds the book record of a single-file book.
class NovelParser : public QObject
{
    Q_OBJECT
public:
    explicit NovelParser(QObject *parent = nullptr) : QObject(parent) {}

    // A new record without a Qt parent; the caller owns it.
    virtual NovelInfo *parseNovel(const QString &filePath) = 0;
};
