#include "comicinfo.h"
#include "novelinfo.h"

#include <QtTest>

// Book fields from ComicInfo documents, one row per document.
class TestComicInfo : public QObject
{
    Q_OBJECT

private slots:
    void bookFields_data();
    void bookFields();
};

static QByteArray doc(const char *body)
{
    return QByteArray("<?xml version=\"1.0\" encoding=\"utf-8\"?><ComicInfo>") + body + "</ComicInfo>";
}

void TestComicInfo::bookFields_data()
{
    QTest::addColumn<QByteArray>("xml");
    // title|author|description|category|tags|language|publisher|date
    QTest::addColumn<QString>("fields");
    QTest::addColumn<int>("frontCover");

    const QString empty = QStringLiteral("Vol. 1|未知作者|未知简介||||");
    QTest::newRow("series and number") << doc("<Series>Tides</Series><Number>3</Number>")
                                       << "Tides #3|未知作者|未知简介||||" << -1;
    QTest::newRow("placeholders kept") << doc("<Series>%2 Days</Series><Number>%1</Number>")
                                       << "%2 Days #%1|未知作者|未知简介||||" << -1;
    QTest::newRow("series alone") << doc("<Series>Tides</Series>") << "Tides|未知作者|未知简介||||" << -1;
    QTest::newRow("title wins") << doc("<Series>Tides</Series><Number>3</Number><Title>Storm</Title>")
                                << "Storm|未知作者|未知简介||||" << -1;
    QTest::newRow("number alone") << doc("<Number>3</Number>") << empty << -1;
    QTest::newRow("full date") << doc("<Year>2020</Year><Month>5</Month><Day>7</Day>")
                               << "Vol. 1|未知作者|未知简介|||||2020-05-07" << -1;
    QTest::newRow("year and month") << doc("<Year>2020</Year><Month>5</Month>")
                                    << "Vol. 1|未知作者|未知简介|||||2020-05" << -1;
    QTest::newRow("day without month") << doc("<Year>2020</Year><Day>7</Day>")
                                       << "Vol. 1|未知作者|未知简介|||||2020" << -1;
    QTest::newRow("no year") << doc("<Month>5</Month><Day>7</Day>") << empty << -1;
    QTest::newRow("genre list") << doc("<Genre>Action, Comedy</Genre>")
                                << "Vol. 1|未知作者|未知简介|Action|Action, Comedy|||" << -1;
    QTest::newRow("genre leading comma") << doc("<Genre>,Action</Genre>")
                                         << "Vol. 1|未知作者|未知简介||,Action|||" << -1;
    QTest::newRow("penciller") << doc("<Penciller>Ann</Penciller>") << "Vol. 1|Ann|未知简介||||" << -1;
    QTest::newRow("writer first") << doc("<Penciller>Ann</Penciller><Writer>Bob</Writer>")
                                  << "Vol. 1|Bob|未知简介||||" << -1;
    QTest::newRow("trimmed, nested, others")
        << doc("<Meta><Title>  Storm \n</Title></Meta><Summary>Rain.</Summary><LanguageISO>en</LanguageISO>"
               "<Publisher>Tidal</Publisher>")
        << "Storm|未知作者|Rain.|||en|Tidal|" << -1;
    QTest::newRow("names are case-sensitive") << doc("<title>Storm</title>") << empty << -1;
    QTest::newRow("later empty replaces") << doc("<Writer>Bob</Writer><Writer></Writer>") << empty << -1;
    QTest::newRow("child element empties all") << doc("<Title>Storm</Title><Summary>a <b>b</b></Summary>")
                                               << empty << -1;
    QTest::newRow("not XML") << QByteArray("\x89PNG garbage") << empty << -1;
    QTest::newRow("truncated") << QByteArray("<ComicInfo><Title>Storm</Title>") << empty << -1;
    QTest::newRow("front cover, last valid wins")
        << doc("<Pages><Page Image=\"0\"/><Page Image=\"2\" Type=\"FrontCover\"/>"
               "<Page Image=\"5\" Type=\"frontcover\"/><Page Image=\"-1\" Type=\"FrontCover\"/>"
               "<Page Image=\"x\" Type=\"FrontCover\"/><Page Image=\"7\" Type=\"Story\"/></Pages>")
        << empty << 5;
    const QString utf16Doc = QStringLiteral("\ufeff<?xml version=\"1.0\" encoding=\"UTF-16\"?>"
                                            "<ComicInfo><Title>潮汐</Title></ComicInfo>");
    QTest::newRow("UTF-16 with declaration")
        << QByteArray(reinterpret_cast<const char *>(utf16Doc.utf16()), 2 * utf16Doc.size())
        << "潮汐|未知作者|未知简介||||" << -1;
}

void TestComicInfo::bookFields()
{
    QFETCH(QByteArray, xml);
    QFETCH(QString, fields);
    QFETCH(int, frontCover);

    const ComicInfo info = parseComicInfo(xml);
    NovelInfo novel;
    applyComicInfo(info, QStringLiteral("Vol. 1"), &novel);
    const QStringList got{novel.title(),    novel.author(),   novel.description(), novel.category(),
                          novel.tags(),     novel.language(), novel.publisher(),   novel.publishDate()};
    QStringList want = fields.split(QLatin1Char('|'));
    while (want.size() < got.size())
        want << QString();
    QCOMPARE(got, want);
    QCOMPARE(info.frontCoverIndex, frontCover);
}

QTEST_GUILESS_MAIN(TestComicInfo)
#include "tst_comicinfo.moc"
