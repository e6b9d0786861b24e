#pragma once

#include "novelparser.h"
#include "svgguard.h"

#include <QByteArray>
#include <QMap>
#include <QString>

class EpubArchive;
class NovelInfo;

// The book record of an EPUB: package metadata, data folder and cover.
class EpubNovelParser : public NovelParser
{
    Q_OBJECT
public:
    explicit EpubNovelParser(QObject *parent = nullptr);

    // Null only when a file the chapter step depends on cannot be written.
    NovelInfo *parseNovel(const QString &filePath) override;
    // Where the files are written instead of the book's data folder; the
    // record still names the data folder.
    void setWriteDir(const QString &dir) { m_writeDir = dir; }

    struct ManifestItem
    {
        QString href;
        QString mediaType;
    };
    using Manifest = QMap<QString, ManifestItem>;

    // Covers larger than this are refused before they are decoded.
    static constexpr qint64 MaxCoverPixels = 100 * 1000 * 1000;
    // The cover as PNG bytes, scaled and cropped; empty on failure, with
    // unavailable set when no decoding helper could read it (the book is
    // then not stored without it). A drawing's references reach only the
    // resources of its book, found relative to its own path there.
    static QByteArray convertCover(const QByteArray &imageBytes, const QString &selfPath = QString(),
                                   const SvgGuard::Resources &resources = SvgGuard::Resources(),
                                   bool *unavailable = nullptr);

private:
    QString readContainer(EpubArchive &zip);
    void readOpf(const QString &opfText, NovelInfo *novel, Manifest *manifest);
    QString findCoverImage(const QString &opfText, const Manifest &manifest);

    QString m_writeDir;
};
