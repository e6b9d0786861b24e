#include "textdetect.h"

#include <QTextCodec>
#include <QtTest>

#include <memory>

namespace {

QByteArray encode(const char *codec, const QString &text)
{
    QTextCodec *c = QTextCodec::codecForName(codec);
    if (!c)
        return QByteArray();
    // No byte-order mark: the tests put marks in by hand.
    std::unique_ptr<QTextEncoder> encoder(c->makeEncoder(QTextCodec::IgnoreHeader));
    return encoder->fromUnicode(text);
}

// A few hundred characters of ordinary simplified-Chinese prose.
QString chineseProse(int repeats)
{
    QString text;
    for (int i = 0; i < repeats; ++i)
        text += QStringLiteral("第%1章 山雨欲来\n他推开窗，远处的山影在暮色里一点点沉下去。风里带着潮气，像是要下雨了。\n").arg(i + 1);
    return text;
}

}

class TestTextDetect : public QObject
{
    Q_OBJECT

private slots:
    void isValidUtf8_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("valid");
        QTest::newRow("empty") << QByteArray() << true;
        QTest::newRow("ascii") << QByteArray("abc") << true;
        QTest::newRow("chinese") << QStringLiteral("中文").toUtf8() << true;
        QTest::newRow("four-byte") << QByteArray("\xF0\x9F\x98\x80") << true;
        QTest::newRow("overlong passes") << QByteArray("\xC0\x80") << true;
        QTest::newRow("cut sequence") << QByteArray("\xE4\xB8") << false;
        QTest::newRow("lone continuation") << QByteArray("a\x80") << false;
        QTest::newRow("bad lead") << QByteArray("\xF8\x80\x80\x80\x80") << false;
        QTest::newRow("missing continuation") << QByteArray("\xE4" "ab") << false;
    }

    void isValidUtf8()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, valid);
        QCOMPARE(TextDetect::isValidUtf8(bytes), valid);
    }

    void decodeText_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");

        const QString prose = chineseProse(40);
        const QString rare = QStringLiteral("生僻字") + QChar(0x3400) + QString::fromUcs4(U"\U00020000")
                             + QStringLiteral("出现在书里。") + prose;

        QTest::newRow("utf8 mark") << QByteArray("\xEF\xBB\xBF" "A") << QStringLiteral("A");
        QTest::newRow("utf8 without mark") << prose.toUtf8() << prose;
        QTest::newRow("utf8 with mark") << QByteArray("\xEF\xBB\xBF") + prose.toUtf8() << prose;
        QTest::newRow("utf16le short") << QByteArray("\xFF\xFE\x41\x00\x42\x00", 6) << QStringLiteral("AB");
        QTest::newRow("utf16be short") << QByteArray("\xFE\xFF\x00\x41\x00\x42", 6) << QStringLiteral("AB");
        QTest::newRow("utf16le odd byte ignored") << QByteArray("\xFF\xFE\x41\x00\x42\x00\x43", 7)
                                                  << QStringLiteral("AB");
        QTest::newRow("utf16le chinese") << QByteArray("\xFF\xFE") + encode("UTF-16LE", prose) << prose;
        QTest::newRow("utf16be chinese") << QByteArray("\xFE\xFF") + encode("UTF-16BE", prose) << prose;
        QTest::newRow("gbk") << encode("GBK", prose) << prose;
        QTest::newRow("gb18030 four-byte characters") << encode("GB18030", rare) << rare;
        QTest::newRow("nul dropped, rest kept") << QByteArray("A\0B", 3) << QStringLiteral("AB");

        QByteArray withNuls = encode("GB18030", prose);
        withNuls.insert(withNuls.indexOf('\n') + 1, QByteArray("\0\0", 2));
        QTest::newRow("gb18030 with nul bytes") << withNuls << prose;

        QByteArray utf16Nul = QByteArray("\xFF\xFE") + encode("UTF-16LE", QStringLiteral("AB"));
        utf16Nul.insert(4, QByteArray("\0\0", 2));
        QTest::newRow("utf16 nul unit dropped") << utf16Nul << QStringLiteral("AB");

        // A head sample cut inside the last character stays UTF-8.
        const QString unended = prose.left(prose.size() - 1);
        QByteArray cut = unended.toUtf8();
        cut.chop(1);
        QTest::newRow("utf8 cut in last character") << cut << unended.left(unended.size() - 1);

        // GBK text whose bytes pair up like UTF-8 (C1 AA CD A8) is still GBK.
        const QString liantong = QStringLiteral("联通");
        QTest::newRow("gbk shaped like utf8") << encode("GBK", liantong) << liantong;
        // A few damaged bytes leave a UTF-8 book UTF-8, with a replacement
        // character where each damaged sequence was; mostly English with
        // curly quotes too, whose bytes GB18030 would read without complaint.
        QByteArray damaged = prose.toUtf8();
        damaged[damaged.indexOf(QStringLiteral("山").toUtf8()) + 1] = '\xFF';
        QString repaired = prose;
        repaired.replace(repaired.indexOf(QStringLiteral("山")), 1, QStringLiteral("\uFFFD\uFFFD\uFFFD"));
        QTest::newRow("utf8 with a damaged byte") << damaged << repaired;
        QString quoted;
        for (int i = 0; i < 300; ++i)
            quoted += QStringLiteral("\u201CNo,\u201D she said, \u201Cnot today.\u201D\n");
        QByteArray quotedBytes = quoted.toUtf8();
        quotedBytes.insert(quotedBytes.size() / 2, '\x9C');
        QTest::newRow("english utf8 with a stray byte")
            << quotedBytes << quoted.left(quoted.size() / 2) + QStringLiteral("\uFFFD") + quoted.mid(quoted.size() / 2);
        // Real GBK is not taken for damaged UTF-8.
        QTest::newRow("gbk with a few utf8-shaped pairs") << encode("GBK", QStringLiteral("联通") + prose)
                                                         << QStringLiteral("联通") + prose;

        const QString traditional = QStringLiteral("「請你再說一遍這句話。」他說。這裡沒有別人。\n").repeated(30);
        QTest::newRow("big5") << encode("Big5", traditional) << traditional;
        QTest::newRow("utf16le without mark") << encode("UTF-16LE", prose) << prose;
        QTest::newRow("utf16be without mark") << encode("UTF-16BE", prose) << prose;
        QString lone = prose;
        lone.insert(10, QChar(0xD800));
        QString mended = prose;
        mended.insert(10, QChar(QChar::ReplacementCharacter));
        QTest::newRow("lone surrogate") << QByteArray("\xFF\xFE") + encode("UTF-16LE", lone) << mended;
        QByteArray ruined = encode("GBK", prose);
        for (int i = 10; i < ruined.size(); i += 50)
            ruined[i] = '\xFF';
        QTest::newRow("gbk damaged beyond one in a hundred") << ruined << QString();
        QTest::newRow("null") << QByteArray() << QString();
        QTest::newRow("only nul bytes") << QByteArray(16, '\0') << QString();
        QByteArray junk;
        for (int i = 0; i < 4096; ++i)
            junk.append(char((i * 7919 + 13) % 256));
        QTest::newRow("binary junk") << junk << QString();
    }

    void decodeText()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        QCOMPARE(TextDetect::decodeText(bytes), expected);
    }

    void gbkWithStrayByte()
    {
        const QString prose = chineseProse(40);
        QByteArray bytes = encode("GBK", prose);
        QVERIFY(!TextDetect::isValidUtf8(bytes));
        // A broken half character in the middle of a long book.
        const int at = bytes.indexOf('\n', bytes.size() / 2) + 1;
        bytes.insert(at, '\xFF');
        const QString text = TextDetect::decodeText(bytes);
        QCOMPARE(text.count(QChar(QChar::ReplacementCharacter)), 1);
        QString repaired = text;
        repaired.remove(QChar(QChar::ReplacementCharacter));
        QCOMPARE(repaired, prose);
    }

    void largeGb18030BookDecodesAsOnePiece()
    {
        // Large books are decoded in pieces split at line feeds; the result
        // must equal one decoding of the whole, stray lead bytes before line
        // feeds included.
        // Lines of some 1,300 characters, each ending in a stray lead byte
        // (0.07 % of the text), so every piece boundary follows one.
        QString line = chineseProse(25) + QString::fromUcs4(U"\U00020000");
        line.remove(QLatin1Char('\n'));
        QString text;
        while (text.size() < 5 * 1024 * 1024)
            text += line + QLatin1Char('\n');
        QByteArray bytes = encode("GB18030", text);
        bytes.replace("\n", "\x81\n");
        QTextCodec *codec = QTextCodec::codecForName("GB18030");
        const QString whole = codec->toUnicode(bytes);
        QCOMPARE(whole.count(QChar(QChar::ReplacementCharacter)), text.count(QLatin1Char('\n')));
        QCOMPARE(TextDetect::decodeText(bytes), whole);
    }

    void tooManyStrayBytesIsNotGb18030()
    {
        // Latin-1 prose is no GB18030 text: the local codec takes it.
        QByteArray bytes;
        for (int i = 0; i < 50; ++i)
            bytes += "Un caf\xE9 au lait, s'il vous pla\xEEt. ";
        const QString text = TextDetect::decodeText(bytes);
        QVERIFY(!text.contains(QChar(0x4E00)));
        QVERIFY(text.startsWith(QLatin1String("Un caf")));
    }

    void detectLanguage_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("language");

        QTest::newRow("empty") << QString() << "unknown";
        QTest::newRow("english") << QStringLiteral("Hello, world!") << "en";
        QTest::newRow("simplified") << QStringLiteral("天色渐暗，山路上只剩他一个人。") << "zh_CN";
        QTest::newRow("traditional") << QStringLiteral("請記誰說過這話，讀書識字。") << "zh_TW";
        QTest::newRow("simplified dialogue") << QStringLiteral("“你说什么？”他说。“请再说一遍这句话，让我记住。”") << "zh_CN";
        QTest::newRow("shared characters only") << QStringLiteral("山水风") << "zh_CN";
        QTest::newRow("digits only") << QStringLiteral("1234 !!!") << "unknown";
        QTest::newRow("russian") << QStringLiteral("Привет, мир!") << "ru";
        QTest::newRow("arabic") << QStringLiteral("مرحبا بالعالم") << "ar";
        QTest::newRow("hindi") << QStringLiteral("नमस्ते दुनिया") << "hi";
        QTest::newRow("half and half is en") << QStringLiteral("山水风云abcd") << "en";
        QTest::newRow("chinese ahead") << QStringLiteral("山水风云天地人和一abcdefg12") << "zh_CN";
        QTest::newRow("punctuation and spaces only") << QStringLiteral(" ，。!? \n\t") << "unknown";
    }

    void detectLanguage()
    {
        QFETCH(QString, text);
        QFETCH(QString, language);
        QCOMPARE(TextDetect::detectLanguage(text), language);
    }

    void detectLanguageLooksAtTwoThousandUnits()
    {
        const QString text = QString(2000, QLatin1Char('a')) + QString(5000, QChar(0x5C71));
        QCOMPARE(TextDetect::detectLanguage(text), QStringLiteral("en"));
    }
};

QTEST_GUILESS_MAIN(TestTextDetect)
#include "tst_textdetect.moc"
