#include "mobiparser.h"

#include "bookrecord.h"
#include "keys.h"
#include "mobitext.h"
#include "novelinfo.h"
#include "parserregistry.h"
#include "paths.h"

#include <QDir>
#include <QFileInfo>

namespace {

const ParserRegistration mobiRegistration("mobi", &MobiParser::create);
const ParserRegistration azw3Registration("azw3", &MobiParser::createAzw3);
const ParserRegistration kf8Registration("kf8", &MobiParser::createKf8);

}

MobiParser::MobiParser() = default;
MobiParser::~MobiParser() = default;

IFormatParser *MobiParser::create()
{
    return new MobiParser;
}

IFormatParser *MobiParser::createAzw3()
{
    return new MobiParser;
}

IFormatParser *MobiParser::createKf8()
{
    return new MobiParser;
}

ParseResult MobiParser::parseBookInfo(const QString &filePath)
{
    QString error;
    if (!openPalmDb(book, filePath, &error))
        return ParseResult::failed(error);
    // Refused before anything is written for the book.
    if (isEncrypted(book))
        return ParseResult::failed(QStringLiteral("不支持带 DRM 的 MOBI 文件"));
    const bool kf8 = hasKf8Section(book);
    if (!isSupportedCompression(kf8 ? book.kf8Section.compression : book.header.compression))
        return ParseResult::failed(QStringLiteral("MOBI 压缩方式不受支持"));

    const QString bookId = bookIdForPath(filePath);
    openedPath = filePath;
    if (!stage.begin(bookId))
        return ParseResult::failed(QStringLiteral("无法创建 MOBI 数据目录"));
    dataDir = stage.dataDir();
    if (!extractResources(&error))
        return ParseResult::failed(error);

    const MobiBookMetadata &meta = book.metadata;
    NovelInfo *novel = newBookRecord(filePath, kf8 ? QStringLiteral("AZW3") : QStringLiteral("MOBI"));
    novel->setTitle(meta.title.isEmpty() ? QFileInfo(filePath).completeBaseName() : meta.title);
    novel->setAuthor(meta.authors.isEmpty() ? QStringLiteral("未知作者")
                                            : meta.authors.join(QStringLiteral(", ")));
    novel->setDescription(meta.description.isEmpty() ? QStringLiteral("未知简介") : meta.description);
    novel->setCategory(meta.subjects.value(0));
    novel->setTags(meta.subjects.join(QLatin1Char(',')));
    novel->setLanguage(meta.language);
    novel->setPublisher(meta.publisher);
    novel->setPublishDate(meta.publishingDate);
    novel->setIsbn(meta.isbn);
    novel->setFileSize(qMin<qint64>(novel->fileSize(), 2147483647));
    novel->setLoadStatus(0);

    if (book.coverOffset <= 0x7FFFFFFEu) {
        const int cover = int(book.coverOffset);
        const QString name = kf8 ? resourceNamesByIndex.value(cover)
                                 : imageNamesByNumber.value(cover + 1);
        const QString path = savedFilePaths.value(name);
        if (!name.isEmpty() && !path.isEmpty())
            novel->setCoverPath(path);
    }

    return ParseResult::ofNovel(novel);
}

bool MobiParser::finishImport(bool success)
{
    if (!success)
        stage.abandon();
    return true;
}
