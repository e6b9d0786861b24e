#include "chapterinfo.h"
#include "chapterregexdto.h"
#include "testenvironment.h"
#include "zhcntxtchapterparser.h"

#include <QFile>
#include <QSignalSpy>
#include <QTextCodec>
#include <QtTest>

#include <memory>

namespace {

struct ChapterList
{
    QVector<ChapterInfo *> items;
    ~ChapterList() { qDeleteAll(items); }
};

// Body text without any line that starts with 第 or 正.
QString body(int chars)
{
    const QString sentence = QStringLiteral("风吹过山岗，他想起了很多年前的事情。");
    QString text;
    while (text.size() < chars)
        text += sentence;
    return text.left(chars) + QLatin1Char('\n');
}

QString lines(const QStringList &list)
{
    return list.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QString name(int row)
{
    return ZhCnTxtChapterParser::builtinPatterns().at(row).first;
}

}

using Span = QPair<QString, QPair<int, int>>; // title, (start, end)
Q_DECLARE_METATYPE(QVector<Span>)

class TestZhCnChapterParser : public QObject
{
    Q_OBJECT

private:
    TestEnvironment m_env;

    static QVector<Span> spans(const QVector<ChapterInfo *> &chapters)
    {
        QVector<Span> out;
        for (ChapterInfo *c : chapters)
            out.append({c->title(), {c->startOffset(), c->endOffset()}});
        return out;
    }

private slots:
    void builtinPatternsCompile()
    {
        ZhCnTxtChapterParser parser;
        QCOMPARE(parser.regexes().size(), 5);
        for (ChapterRegexDto *dto : parser.regexes()) {
            QVERIFY2(dto->isValid(), qPrintable(dto->name()));
            QCOMPARE(dto->parent(), &parser);
        }
    }

    void chooseRegex_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("chosen"); // empty: none

        QString mixed;
        for (int i = 1; i <= 20; ++i) {
            mixed += QStringLiteral("第%1章 标题\n").arg(i) + body(200);
            if (i <= 3)
                mixed += QStringLiteral("第%1节 小节\n").arg(i) + body(50);
        }
        QTest::newRow("twenty 章 beat three 节") << mixed << name(0);
        QTest::newRow("equal counts: 章 first")
            << lines({"第一章 甲", "乙", "第一节 丙", "丁"}) << name(0);
        QTest::newRow("节 only") << lines({"第1节", "a", "第2节 x", "b"}) << name(1);
        QTest::newRow("回") << lines({"第一回 宴桃园豪杰三结义", "x", "第二回 张翼德怒鞭督邮"}) << name(2);
        QTest::newRow("卷 beats one 章")
            << lines({"第一卷 起", "第二卷 承", "第三章 转"}) << name(3);
        QTest::newRow("正文") << lines({"正文 1", "x", "正文 2 归来"}) << name(4);
        QTest::newRow("brackets and colon") << lines({"  【第十二章】：风雨", "x"}) << name(0);
        QTest::newRow("indented heading") << lines({"　　第十二章：风雨", "x"}) << name(0);
        QTest::newRow("no heading lines") << body(3000) << QString();
        QTest::newRow("heading after a line of white space")
            << QStringLiteral("　　\r第一章 开始\n") + body(100) << name(0);
        QTest::newRow("heading inside a body line")
            << lines({"第二天，他翻到了第三章", "正是那一天"}) << QString();
        QTest::newRow("headings only past the head")
            << body(10100) + QStringLiteral("第一章 x\n第二章 y\n") << QString();
        QTest::newRow("volume and chapter on one line count for 章")
            << lines({"第一卷 起 第一章 甲", "x", "第二章 乙", "y", "第二卷 承", "z"}) << name(0);
        QTest::newRow("empty") << QString() << QString();
    }

    void chooseRegex()
    {
        QFETCH(QString, text);
        QFETCH(QString, chosen);
        ZhCnTxtChapterParser parser;
        ChapterRegexDto *dto = parser.chooseRegex(text, 10000);
        QCOMPARE(dto ? dto->name() : QString(), chosen);
    }

    void splitChapters_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QVector<Span>>("expected");

        // Headings of the chosen form split everywhere, beyond the head too.
        {
            QString text;
            QVector<Span> expected;
            for (int i = 1; i <= 20; ++i) {
                const QString heading = QStringLiteral("第%1章 标题%1").arg(i);
                const int pos = text.size();
                text += heading + QLatin1Char('\n') + body(i == 10 ? 12000 : 300);
                if (i <= 3)
                    text += QStringLiteral("第%1节 小节\n").arg(i);
                if (!expected.isEmpty())
                    expected.last().second.second = pos - 1;
                expected.append({heading, {pos + int(heading.size()), -1}});
            }
            expected.last().second.second = text.size() - 1;
            QTest::newRow("pattern 1 across the whole text") << text << expected;
        }
        {
            const QString longHeading = QStringLiteral("第三章 ") + QString(50, QChar(0x5B57));
            const QString text = lines({"第一章 甲", "一", "第二章 乙", longHeading, "二"});
            const int second = text.indexOf(QStringLiteral("第二章"));
            QTest::newRow("over-long heading stays in its chapter")
                << text
                << QVector<Span>{{"第一章 甲", {5, second - 1}}, {"第二章 乙", {second + 5, text.size() - 1}}};
        }
        {
            const QString text = QStringLiteral("第一章  风起  \r\n正文一\r\n第二章\r\n正文二\r\n");
            const int second = text.indexOf(QStringLiteral("第二章"));
            QTest::newRow("CRLF lines, trimmed titles")
                << text
                << QVector<Span>{{"第一章  风起", {7, second - 1}}, {"第二章", {second + 3, text.size() - 1}}};
        }
        {
            // The mend: a body line that merely mentions a chapter is no heading.
            const QString text = lines({"第一章 起", "第二天，他翻到了第三章，", "第二章 承", "完"});
            const int second = text.indexOf(QStringLiteral("第二章"));
            QTest::newRow("heading must start the line")
                << text
                << QVector<Span>{{"第一章 起", {5, second - 1}}, {"第二章 承", {second + 5, text.size() - 1}}};
        }
        {
            // The mend: the prologue before the first heading is kept.
            const QString text = QStringLiteral("\n  楔子  \n很久以前。\n\n第一章 开端\n故事开始。\n");
            const int first = text.indexOf(QStringLiteral("第一章"));
            QTest::newRow("prologue becomes a leading chapter")
                << text
                << QVector<Span>{{"楔子", {3, first - 1}}, {"第一章 开端", {first + 6, text.size() - 1}}};
        }
        {
            const QString intro = QStringLiteral("内容简介：") + QString(60, QChar(0x8BF4));
            const QString text = intro + QStringLiteral("\n第1章\n甲\n");
            const int first = text.indexOf(QStringLiteral("第1章"));
            QTest::newRow("prologue title cut at 50")
                << text
                << QVector<Span>{{intro.left(50), {0, first - 1}}, {"第1章", {first + 3, text.size() - 1}}};
        }
        {
            const QString text = QStringLiteral(" \n\t\n第一章 甲\n乙\n第二章 丙\n丁\n");
            const int second = text.indexOf(QStringLiteral("第二章"));
            QTest::newRow("blank prologue is dropped")
                << text
                << QVector<Span>{{"第一章 甲", {9, second - 1}}, {"第二章 丙", {second + 5, text.size() - 1}}};
        }
        {
            // A volume heading may carry the chapter heading on its line; a
            // volume line alone stays in the chapter before it.
            const QString text = lines({"第一卷 少年 第一章 出城", "甲", "第二章 夜路", "乙", "第二卷　远行",
                                        "第二卷第三章 渡口", "丙", "第三卷 他读到第四章", "丁",
                                        "第四章 归来", "戊", "第五章 尾声", "己"});
            const int second = text.indexOf(QStringLiteral("第二章"));
            const int third = text.indexOf(QStringLiteral("第二卷第三章"));
            const int fourth = text.indexOf(QStringLiteral("第四章 归来"));
            const int fifth = text.indexOf(QStringLiteral("第五章"));
            QTest::newRow("volume heading before the chapter heading")
                << text
                << QVector<Span>{{"第一卷 少年 第一章 出城", {13, second - 1}},
                                 {"第二章 夜路", {second + 6, third - 1}},
                                 {"第二卷第三章 渡口", {third + 9, fourth - 1}},
                                 {"第四章 归来", {fourth + 6, fifth - 1}},
                                 {"第五章 尾声", {fifth + 6, text.size() - 1}}};
        }
        {
            // A contents list broken by a line the pattern does not take and by
            // blank lines is one chapter; the chapters it lists follow.
            const QString contents = lines({"第一回 甲", "第二回 乙", "第三回 丙", "第四至五回 丁", "第六回 戊", "",
                                            "第七回 己", ""});
            const QString text = QStringLiteral("目录\n") + contents + QStringLiteral("第一回 甲\n") + body(300)
                + QStringLiteral("第二回 乙\n") + body(300);
            const int list = text.indexOf(QStringLiteral("第一回"));
            const int first = text.indexOf(QStringLiteral("第一回"), list + 1);
            const int second = text.indexOf(QStringLiteral("第二回"), first);
            QTest::newRow("contents list interrupted")
                << text
                << QVector<Span>{{"目录", {0, list - 1}}, {"目录", {list, first - 1}},
                                 {"第一回 甲", {first + 5, second - 1}}, {"第二回 乙", {second + 5, text.size() - 1}}};
        }
        {
            // The title written again at the top of the chapter is text; a second
            // part under the same number is a chapter.
            const QString text = QStringLiteral("第三十七回 秋爽斋\n") + body(100)
                + QStringLiteral("第三十八回 林潇湘魁夺菊花诗 薛蘅芜讽和螃蟹咏\n\n    第三十八回林潇湘魁夺菊花诗薛蘅芜讽和螃蟹咏——\n")
                + body(100) + QStringLiteral("第三十九回 上\n") + body(100) + QStringLiteral("第三十九回 下\n") + body(100);
            const int b = text.indexOf(QStringLiteral("第三十八回"));
            const int c = text.indexOf(QStringLiteral("第三十九回 上"));
            const int d = text.indexOf(QStringLiteral("第三十九回 下"));
            QTest::newRow("repeated heading is text")
                << text
                << QVector<Span>{{"第三十七回 秋爽斋", {9, b - 1}}, {"第三十八回 林潇湘魁夺菊花诗 薛蘅芜讽和螃蟹咏", {b + 23, c - 1}},
                                 {"第三十九回 上", {c + 7, d - 1}}, {"第三十九回 下", {d + 7, text.size() - 1}}};
        }
        {
            const QString text(4000, QChar(0x5B57));
            QTest::newRow("no heading: size split titled 第N章")
                << text << QVector<Span>{{"第1章", {0, 2500}}, {"第2章", {2501, 3999}}};
        }
    }

    void splitChapters()
    {
        QFETCH(QString, text);
        QFETCH(QVector<Span>, expected);
        ZhCnTxtChapterParser parser;
        ChapterList list;
        list.items = parser.splitChapters(text, QStringLiteral("/b/chapter/"), QStringLiteral("nid"));
        QCOMPARE(spans(list.items), expected);
        for (int i = 0; i < list.items.size(); ++i) {
            ChapterInfo *c = list.items[i];
            QCOMPARE(c->chapterIndex(), i);
            QCOMPARE(c->prevChapter(), i ? list.items[i - 1]->id() : QString());
            QCOMPARE(c->nextChapter(), i + 1 < list.items.size() ? list.items[i + 1]->id() : QString());
            QCOMPARE(c->path(), QStringLiteral("/b/chapter/") + c->id() + QStringLiteral(".html"));
            QCOMPARE(c->novelId(), QStringLiteral("nid"));
        }
    }

    void isChapterTitle_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("heading");
        QTest::newRow("single character") << "第" << false;
        QTest::newRow("51 characters") << QStringLiteral("第一章") + QString(48, QChar(0x5B57)) << false;
        QTest::newRow("50 characters") << QStringLiteral("第一章") + QString(47, QChar(0x5B57)) << true;
        QTest::newRow("第十章 风云") << "第十章 风云" << true;
        QTest::newRow("padded 正文") << "  正文 3  " << true;
        QTest::newRow("节 digits") << "第12节" << true;
        QTest::newRow("bracketed") << "【第3卷】" << true;
        QTest::newRow("full-width digits") << "第１２章 夜" << true;
        QTest::newRow("正文 prefix") << "正文 第一回 宴桃园" << true;
        QTest::newRow("正文卷 prefix") << "正文卷　第〇二章" << true;
        QTest::newRow("mentioned in a sentence") << "第二天，他翻到了第三章" << false;
        QTest::newRow("plain prose") << "他走了。" << false;
    }

    void isChapterTitle()
    {
        QFETCH(QString, line);
        QFETCH(bool, heading);
        QCOMPARE(ZhCnTxtChapterParser::isChapterTitle(line), heading);
    }

    void regexDtoSignals()
    {
        ChapterRegexDto dto;
        QSignalSpy name(&dto, &ChapterRegexDto::nameChanged);
        QSignalSpy pattern(&dto, &ChapterRegexDto::patternStrChanged);
        QSignalSpy valid(&dto, &ChapterRegexDto::isValidChanged);
        QVERIFY(!dto.isValid());

        dto.setName(QStringLiteral("a"));
        dto.setName(QStringLiteral("a"));
        QCOMPARE(name.count(), 1);

        dto.setPatternStr(QStringLiteral("第\\d+章"));
        QVERIFY(dto.isValid());
        QVERIFY(dto.regex().match(QStringLiteral("第12章")).hasMatch());
        dto.setPatternStr(QStringLiteral("第\\d+章"));
        QCOMPARE(pattern.count(), 1);
        QCOMPARE(valid.count(), 1);

        dto.setPatternStr(QStringLiteral("第\\d+节"));
        QCOMPARE(valid.count(), 2); // emitted although still valid

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(
            "^\\[ChapterRegexDto\\] 正则编译失败： a \\| 错误： .+ \\| 表达式： \\(unclosed$")));
        dto.setPatternStr(QStringLiteral("(unclosed"));
        QVERIFY(!dto.isValid());

        dto.setPatternStr(QString());
        QVERIFY(!dto.isValid());
        QVERIFY(dto.regex().pattern().isEmpty());
    }

    void largeNovel_data()
    {
        QTest::addColumn<QByteArray>("codec");
        QTest::newRow("GB18030") << QByteArray("GB18030");
        QTest::newRow("UTF-8") << QByteArray("UTF-8");
    }

    void largeNovel()
    {
        QFETCH(QByteArray, codec);
        static const char *const digits[] = {"零", "一", "二", "三", "四", "五", "六", "七", "八", "九"};
        auto chinese = [](int n) {
            QString out;
            for (const QChar d : QString::number(n))
                out += QString::fromUtf8(digits[d.digitValue()]);
            return out;
        };

        const int count = 3000;
        QString text = QStringLiteral("书名：长夜\n作者：王五\n\n");
        QStringList titles{QStringLiteral("书名：长夜")};
        QVector<int> headingAt;
        for (int i = 1; i <= count; ++i) {
            const QString heading = QStringLiteral("第%1章 夜行%2").arg(chinese(i)).arg(i);
            headingAt.append(text.size());
            titles.append(heading);
            text += heading + QStringLiteral("\r\n") + body(300 + i % 200)
                    + QStringLiteral("第二天，他翻到了第三章。\n\n");
        }
        const QString path = m_env.root() + QStringLiteral("/novel-") + QString::fromLatin1(codec) + QStringLiteral(".txt");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QTextCodec::codecForName(codec)->fromUnicode(text));
        file.close();

        ZhCnTxtChapterParser parser;
        QString error;
        ChapterListResult result = parser.parseChapters(path, QStringLiteral("/d/"), QStringLiteral("n"), &error);
        ChapterList list;
        list.items = result.chapters;
        QCOMPARE(error, QString());
        QCOMPARE(result.text, text);
        QCOMPARE(list.items.size(), count + 1);
        QStringList got;
        for (ChapterInfo *c : list.items)
            got.append(c->title());
        QCOMPARE(got, titles);
        for (int i = 1; i <= count; ++i) {
            ChapterInfo *c = list.items[i];
            QCOMPARE(c->startOffset(), headingAt[i - 1] + int(titles[i].size()));
            const int end = i < count ? headingAt[i] - 1 : text.size() - 1;
            QCOMPARE(c->endOffset(), end);
        }
        QCOMPARE(list.items.first()->endOffset(), headingAt.first() - 1);
    }
};

QTEST_GUILESS_MAIN(TestZhCnChapterParser)
#include "tst_zhcnchapterparser.moc"
