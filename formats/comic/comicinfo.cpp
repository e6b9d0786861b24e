#include "comicinfo.h"

#include "novelinfo.h"

#include <QXmlStreamReader>

namespace {

QString *textField(ComicInfo &info, QStringRef name)
{
    if (name == QLatin1String("Title")) return &info.title;
    if (name == QLatin1String("Series")) return &info.series;
    if (name == QLatin1String("Number")) return &info.number;
    if (name == QLatin1String("Writer")) return &info.writer;
    if (name == QLatin1String("Penciller")) return &info.penciller;
    if (name == QLatin1String("Summary")) return &info.summary;
    if (name == QLatin1String("Genre")) return &info.genre;
    if (name == QLatin1String("LanguageISO")) return &info.languageIso;
    if (name == QLatin1String("Publisher")) return &info.publisher;
    if (name == QLatin1String("Year")) return &info.year;
    if (name == QLatin1String("Month")) return &info.month;
    if (name == QLatin1String("Day")) return &info.day;
    return nullptr;
}

} // namespace

ComicInfo parseComicInfo(const QByteArray &xml)
{
    ComicInfo info;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QStringRef name = reader.name();
        if (name == QLatin1String("Page")) {
            const QXmlStreamAttributes attributes = reader.attributes();
            if (attributes.value(QLatin1String("Type")).compare(QLatin1String("FrontCover"), Qt::CaseInsensitive) == 0) {
                bool ok = false;
                const int image = attributes.value(QLatin1String("Image")).toString().toInt(&ok, 10);
                if (ok && image >= 0)
                    info.frontCoverIndex = image;
            }
        } else if (QString *field = textField(info, name)) {
            *field = reader.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement).trimmed();
        }
    }
    // All or nothing: a half-read document is not trusted.
    if (reader.hasError())
        return ComicInfo();
    return info;
}

QString comicInfoTitle(const ComicInfo &info, const QString &fileNameTitle)
{
    if (!info.title.isEmpty())
        return info.title;
    if (!info.series.isEmpty()) {
        if (info.number.isEmpty())
            return info.series;
        return QStringLiteral("%1 #%2").arg(info.series, info.number);
    }
    return fileNameTitle;
}

QString comicInfoPublishDate(const ComicInfo &info)
{
    if (info.year.isEmpty())
        return QString();
    QString date = info.year;
    // A day without its month says nothing a date can hold; the year stays.
    if (!info.month.isEmpty()) {
        date += QLatin1Char('-') + info.month.rightJustified(2, QLatin1Char('0'));
        if (!info.day.isEmpty())
            date += QLatin1Char('-') + info.day.rightJustified(2, QLatin1Char('0'));
    }
    return date;
}

void applyComicInfo(const ComicInfo &info, const QString &fileNameTitle, NovelInfo *novel)
{
    novel->setTitle(comicInfoTitle(info, fileNameTitle));
    if (!info.writer.isEmpty())
        novel->setAuthor(info.writer);
    else if (!info.penciller.isEmpty())
        novel->setAuthor(info.penciller);
    else
        novel->setAuthor(QStringLiteral("未知作者"));
    novel->setDescription(info.summary.isEmpty() ? QStringLiteral("未知简介") : info.summary);
    novel->setCategory(info.genre.section(QLatin1Char(','), 0, 0).trimmed());
    novel->setTags(info.genre);
    novel->setLanguage(info.languageIso);
    novel->setPublisher(info.publisher);
    novel->setPublishDate(comicInfoPublishDate(info));
}
