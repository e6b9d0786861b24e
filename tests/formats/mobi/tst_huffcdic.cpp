#include "huffcdic.h"
#include "mobifixture.h"

#include <QtTest>

using namespace MobiFixture;

// HUFF/CDIC decoding: table checks, nesting depth, cycles, limits, the cache.
class TestHuffCdic : public QObject
{
    Q_OBJECT

private:
    struct Case
    {
        QByteArray huff;
        QList<QByteArray> cdic;
        QByteArray input;
    };

    // A text of `symbols` over a dictionary the caller filled.
    static Case make(HuffCdicWriter &w, const QVector<int> &symbols, int bits = 8)
    {
        w.buildCodes();
        return {w.huffRecord(), w.cdicRecords(bits), w.encode(symbols)};
    }

    // A chain of `depth` non-literal entries, each naming the next, down to "x".
    static Case chain(int depth)
    {
        HuffCdicWriter w;
        int next = w.addLiteral("x");
        for (int i = 0; i < depth; ++i)
            next = w.addPhrase({next});
        return make(w, {next});
    }

    static void addRow(const char *name, const Case &c, qint64 limit, const QByteArray &output,
                       const QString &message, qint64 budget = HuffCdicDecoder::DefaultCacheBudget)
    {
        QTest::newRow(name) << c.huff << c.cdic << c.input << limit << budget << output << message;
    }

private slots:
    void load_data()
    {
        QTest::addColumn<QByteArray>("huff");
        QTest::addColumn<QList<QByteArray>>("cdic");
        QTest::addColumn<QString>("message");
        HuffCdicWriter w;
        for (int i = 0; i < 300; ++i)
            w.addLiteral(QByteArray::number(i));
        const Case c = make(w, {0});
        const QByteArray huff = c.huff;
        QCOMPARE(c.cdic.size(), 2); // 256 + 44 entries
        const auto patched = [](QByteArray bytes, int at, const QByteArray &with) {
            return bytes.replace(at, with.size(), with);
        };
        QTest::newRow("complete") << huff << c.cdic << "";
        QTest::newRow("HUFF of 15 bytes") << huff.left(15) << c.cdic << "HUFF 记录无效";
        QTest::newRow("HUFF header length 23") << patched(huff, 4, be32(23)) << c.cdic << "HUFF 记录无效";
        QTest::newRow("second table past end") << patched(huff, 12, be32(quint32(huff.size() - 255))) << c.cdic << "HUFF 记录无效";
        QTest::newRow("code length 0") << patched(huff, 24, be32(0x80)) << c.cdic << "HUFF 一级表无效";
        QTest::newRow("short code not terminal") << patched(huff, 24, be32(5)) << c.cdic << "HUFF 一级表终止位无效";
        QTest::newRow("CDIC header length 20") << huff << QList<QByteArray>{patched(c.cdic[0], 4, be32(20)), c.cdic[1]} << "CDIC 记录无效";
        QTest::newRow("CDIC bits 17") << huff << QList<QByteArray>{patched(c.cdic[0], 12, be32(17)), c.cdic[1]} << "CDIC 记录无效";
        QTest::newRow("CDIC total 0") << huff << QList<QByteArray>{patched(c.cdic[0], 8, be32(0)), c.cdic[1]} << "CDIC 记录无效";
        QTest::newRow("other total") << huff << QList<QByteArray>{c.cdic[0], patched(c.cdic[1], 8, be32(301))} << "CDIC 记录参数不一致";
        QTest::newRow("third CDIC") << huff << (c.cdic + QList<QByteArray>{c.cdic[1]}) << "CDIC 记录数量过多";
        QTest::newRow("one CDIC of two") << huff << c.cdic.mid(0, 1) << "CDIC 词条数量不完整";
        QTest::newRow("offset table cut") << huff << QList<QByteArray>{c.cdic[0], c.cdic[1].left(100)} << "CDIC 索引表越界";
        QTest::newRow("entry past record") << huff << QList<QByteArray>{c.cdic[0], patched(c.cdic[1], 16, be16(0xFFF0))} << "CDIC 词条偏移越界";
    }
    void load()
    {
        QFETCH(QByteArray, huff);
        QFETCH(QList<QByteArray>, cdic);
        QFETCH(QString, message);
        HuffCdicDecoder decoder;
        QString error;
        QCOMPARE(decoder.load(huff, cdic, &error), message.isEmpty());
        QCOMPARE(error, message);
    }

    void decompress_data()
    {
        QTest::addColumn<QByteArray>("huff");
        QTest::addColumn<QList<QByteArray>>("cdic");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<qint64>("limit");
        QTest::addColumn<qint64>("budget");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QString>("message");
        addRow("20 nested entries", chain(20), 10, "x", "");
        addRow("21 nested entries", chain(21), 10, "", "HUFF/CDIC 词典递归过深");

        HuffCdicWriter cycle;
        cycle.addLiteral("a");
        cycle.addPhrase({0, 1}); // names itself
        addRow("entry containing itself", make(cycle, {0, 1}), 10, "", "HUFF/CDIC 词典存在递归环");

        HuffCdicWriter nested;
        const int abc = nested.addLiteral("abc");
        const int def = nested.addLiteral("def");
        const int both = nested.addPhrase({abc, def});
        const Case n = make(nested, {abc, both, def});
        addRow("exact limit", n, 12, "abcabcdefdef", "");
        addRow("one byte short", n, 11, "", "HUFF/CDIC 解压结果超出正文长度");
        addRow("excess inside a nested entry", make(nested, {both}), 5, "", "HUFF/CDIC 解压结果超出正文长度");
        addRow("nothing cached", n, 12, "abcabcdefdef", "", 0);

        // Over 256 symbols: codes longer than 8 bits, several CDIC records.
        HuffCdicWriter wide;
        QVector<int> text;
        QByteArray expected;
        for (int i = 0; i < 600; ++i) {
            wide.addLiteral(QByteArray::number(i) + ',');
            text.append((i * 37) % 600);
            expected += QByteArray::number((i * 37) % 600) + ',';
        }
        const Case w = make(wide, text, 9);
        QVERIFY(wide.codeLength(0) > 8);
        addRow("codes over 8 bits", w, 1 << 20, expected, "");

        // Past the cache budget a phrase is expanded at every use; the work
        // that costs stays bounded.
        HuffCdicWriter costly;
        const int y = costly.addLiteral("y");
        const int nothing = costly.addPhrase({});
        const int one = costly.addPhrase(QVector<int>{y} + QVector<int>(10000, nothing));
        const Case k = make(costly, {costly.addPhrase(QVector<int>(500, one))});
        addRow("cached phrase used 500 times", k, 1000, QByteArray(500, 'y'), "");
        addRow("uncached phrase used 500 times", k, 1000, "", "HUFF/CDIC 词典展开超出上限", 0);
    }
    void decompress()
    {
        QFETCH(QByteArray, huff);
        QFETCH(QList<QByteArray>, cdic);
        QFETCH(QByteArray, input);
        QFETCH(qint64, limit);
        QFETCH(qint64, budget);
        QFETCH(QString, message);
        HuffCdicDecoder decoder;
        QVERIFY(decoder.load(huff, cdic));
        decoder.setCacheBudget(budget);
        for (int pass = 0; pass < 2; ++pass) { // the second pass reads cached expansions
            QByteArray output;
            QString error;
            QCOMPARE(decoder.decompress(input, &output, limit, &error), message.isEmpty());
            QCOMPARE(error, message);
            if (message.isEmpty())
                QTEST(output, "output");
            QVERIFY(decoder.cachedBytes() <= budget);
        }
    }
};

QTEST_GUILESS_MAIN(TestHuffCdic)
#include "tst_huffcdic.moc"
