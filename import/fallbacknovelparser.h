#pragma once

#include "novelparser.h"

// Book record of a plain-text file from its name alone.
class FallbackNovelParser : public NovelParser
{
    Q_OBJECT
public:
    explicit FallbackNovelParser(QObject *parent = nullptr);

    NovelInfo *parseNovel(const QString &filePath) override;
};
