#include "mobifixture.h"
#include "mobiparser.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace MobiFixture;
using ExthItems = QList<QPair<quint32, QByteArray>>;
Q_DECLARE_METATYPE(ExthItems)

// PalmDB container, record 0, EXTH, the sections of combined files, and
// the text and KF8 parts of the books calibre made.
class TestMobiContainer : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString write(const QByteArray &bytes) { return writeBook(m_dir, bytes); }

    static QByteArray data(const QString &name)
    {
        QFile file(QFINDTESTDATA("../../data/mobi/" + name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Pieces of a calibre dump: each follows a "<!-- name -->" line.
    static QList<QByteArray> pieces(const QByteArray &dump)
    {
        QList<QByteArray> out;
        int at = dump.indexOf("<!-- ");
        while (at >= 0) {
            const int start = dump.indexOf('\n', at) + 1;
            const int next = dump.indexOf("<!-- ", start);
            out.append(dump.mid(start, next < 0 ? -1 : next - start));
            at = next;
        }
        return out;
    }

    static QByteArray book(const Header &h, int textRecords = 1, const QByteArray &name = "Palm Name")
    {
        QList<QByteArray> records{headerRecord(h)};
        for (int i = 0; i < textRecords; ++i)
            records.append(QByteArray("text"));
        return palmDb(name, records);
    }

private slots:
    // The books calibre made: sections, record 0 and EXTH; then the text,
    // KF8 parts and flows against the dumps kept beside them.
    void calibreBooks_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("mobiStart");
        QTest::addColumn<int>("kf8Start");
        QTest::addColumn<QString>("dump");
        QTest::newRow("MOBI 6") << "mobi6.mobi" << 0 << -1 << "mobi6";
        QTest::newRow("uncompressed") << "uncompressed.mobi" << 0 << -1 << "uncompressed";
        QTest::newRow("AZW3") << "kf8.azw3" << -1 << 0 << "kf8";
        QTest::newRow("combined") << "joint.mobi" << 0 << 9 << "joint";
        QTest::newRow("many chapters") << "toc.azw3" << -1 << 0 << "toc";
        QTest::newRow("images") << "images.mobi" << 0 << 11 << "";
        QTest::newRow("font") << "font.azw3" << -1 << 0 << "";
    }
    void calibreBooks()
    {
        QFETCH(QString, file);
        QFETCH(int, mobiStart);
        QFETCH(int, kf8Start);
        QFETCH(QString, dump);
        PalmDbBook book;
        QString error;
        QVERIFY2(MobiParser::openPalmDb(book, QFINDTESTDATA("../../data/mobi/" + file), &error), qPrintable(error));
        QVERIFY(MobiParser::isMobi(book));
        QVERIFY(!MobiParser::isEncrypted(book));
        QCOMPARE(MobiParser::mobiSection(book).startRecord, mobiStart);
        QCOMPARE(MobiParser::kf8Section(book).startRecord, kf8Start);
        QCOMPARE(MobiParser::hasKf8Section(book), kf8Start >= 0);
        if (kf8Start >= 0) {
            QCOMPARE(MobiParser::kf8Section(book).version, 8u);
            QVERIFY(MobiParser::kf8Section(book).skeletonIndexRecord != 0xFFFFFFFFu);
        }
        const MobiContentSection &s = mobiStart >= 0 ? book.mobiSection : book.kf8Section;
        QCOMPARE(s.extraDataFlags, quint16(3));
        QCOMPARE(s.compression, quint16(file.startsWith("uncompressed") ? 1 : 2));
        QCOMPARE(MobiParser::coverOffset(book), file == "images.mobi" ? 1u : 0xFFFFFFFFu);
        const MobiBookMetadata &m = MobiParser::metadata(book);
        QCOMPARE(QStringList({m.title, m.authors.join('&'), m.publisher, m.isbn, m.subjects.join(','), m.language,
                              m.description, m.publishingDate.left(10)}).join('|'),
                 QString("山路夜雨|林川&Lin_Chuan|青山出版社|9787000000001|小说,山水|zh|一个关于山路与夜雨的故事。|2020-05-01"));
        if (dump.isEmpty())
            return;

        if (mobiStart >= 0) {
            const QByteArray text = MobiParser::extractText(book, book.mobiSection, &error);
            QVERIFY2(!text.isEmpty(), qPrintable(error));
            QCOMPARE(text, data("expected/" + dump + "/text.html"));
            QCOMPARE(MobiParser::extractBookText(book), text);
        }
        if (kf8Start < 0)
            return;
        QList<QByteArray> parts;
        QList<QByteArray> flows;
        QList<Kf8NavEntry> navigation;
        QVERIFY2(MobiParser::loadKf8Content(book, &parts, &flows, &navigation, &error), qPrintable(error));
        QCOMPARE(parts, pieces(data("expected/" + dump + "/parts.html")));
        QCOMPARE(flows, pieces(data("expected/" + dump + "/flows.txt")));
        QVERIFY(!navigation.isEmpty());
        const QString html = MobiParser::decodeText(book, parts.at(navigation.first().partIndex), book.kf8Section);
        QVERIFY(html.contains(dump == "toc" ? "第1章" : "第一章 山路"));
        if (dump == "toc") {
            QCOMPARE(navigation.size(), 80);
            QCOMPARE(navigation.last().title, QString("第40章 - 第40节"));
        }
    }

    // What opening finds: title|authors|publisher|KF8 boundary|MOBI start|KF8 start,
    // or the message of a refused file, which leaves no records behind.
    void open_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("result");
        QByteArray countZero(78, '\0');
        QByteArray tableOut = countZero;
        tableOut[77] = 2;
        QByteArray equalOffsets = palmDb("x", {"aaaa", "bbbb"});
        equalOffsets.replace(86, 4, equalOffsets.mid(78, 4));
        QByteArray intoTable = palmDb("x", {"aaaa"});
        intoTable.replace(78, 4, be32(80));
        const auto with = [](void (*change)(Header &)) {
            Header h;
            change(h);
            return book(h, 2);
        };
        const auto exth = [](const ExthItems &items, const QByteArray &fullName = QByteArray()) {
            Header h;
            h.exth = items;
            h.fullName = fullName;
            return book(h, 2);
        };
        QTest::newRow("77 bytes") << QByteArray(77, 'x') << "无法打开 PalmDB 文件";
        QTest::newRow("no records") << countZero << "PalmDB 记录表无效";
        QTest::newRow("table past end") << tableOut << "PalmDB 记录表越界";
        QTest::newRow("equal offsets") << equalOffsets << "PalmDB 记录偏移无效";
        QTest::newRow("offset in table") << intoTable << "PalmDB 记录偏移无效";
        QTest::newRow("short record 0") << palmDb("x", {"short", "t"}) << "PalmDOC 头无效";
        QTest::newRow("no text records") << with([](Header &h) { h.textRecordCount = 0; }) << "PalmDOC 正文记录数量无效";
        QTest::newRow("not MOBI, not TEXt") << palmDb("x", {headerRecord({}).left(20), "t"}) << "文件不是 PalmDOC 或 MOBI";
        QTest::newRow("version 9") << with([](Header &h) { h.version = 9; }) << "仅支持 MOBI 版本 1–8";
        QTest::newRow("encoding 1200") << with([](Header &h) { h.encoding = 1200; }) << "MOBI 文本编码不受支持";
        QTest::newRow("short MOBI header") << with([](Header &h) { h.headerLength = 100; }) << "MOBI 头无效";
        QTest::newRow("KF8 flows without FDST") << with([](Header &h) {
            h.version = 8, h.headerLength = 264, h.fdstFlowCount = 2, h.fragmentIndex = h.skeletonIndex = 1;
        }) << "KF8 索引记录范围无效";
        QTest::newRow("full name") << exth({}, "  Full  ") << "Full|||-1|0|-1";
        QTest::newRow("503 wins, empty 503 does not") << exth({{503, "Updated"}, {503, " "}}, "Full")
                                                      << "Updated|||-1|0|-1";
        QTest::newRow("author once") << exth({{100, "A"}, {100, " A "}, {100, "B"}}) << "Palm Name|A&B||-1|0|-1";
        QTest::newRow("121 of 8 bytes ignored") << exth({{121, be32(7) + be32(1)}}) << "Palm Name|||-1|0|-1";
        // A record length near 4 GiB ends the walk; it must not wrap around.
        Header h;
        h.exth = {{100, "First"}, {101, "Publisher"}};
        QByteArray wrapping = headerRecord(h);
        wrapping.replace(wrapping.indexOf("Publisher") - 4, 4, be32(0xFFFFFFF8u));
        QTest::newRow("EXTH length does not wrap") << palmDb("x", {wrapping, "t"}) << "x|First||-1|0|-1";
        h.exth = {{121, be32(2)}};
        QTest::newRow("combined, no usable KF8 part")
            << palmDb("x", {headerRecord(h), "t", "BOUNDARY", headerRecord({}), "t"}) << "x|||2|0|-1";
        QTest::newRow("32-byte name") << palmDb(QByteArray(32, 'N'), {headerRecord({}), "t"})
                                      << QString(32, 'N') + "|||-1|0|-1";
    }
    void open()
    {
        QFETCH(QByteArray, bytes);
        PalmDbBook book;
        QString error;
        const bool ok = MobiParser::openPalmDb(book, write(bytes), &error);
        const MobiBookMetadata &m = book.metadata;
        QTEST(ok ? QStringList({m.title, m.authors.join('&'), m.publisher, QString::number(qint32(book.kf8BoundaryRecord)),
                                QString::number(book.mobiSection.startRecord),
                                QString::number(book.kf8Section.startRecord)}).join('|')
                 : error,
              "result");
        QCOMPARE(MobiParser::hasKf8Section(book), book.kf8Section.startRecord >= 0);
        QCOMPARE(MobiParser::recordCount(book) == 0 && book.filePath.isEmpty(), !ok);
    }

    // A PalmDOC book: its name up to a NUL, records by index, the last one
    // to the end of the file and bounded in size.
    void palmDocRecords()
    {
        PalmDbBook book;
        QString error;
        QVERIFY(MobiParser::openPalmDb(book, write(palmDb(QByteArray("Night\0Rain", 10), {headerRecord({}).left(16), "ab", "cde"},
                                                          "TEXt", "REAd")), &error));
        QVERIFY(MobiParser::isPalmDoc(book) && !MobiParser::isMobi(book));
        QCOMPARE(book.metadata.title, QString("Night"));
        QCOMPARE(MobiParser::readRecord(book, 2), QByteArray("cde"));
        QVERIFY(MobiParser::readRecord(book, 3, &error).isEmpty());
        QCOMPARE(error, QString("PalmDB 记录索引越界"));

        // A last record one byte over 100 MiB (a sparse file).
        const QString big = write(palmDb("x", {headerRecord({}), "t"}));
        QFile file(big);
        QVERIFY(file.resize(file.size() - 1 + 104857601));
        QVERIFY(MobiParser::openPalmDb(book, big, &error));
        QVERIFY(MobiParser::readRecord(book, 1, &error).isEmpty());
        QCOMPARE(error, QString("PalmDB 记录大小无效"));
    }
};

QTEST_GUILESS_MAIN(TestMobiContainer)
#include "tst_mobicontainer.moc"
