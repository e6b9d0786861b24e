#include "applicationcore.h"
#include "importoutcome.h"
#include "testenvironment.h"

#include <QtTest>

#include <memory>

namespace {

QByteArray testData(const QString &name)
{
    QFile file(QStringLiteral(QUILLORA_TEST_DATA_DIR "/") + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}

// Broken files through the real import: each is refused with its own cause.
class TestRefusals : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnvironment> env;
    std::unique_ptr<ApplicationCore> core;

private slots:
    void initTestCase()
    {
        env.reset(new TestEnvironment);
        QVERIFY(env->openDatabase());
        core.reset(new ApplicationCore);
    }

    void cleanupTestCase()
    {
        core.reset();
    }

    void refused_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("source");   // test data; empty: no file
        QTest::addColumn<int>("keep");         // bytes of it kept; -1: all, -2: half
        QTest::addColumn<QString>("message");

        const QString cutOff = QStringLiteral("文件已损坏或不完整（可能没有下载完），请重新获取该文件");
        QTest::newRow("missing EPUB") << "gone.epub" << "" << -1 << "文件不存在";
        QTest::newRow("missing CBZ") << "gone.cbz" << "" << -1 << "文件不存在";
        QTest::newRow("missing text") << "gone.txt" << "" << -1 << "文件不存在";
        QTest::newRow("empty EPUB") << "empty.epub" << "epub/calibre.epub" << 0 << "文件为空";
        QTest::newRow("truncated EPUB") << "cut.epub" << "epub/calibre.epub" << -2 << "EPUB " + cutOff;
        QTest::newRow("truncated CBZ") << "cut.cbz" << "comic/zip-tool.cbz" << -2 << "CBZ " + cutOff;
        QTest::newRow("truncated CB7") << "cut.cb7" << "comic/tool-made.cb7" << -2 << "CB7 " + cutOff;
        QTest::newRow("truncated MOBI") << "cut.mobi" << "mobi/mobi6.mobi" << -2 << "MOBI " + cutOff;
        QTest::newRow("truncated CBT") << "cut.cbt" << "comic/normalisation.cbt" << -2 << "CBT " + cutOff;
        QTest::newRow("truncated CBZ named .epub") << "cut-comic.epub" << "comic/zip-tool.cbz" << -2 << "EPUB " + cutOff;
        QTest::newRow("truncated PDF") << "cut.pdf" << "pdf/outline.pdf" << -2 << "PDF " + cutOff;
        QTest::newRow("password-protected PDF") << "locked.pdf" << "pdf/locked.pdf" << -1
                                                << "PDF 文件有密码保护，请先解除密码再导入";
        QTest::newRow("MOBI named .epub") << "book.epub" << "mobi/mobi6.mobi" << -1
                                          << "文件不是 EPUB 格式，而是 MOBI 电子书；请把扩展名改为 .mobi 后再导入";
        QTest::newRow("CBZ named .epub") << "comic.epub" << "comic/zip-tool.cbz" << -1
                                         << "文件不是 EPUB 格式，而是 ZIP 漫画压缩包；请把扩展名改为 .cbz 后再导入";
        QTest::newRow("PDF named .epub") << "paper.epub" << "pdf/outline.pdf" << -1
                                         << "文件不是 EPUB 格式，而是 PDF 文档；请把扩展名改为 .pdf 后再导入";
        QTest::newRow("EPUB named .pdf") << "book.pdf" << "epub/calibre.epub" << -1
                                         << "文件不是 PDF 格式，而是 EPUB 电子书；请把扩展名改为 .epub 后再导入";
        QTest::newRow("EPUB named .mobi") << "book.mobi" << "epub/calibre.epub" << -1
                                          << "文件不是 MOBI 格式，而是 EPUB 电子书；请把扩展名改为 .epub 后再导入";
        QTest::newRow("FB2 named .cbr") << "book.cbr" << "fb2/library.fb2" << -1
                                        << "文件不是 CBR 格式，而是 FB2 电子书；请把扩展名改为 .fb2 后再导入";
        QTest::newRow("text named .pdf") << "notes.pdf" << "xhtml/chapters.md" << -1
                                         << "文件不是 PDF 格式，而是纯文本；请把扩展名改为 .txt 后再导入";
        QTest::newRow("picture named .cbz") << "page.cbz" << "png" << -1 << "文件不是 CBZ 格式，而是图片";
        QTest::newRow("unknown bytes named .epub") << "noise.epub" << "noise" << -1
                                                   << "文件不是 EPUB 格式，无法识别其内容";
        QTest::newRow("text of spaces") << "blank.txt" << "spaces" << -1 << "文件中没有可读的文字";
    }

    void refused()
    {
        QFETCH(QString, name);
        QFETCH(QString, source);
        QFETCH(int, keep);
        const QString path = env->root() + QLatin1Char('/') + name;
        if (!source.isEmpty()) {
            QByteArray bytes = source == QLatin1String("png") ? QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(64, 'x')
                : source == QLatin1String("noise")            ? QByteArray(4000, '\x01') + QByteArray(100, '\0')
                : source == QLatin1String("spaces")           ? QByteArray(" \n\t\r\n   \n")
                                                              : testData(source);
            QVERIFY(!bytes.isEmpty());
            bytes.truncate(keep == -2 ? bytes.size() / 2 : keep == -1 ? bytes.size() : keep);
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(bytes), qint64(bytes.size()));
        }
        QTEST(importOutcome(*core, path), "message");
        QCOMPARE(core->getNovelList().size(), 0);
    }
};

QTEST_MAIN(TestRefusals)
#include "tst_refusals.moc"
