#include "mobifixture.h"
#include "mobiparser.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace MobiFixture;
Q_DECLARE_METATYPE(MobiIndexTable)

// INDX decoding, KF8 part assembly and navigation.
class TestMobiIndex : public QObject
{
    Q_OBJECT

private:
    // Entries and strings as "label:tag=v,v;...|...#key=string".
    static QString render(const MobiIndexTable &t)
    {
        QStringList entries;
        for (const MobiIndexEntry &e : t.entries) {
            QString text = QString::fromLatin1(e.label) + ':';
            for (auto it = e.tags.begin(); it != e.tags.end(); ++it) {
                QStringList values;
                for (quint32 v : it.value())
                    values << QString::number(v);
                text += QString::number(it.key()) + '=' + values.join(',') + ';';
            }
            entries << text;
        }
        for (auto it = t.cncx.begin(); it != t.cncx.end(); ++it)
            entries << QString::number(it.key()) + '=' + it.value();
        return entries.join('|');
    }

    static MobiIndexTable skeletons(const QVector<QVector<quint32>> &rows) // count, start, length
    {
        MobiIndexTable t;
        for (const auto &r : rows)
            t.entries.append({"SKEL", {{1, {r[0]}}, {6, {r[1], r[2]}}}});
        return t;
    }

    static MobiIndexTable fragments(const QVector<QVector<quint32>> &rows) // insert, skeleton, length
    {
        MobiIndexTable t;
        t.cncx.insert(0, "aid");
        for (const auto &r : rows)
            t.entries.append({QByteArray::number(r[0]), {{2, {0}}, {3, {r[1]}}, {4, {0}}, {6, {0, r[2]}}}});
        return t;
    }

private slots:
    void readIndex_data()
    {
        QTest::addColumn<QList<QByteArray>>("records");
        QTest::addColumn<quint32>("encoding");
        QTest::addColumn<QString>("result");
        const QVector<IndexTag> one{{1, 1, 0x01, 0}, {0, 0, 0, 1}};
        const auto group = [](const QVector<IndexTag> &tags, const QByteArray &bytes, const QList<QByteArray> &cncx = {}) {
            return indexGroup(tags, 1, {{"e", bytes}}, cncx);
        };
        QTest::newRow("one value") << group(one, "\x01\x85") << 65001u << "e:1=5;";
        QTest::newRow("zero padding") << group(one, QByteArray("\x01\x85\0\0", 4)) << 65001u << "e:1=5;";
        QTest::newRow("data after values") << group(one, "\x01\x85\x01") << 65001u << "INDX 条目存在未解析数据";
        QTest::newRow("six-byte number") << group(one, QByteArray("\x01\0\0\0\0\0\x81", 7)) << 65001u << "TAGX 标签值无效";
        QTest::newRow("mask 0x0C, bits 0x08") << group({{1, 1, 0x0C, 0}, {0, 0, 0, 1}}, "\x08\x81\x82") << 65001u << "e:1=1,2;";
        QTest::newRow("value block") << group({{1, 1, 0x03, 0}, {0, 0, 0, 1}}, "\x03\x82\x81\x82") << 65001u << "e:1=1,2;";
        // Block lengths of every tag come first, then the values in tag order.
        QTest::newRow("two value blocks") << group({{1, 1, 0x03, 0}, {2, 1, 0x0C, 0}, {3, 1, 0x10, 0}, {0, 0, 0, 1}},
                                                   "\x1F\x82\x81\x81\x82\x83\x84")
                                          << 65001u << "e:1=1,2;2=3;3=4;";
        QTest::newRow("block past entry") << group({{1, 1, 0x03, 0}, {0, 0, 0, 1}}, "\x03\x85\x81") << 65001u << "TAGX 值块长度无效";
        QTest::newRow("block not whole pairs") << group({{1, 2, 0x03, 0}, {0, 0, 0, 1}}, "\x03\x81\x81") << 65001u << "TAGX 值块数量无效";
        QTest::newRow("control byte index") << group({{1, 1, 1, 0}, {0, 0, 0, 1}, {2, 1, 1, 0}}, "\x01\x81") << 65001u << "TAGX 控制字节索引越界";
        QTest::newRow("encoding 1200") << QList<QByteArray>{"x"} << 1200u << "INDX 文本编码不受支持";
        QList<QByteArray> sameOffsets = indexGroup(one, 1, {{"a", "\x01\x81"}, {"b", "\x01\x82"}});
        const int idxt = sameOffsets[1].indexOf("IDXT");
        sameOffsets[1].replace(idxt + 6, 2, sameOffsets[1].mid(idxt + 4, 2));
        QTest::newRow("IDXT offsets equal") << sameOffsets << 65001u << "IDXT 条目偏移无效";
        const QByteArray second = cncxRecord({"夜雨", "  "}) + QByteArray(3, '\0');
        QTest::newRow("CNCX strings") << group(one, "\x01\x81", {QByteArray(9, '\0'), second}) << 65001u
                                      << "e:1=1;|65536=夜雨|65543=  ";
        QTest::newRow("CNCX string past end") << group(one, "\x01\x81", {"\x85" "ab"}) << 65001u << "CNCX 字符串记录无效";
    }
    void readIndex()
    {
        QFETCH(QList<QByteArray>, records);
        QFETCH(quint32, encoding);
        MobiIndexTable table;
        QString error;
        const bool ok = MobiParser::readIndex(records, encoding, &table, &error);
        QTEST(ok ? render(table) : error, "result");
        if (ok)
            QCOMPARE(table.recordsUsed, records.size());
    }

    void assemble_data()
    {
        QTest::addColumn<MobiIndexTable>("skel");
        QTest::addColumn<MobiIndexTable>("frag");
        QTest::addColumn<QString>("result");
        QTest::newRow("two fragments") << skeletons({{2, 0, 20}}) << fragments({{10, 0, 5}, {15, 0, 3}})
                                       << "0123456789KLMNOPQRabcdefghij";
        QTest::newRow("second goes before the first") << skeletons({{2, 0, 20}}) << fragments({{15, 0, 5}, {10, 0, 3}})
                                                      << "0123456789PQRabcdeKLMNOfghij";
        QTest::newRow("two parts") << skeletons({{1, 0, 10}, {0, 15, 13}}) << fragments({{5, 0, 5}})
                                   << "01234abcde56789|fghijKLMNOPQR";
        QTest::newRow("no fragments") << skeletons({{0, 0, 28}}) << fragments({}) << "0123456789abcdefghijKLMNOPQR";
        QTest::newRow("other skeleton") << skeletons({{1, 0, 20}}) << fragments({{10, 1, 5}}) << "KF8 FRAG 正文范围无效";
        QTest::newRow("3 declared, 4 given") << skeletons({{3, 0, 20}}) << fragments({{1, 0, 1}, {1, 0, 1}, {1, 0, 1}, {1, 0, 1}})
                                             << "KF8 FRAG 条目数量不匹配";
        QTest::newRow("3 declared, 2 given") << skeletons({{3, 0, 20}}) << fragments({{1, 0, 1}, {1, 0, 1}}) << "KF8 FRAG 条目数量不足";
        QTest::newRow("insertion past part") << skeletons({{1, 0, 20}}) << fragments({{21, 0, 1}}) << "KF8 FRAG 插入位置无效";
        QTest::newRow("skeleton past flow") << skeletons({{0, 20, 9}}) << fragments({}) << "KF8 骨架正文范围无效";
        MobiIndexTable letters = fragments({{1, 0, 1}});
        letters.entries[0].label = "12a";
        QTest::newRow("label 12a") << skeletons({{1, 0, 20}}) << letters << "KF8 FRAG 条目无效";
        letters.entries[0].label = "4294967296";
        QTest::newRow("label past 32 bits") << skeletons({{1, 0, 20}}) << letters << "KF8 FRAG 条目无效";
        letters.entries[0].label = "1";
        letters.cncx.clear();
        QTest::newRow("aid missing") << skeletons({{1, 0, 20}}) << letters << "KF8 FRAG aid 无效";
        MobiIndexTable tooMany;
        tooMany.entries.resize(1000001);
        QTest::newRow("over a million fragments") << skeletons({{0, 0, 20}}) << tooMany << "KF8 FRAG 条目过多";
    }
    void assemble()
    {
        QFETCH(MobiIndexTable, skel);
        QFETCH(MobiIndexTable, frag);
        QList<QByteArray> parts;
        QString error;
        const bool ok = MobiParser::assembleMainFlow("0123456789abcdefghijKLMNOPQR", skel, frag, &parts, &error);
        QTEST(ok ? QString::fromLatin1(parts.join('|')) : error, "result");
    }

    // Insertion points in any order give what inserting one by one gives.
    void assembleMatchesPlainInsertion()
    {
        QRandomGenerator random(34);
        for (int round = 0; round < 200; ++round) {
            const QByteArray flow = QByteArray::number(random.generate64()).repeated(8);
            const quint32 start = random.bounded(5);
            const quint32 length = random.bounded(10);
            QByteArray expected = flow.mid(int(start), int(length));
            QVector<QVector<quint32>> rows;
            quint32 pos = start + length;
            while (pos < quint32(flow.size()) && rows.size() < 12) {
                const quint32 size = random.bounded(std::min<quint32>(6, quint32(flow.size()) - pos) + 1);
                const quint32 at = random.bounded(quint32(expected.size()) + 1);
                expected.insert(int(at), flow.mid(int(pos), int(size)));
                rows.append({start + at, 0, size});
                pos += size;
            }
            QList<QByteArray> parts;
            QVERIFY(MobiParser::assembleMainFlow(flow, skeletons({{quint32(rows.size()), start, length}}),
                                                 fragments(rows), &parts));
            QCOMPARE(parts.value(0), expected);
        }
    }

    void ncx_data()
    {
        QTest::addColumn<QVector<QVector<quint32>>>("targets"); // title key, fragment, offset
        QTest::addColumn<QString>("result");
        QTest::newRow("document order, first of equal targets")
            << QVector<QVector<quint32>>{{2, 1, 3}, {0, 0, 2}, {1, 0, 2}, {0, 1, 0}} << "A@0:7|A@1:5|C@1:8";
        // A damaged entry goes alone.
        QTest::newRow("title of spaces, no such fragment, no such title")
            << QVector<QVector<quint32>>{{3, 0, 0}, {0, 2, 0}, {1, 1, 1}, {9, 0, 0}} << "B@1:6";
        // Parent (fourth value) before its own title; one listed after its child is none.
        QTest::newRow("nested titles")
            << QVector<QVector<quint32>>{{0, 0, 0}, {1, 0, 1, 0}, {2, 1, 0, 1}, {1, 1, 2, 4}, {0, 1, 1, 3}}
            << "A@0:5|A - B@0:6|A - B - C@1:5|B - A@1:6|B@1:7";
    }
    void ncx()
    {
        QFETCH(QVector<QVector<quint32>>, targets);
        MobiIndexTable ncx;
        ncx.cncx = {{0, " A "}, {1, "B"}, {2, "C"}, {3, "   "}};
        for (const auto &t : targets)
            ncx.entries.append({"n", {{3, {t[0]}}, {6, {t[1], t[2]}}, {21, t.mid(3)}}});
        // Fragments at 5 (part 0) and 105 (part 1, which starts at 100).
        QList<Kf8NavEntry> navigation;
        QString error;
        QStringList found;
        if (MobiParser::readNcx(skeletons({{1, 0, 5}, {1, 100, 5}}), fragments({{5, 0, 1}, {105, 1, 1}}), ncx,
                                &navigation, &error)) {
            for (const Kf8NavEntry &n : navigation)
                found << QString("%1@%2:%3").arg(n.title).arg(n.partIndex).arg(n.offset);
        }
        QTEST(error.isEmpty() ? found.join('|') : error, "result");
    }
};

QTEST_GUILESS_MAIN(TestMobiIndex)
#include "tst_mobiindex.moc"
