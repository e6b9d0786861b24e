#include "pdfnovelparser.h"

#include "bookrecord.h"
#include "imageutil.h"
#include "logmanager.h"
#include "novelinfo.h"
#include "pdffiles.h"
#include "pdfpageloader.h"

#include <poppler-qt5.h>

#include <QDir>
#include <QFileInfo>
#include <QImage>

#include <limits>

PdfNovelParser::PdfNovelParser(QObject *parent) : NovelParser(parent) {}

PdfNovelParser::~PdfNovelParser()
{
    takeCover();
}

QString PdfNovelParser::takeCover()
{
    if (m_coverThread.joinable())
        m_coverThread.join();
    const QString cover = m_cover;
    m_cover.clear();
    return cover;
}

NovelInfo *PdfNovelParser::parseNovel(const QString &filePath)
{
    const QFileInfo file(filePath);
    NovelInfo *novel = newBookRecord(filePath, QStringLiteral("PDF"));
    const QString dataDir = m_coverDir.isEmpty() ? novel->dataDir() : m_coverDir;
    QDir().mkpath(dataDir);
    // Readers of the record keep the size in 32 bits.
    novel->setFileSize(qMin<qint64>(file.size(), std::numeric_limits<qint32>::max()));

    QVector<int> refused;
    const std::unique_ptr<Poppler::Document> document = PdfPageLoader::openDocument(filePath, nullptr, &refused);
    if (!document || document->isLocked()) {
        qWarning().noquote() << "无法打开PDF文件:" << filePath;
        novel->setTitle(file.baseName());
        novel->setAuthor(QStringLiteral("未知作者"));
        return novel;
    }
    const QString author = document->info(QStringLiteral("Author"));
    const QString subject = document->info(QStringLiteral("Subject"));
    novel->setTitle(PdfFiles::bookTitle(document.get(), filePath));
    novel->setAuthor(author.isEmpty() ? QStringLiteral("未知作者") : author);
    novel->setDescription(subject.isEmpty() ? QStringLiteral("未知简介") : subject);
    novel->setLanguage(QStringLiteral("zh_CN"));
    // A first page that may not be drawn gives no cover.
    if (refused.value(0, -1) == 0)
        return novel;
    if (m_deferCover) {
        takeCover();
        // Poppler documents are not shared between threads: the cover opens its own.
        m_coverThread = std::thread([this, filePath, dataDir] {
            const std::unique_ptr<Poppler::Document> own = PdfPageLoader::openDocument(filePath);
            if (own && !own->isLocked())
                m_cover = saveCover(own.get(), dataDir);
        });
        return novel;
    }
    const QString cover = saveCover(document.get(), dataDir);
    if (!cover.isEmpty())
        novel->setCoverPath(cover);
    return novel;
}

QString PdfNovelParser::saveCover(Poppler::Document *document, const QString &dataDir)
{
    if (!document || document->numPages() <= 0)
        return QString();
    QImage image;
    {
        const std::unique_ptr<Poppler::Page> page(document->page(0));
        if (!page)
            return QString();
        const QSizeF points = page->pageSizeF();
        const double longer = qMax(points.width(), points.height());
        if (!(longer > 0))
            return QString();
        double dpi = PdfFiles::screenFitDpi(points.width(), 100, 300, 200);
        // A poster-sized (or UserUnit-scaled) page at screen dpi would need
        // gigabytes; the cover ends up at most MaxCoverSide anyway.
        if (longer / 72.0 * dpi > MaxCoverRenderSide)
            dpi = MaxCoverRenderSide * 72.0 / longer * (1.0 - 1e-6);
        image = page->renderToImage(dpi, dpi);
    }
    if (image.isNull())
        return QString();

    image = ImageUtil::cropBorders(image, 8, 240);
    if (image.width() > 0 && image.height() > qRound(image.width() * 2.0))
        image = image.copy(0, 0, image.width(), qRound(image.width() * 1.4));
    if (image.width() > MaxCoverSide || image.height() > MaxCoverSide)
        image = ImageUtil::smoothScaled(
            image, image.size().scaled(MaxCoverSide, MaxCoverSide, Qt::KeepAspectRatio));

    const QString path = QDir(dataDir).absoluteFilePath(QLatin1String(PdfFiles::CoverFile));
    if (!image.save(path, "JPEG", 85))
        return QString();
    QLOG_INFO().noquote() << "PDF封面已保存:" << path;
    return path;
}
