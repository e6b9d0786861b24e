#include "pdfnovelparser.h"

#include "pdfpageloader.h"

#include "bookrecord.h"
#include "decodeservice.h"
#include "imageutil.h"
#include "logmanager.h"
#include "novelinfo.h"
#include "pdfbook.h"
#include "pdffiles.h"
#include "pdfpageloader.h"

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

    PdfBook book(filePath);
    m_read = book.open() == PdfBook::Status::Read;
    m_facts = book.facts();
    if (!m_read) {
        qWarning().noquote() << "无法打开PDF文件:" << filePath;
        novel->setTitle(file.baseName());
        novel->setAuthor(QStringLiteral("未知作者"));
        return novel;
    }
    const PdfAnswers::Book &facts = book.facts();
    novel->setTitle(PdfFiles::bookTitle(facts.title, filePath));
    novel->setAuthor(facts.author.isEmpty() ? QStringLiteral("未知作者") : facts.author);
    novel->setDescription(facts.subject.isEmpty() ? QStringLiteral("未知简介") : facts.subject);
    novel->setLanguage(QStringLiteral("zh_CN"));
    // A book whose pages are not read (none, or past the page bound) has no cover.
    if (facts.pagePoints.isEmpty())
        return novel;
    const QSizeF points = facts.pagePoints.first();
    if (m_deferCover) {
        takeCover();
        m_coverThread = std::thread([this, filePath, points, dataDir] {
            m_cover = saveCover(filePath, points, dataDir);
        });
        return novel;
    }
    const QString cover = saveCover(filePath, points, dataDir);
    if (!cover.isEmpty())
        novel->setCoverPath(cover);
    return novel;
}

QString PdfNovelParser::saveCover(const QString &path, const QSizeF &points, const QString &dataDir)
{
    if (!(qMax(points.width(), points.height()) > 0))
        return QString();
    // A poster-sized (or UserUnit-scaled) page at screen dpi would need
    // gigabytes; the cover ends up at most MaxCoverSide anyway.
    DecodeWire::PdfPart pdf;
    pdf.page = 0;
    pdf.dpi = PdfFiles::screenFitDpi(points.width(), 100, 300, 200);
    pdf.longestSide = MaxCoverRenderSide;
    const DecodeService::Result drawn = PdfPageLoader::draw(path, pdf, DecodeWire::Policy());
    if (drawn.status == DecodeService::Status::Refused || drawn.status == DecodeService::Status::SizeRefused)
        qWarning().noquote() << "PDF封面超出处理预算，不生成封面:" << path;
    QImage image = drawn.status == DecodeService::Status::Done ? drawn.image : QImage();
    if (image.isNull())
        return QString();

    image = ImageUtil::cropBorders(image, 8, 240);
    if (image.width() > 0 && image.height() > qRound(image.width() * 2.0))
        image = image.copy(0, 0, image.width(), qRound(image.width() * 1.4));
    if (image.width() > MaxCoverSide || image.height() > MaxCoverSide)
        image = ImageUtil::smoothScaled(
            image, image.size().scaled(MaxCoverSide, MaxCoverSide, Qt::KeepAspectRatio));

    const QString saved = QDir(dataDir).absoluteFilePath(QLatin1String(PdfFiles::CoverFile));
    if (!image.save(saved, "JPEG", 85))
        return QString();
    QLOG_INFO().noquote() << "PDF封面已保存:" << saved;
    return saved;
}
