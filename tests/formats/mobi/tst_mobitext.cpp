#include "mobifixture.h"
#include "mobiparser.h"
#include "mobitext.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace MobiFixture;

// Text records: trailing entries, LZ77, HUFF/CDIC, flows, decoding (the
// calibre books' text: tst_mobicontainer).
class TestMobiText : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    PalmDbBook open(const QByteArray &bytes)
    {
        PalmDbBook book;
        MobiParser::openPalmDb(book, writeBook(m_dir, bytes));
        return book;
    }

    // A KF8-only book of one uncompressed text record and an FDST record.
    static QByteArray kf8Book(const QByteArray &text, const QByteArray &fdst, quint32 flows)
    {
        Header h;
        h.version = 8;
        h.headerLength = 264;
        h.compression = 1;
        h.textLength = quint32(text.size());
        h.fdstRecord = 2;
        h.fdstFlowCount = flows;
        h.fragmentIndex = 2;
        h.skeletonIndex = 2;
        return palmDb("k", {headerRecord(h), text, fdst});
    }

private slots:
    void trailingEntries_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<int>("flags");
        QTest::addColumn<int>("payload");
        QTest::newRow("entry, then multibyte tail") << QByteArray("abcdeX\x01\x00\x00\x83", 10) << 3 << 5;
        QTest::newRow("two-byte entry size") << QByteArray("ab") + QByteArray(129, 'z') + backwardNumber(131) << 2 << 2;
        QTest::newRow("no terminating byte") << QByteArray("ab\x01\x01\x01\x01\x01") << 2 << -1;
        QTest::newRow("size 0") << QByteArray("ab\x80") << 2 << -1;
        QTest::newRow("size past start") << QByteArray("\x85") << 4 << -1;
        QTest::newRow("tail longer than record") << QByteArray("ab\x03") << 1 << -1;
    }
    void trailingEntries()
    {
        QFETCH(QByteArray, record);
        QFETCH(int, flags);
        int payload = -1;
        if (!stripTrailingEntries(record, quint16(flags), &payload))
            payload = -1;
        QTEST(payload, "payload");
    }

    void lz77_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QString>("detail");
        QTest::newRow("space pair") << QByteArray("\xC1") << 10 << QByteArray(" A") << "";
        QTest::newRow("overlapping copy") << QByteArray("a\x80\x0B") << 10 << QByteArray(7, 'a') << "";
        QTest::newRow("escaped bytes") << QByteArray("\x02\xE4\xB8x") << 10 << QByteArray("\xE4\xB8x") << "";
        QTest::newRow("escape cut short") << QByteArray("\x02\xE4") << 10 << QByteArray() << "偏移 0：字面量序列被截断";
        QTest::newRow("distance past output") << QByteArray("ab\x80\x18") << 10 << QByteArray()
                                              << "偏移 2：反向引用距离 3 无效，当前输出 2";
        QTest::newRow("reference cut short") << QByteArray("a\x80") << 10 << QByteArray() << "偏移 1：反向引用被截断";
        QTest::newRow("literal past limit") << QByteArray("abc") << 2 << QByteArray() << "偏移 2：字面量超出正文长度";
        QTest::newRow("pair past limit") << QByteArray("a\xC1") << 2 << QByteArray() << "偏移 1：空格组合超出正文长度";
    }
    void lz77()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, limit);
        QFETCH(QString, detail);
        QByteArray output;
        QString message;
        QCOMPARE(palmDocDecompress(input, limit, &output, &message), detail.isEmpty());
        QCOMPARE(message, detail);
        if (detail.isEmpty())
            QTEST(output, "output");
    }

    void synthetic_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("message");
        const QByteArray words = QByteArray("The road climbed on through the pines. 夜里下起了雨。\n").repeated(200);
        QList<QByteArray> records = textRecords(words, 1024, 2);
        const auto lzBook = [&](void (*change)(Header &), const QList<QByteArray> &texts) {
            Header h;
            h.textLength = quint32(words.size());
            h.recordSize = 1024;
            h.textRecordCount = quint16(texts.size());
            change(h);
            return palmDb("b", QList<QByteArray>{headerRecord(h)} + texts);
        };
        // Each record carries a multibyte tail of one byte and a 3-byte entry.
        QList<QByteArray> withTrailers;
        for (const QByteArray &r : records)
            withTrailers.append(r + QByteArray("\x00\x00\x00\x83", 4));
        QTest::newRow("LZ77 with trailing entries") << lzBook([](Header &h) { h.extraDataFlags = 3; }, withTrailers) << words << "";
        QTest::newRow("cut to the text length") << lzBook([](Header &h) { h.textLength = 100; }, records) << words.left(100) << "";
        QTest::newRow("records too short") << lzBook([](Header &h) { ++h.textLength; }, records) << QByteArray() << "MOBI 正文记录不完整";
        QTest::newRow("encrypted") << lzBook([](Header &h) { h.encryption = 2; }, records) << QByteArray() << "不支持带 DRM 的 MOBI 文件";
        QTest::newRow("record size 0") << lzBook([](Header &h) { h.recordSize = 0; }, records) << QByteArray() << "MOBI 正文长度无效";
        QTest::newRow("compression 3") << lzBook([](Header &h) { h.compression = 3; }, records) << QByteArray() << "MOBI 压缩方式不受支持";
        QTest::newRow("stored record too long") << lzBook([](Header &h) { h.compression = 1; h.recordSize = 100; }, records)
                                                << QByteArray() << "MOBI 正文记录过大";
        QByteArray palmDoc = lzBook([](Header &h) { h.mobi = false; }, records);
        QTest::newRow("PalmDOC TEXt/REAd") << palmDoc.replace(60, 8, "TEXtREAd") << words << "";
        records[1] = "\x80";
        QTest::newRow("bad LZ77 record") << lzBook([](Header &) {}, records) << QByteArray()
                                         << "PalmDOC 正文记录 2 解压失败：偏移 0：反向引用被截断";

        // HUFF/CDIC: literals and a phrase of two of them, over three text
        // records; four dictionary entries a CDIC record, so several records.
        HuffCdicWriter huff;
        const int w1 = huff.addLiteral("w1 "), w2 = huff.addLiteral("w2 "), w3 = huff.addLiteral("w3 ");
        const int phrase = huff.addPhrase({w1, w2});
        huff.buildCodes();
        const QList<QByteArray> cdic = huff.cdicRecords(2);
        Header hc;
        hc.compression = 17480;
        hc.textLength = 24;
        hc.textRecordCount = 3;
        hc.huffRecord = 4;
        hc.huffRecordCount = quint32(1 + cdic.size());
        QList<QByteArray> huffBook{headerRecord(hc), huff.encode({w1, phrase, w3}), huff.encode({w3, w2}),
                                   huff.encode({phrase}), huff.huffRecord()};
        QTest::newRow("HUFF/CDIC") << palmDb("h", huffBook + cdic) << QByteArray("w1 w1 w2 w3 w3 w2 w1 w2 ") << "";
        hc.huffRecordCount = 1;
        huffBook[0] = headerRecord(hc);
        QTest::newRow("HUFF/CDIC without CDIC") << palmDb("h", huffBook + cdic) << QByteArray() << "HUFF/CDIC 记录范围无效";
    }
    void synthetic()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, message);
        QString error;
        const QByteArray text = MobiParser::extractBookText(open(bytes), &error);
        QCOMPARE(error, message);
        QTEST(text, "text");
    }

    void flows_data()
    {
        QTest::addColumn<QByteArray>("fdst");
        QTest::addColumn<quint32>("count");
        QTest::addColumn<QList<QByteArray>>("flows");
        QTest::addColumn<QString>("message");
        const auto table = [](QVector<quint32> bounds) {
            QByteArray r = "FDST" + be32(12) + be32(quint32(bounds.size() / 2));
            for (quint32 b : bounds)
                r += be32(b);
            return r;
        };
        QTest::newRow("gap between flows") << table({0, 10, 12, 20}) << 2u
                                           << QList<QByteArray>{"0123456789", "cdefghij"} << "";
        QTest::newRow("overlapping flows") << table({0, 10, 5, 20}) << 2u << QList<QByteArray>() << "FDST flow 偏移无效";
        QTest::newRow("flow past text") << table({0, 10, 12, 99}) << 2u << QList<QByteArray>() << "FDST flow 偏移无效";
        QTest::newRow("count differs") << table({0, 10, 12, 20}) << 3u << QList<QByteArray>() << "FDST flow 表无效";
        QTest::newRow("one flow, no table") << QByteArray("none") << 1u
                                            << QList<QByteArray>{"0123456789abcdefghij"} << "";
    }
    void flows()
    {
        QFETCH(QByteArray, fdst);
        QFETCH(quint32, count);
        QFETCH(QString, message);
        const PalmDbBook book = open(kf8Book("0123456789abcdefghij", fdst, count));
        QString error;
        const QList<QByteArray> flows = MobiParser::extractFlows(book, book.kf8Section, &error);
        QCOMPARE(error, message);
        QTEST(flows, "flows");
    }

    // A stray NUL or control byte must not cost the rest of the text.
    void decode_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<quint32>("encoding");
        QTest::addColumn<QString>("text");
        QTest::newRow("UTF-8 with NUL") << QByteArray("山\0路\x01\tend\n", 13) << 65001u << "山路\tend\n";
        QTest::newRow("cp1252 with NUL") << QByteArray("a\0\x93q\x94\r", 6) << 1252u << "a“q”\r";
    }
    void decode()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(quint32, encoding);
        PalmDbBook book;
        book.header.textEncoding = encoding;
        QTEST(MobiParser::decodeBookText(book, bytes), "text");
    }
};

QTEST_GUILESS_MAIN(TestMobiText)
#include "tst_mobitext.moc"
