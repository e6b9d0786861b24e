#pragma once

#include "novelparser.h"

// Book record of a simplified-Chinese text file: title and author from the
// file name (《书名》作者：某人, [作者]书名, ...), overridden by what the head of
// the file says (书名：, 《…》, 作者：, 简介：).
class ZhCnTxtNovelParser : public NovelParser
{
    Q_OBJECT
public:
    explicit ZhCnTxtNovelParser(QObject *parent = nullptr);

    NovelInfo *parseNovel(const QString &filePath) override;
};
