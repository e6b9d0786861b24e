// The helper that draws a book's pictures holds none of the program's files
// and, where the kernel has Landlock, can open nothing outside the folders it
// needs, however the drawing it is sent names a file.

#include "confinement.h"
#include "decodeservice.h"
#include "imagefixtures.h"
#include "logcapture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

namespace {

// What a descriptor of /proc names: a path, or "socket:[...]" and the like.
QString link(const QString &path)
{
    char target[4096];
    const ssize_t length = readlink(QFile::encodeName(path).constData(), target, sizeof target);
    return length > 0 ? QFile::decodeName(QByteArray(target, int(length))) : QString();
}

// The helpers this process started, by pid.
QList<pid_t> ownHelpers()
{
    QList<pid_t> found;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toInt() == getpid() && text.contains("(harbour-quillor"))
            found.append(pid_t(entry.toInt()));
    }
    return found;
}

QImage drawn(const QByteArray &drawing)
{
    return DecodeService::decode(DecodeWire::Kind::Drawing, drawing, DecodeWire::Policy()).image;
}

}

class TestConfinement : public QObject
{
    Q_OBJECT

private slots:
    void missingHelperSaidOnce()
    {
        const QString kept = QFile::decodeName(Confinement::helperPath());
        DecodeService::setHelperPath(QDir::tempPath() + QStringLiteral("/no-such-helper"));
        int said = 0;
        {
            LogCapture log;
            for (int i = 0; i < 50; ++i)
                QVERIFY(drawn("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"4\" height=\"4\"/>").isNull());
            said = log.count();
        }
        DecodeService::setHelperPath(kept);
        QCOMPARE(said, 1);
    }

    void holdsOnlyItsSocket()
    {
        QTemporaryDir dir;
        const QString book = dir.filePath(QStringLiteral("book.epub"));
        QFile(book).open(QIODevice::WriteOnly);
        // As a reader that forgets close-on-exec would hold a book.
        const int held = ::open(QFile::encodeName(book).constData(), O_RDONLY);
        QVERIFY(held >= 0);
        QVERIFY(!drawn("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"4\" height=\"4\"/>").isNull());
        ::close(held);
        const QList<pid_t> helpers = ownHelpers();
        QVERIFY(!helpers.isEmpty());
        for (pid_t pid : helpers) {
            const QString fds = QStringLiteral("/proc/%1/fd/").arg(pid);
            QVERIFY(link(fds + QLatin1Char('0')).startsWith(QLatin1String("socket:")));
            const QStringList open = QDir(fds).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
            QVERIFY(open.size() >= 3);
            for (const QString &fd : open) {
                const QString target = link(fds + fd);
                if (fd == QLatin1String("1") || fd == QLatin1String("2"))
                    QCOMPARE(target, link(QStringLiteral("/proc/self/fd/2")));
                else if (fd != QLatin1String("0"))
                    // Its own answer memory is kept; no file of the disk is.
                    QVERIFY2(!target.startsWith(QLatin1Char('/')) || target.startsWith(QLatin1String("/memfd:")),
                             qPrintable(fd + QLatin1String(" -> ") + target));
            }
        }
    }

    void reachesNothingOutside_data()
    {
        QTest::addColumn<QByteArray>("reference");
        QTest::addColumn<bool>("shown");
        QTest::newRow("picture inside the drawing") << QByteArray("data:image/png;base64,%1") << true;
        QTest::newRow("outside file by path") << QByteArray("%2") << false;
    }

    void reachesNothingOutside()
    {
        QFETCH(QByteArray, reference);
        QFETCH(bool, shown);
        if (!shown && Confinement::landlockAbi() == 0)
            QSKIP("This kernel has no Landlock: the helper reads what the user can.");
        QTemporaryDir dir;
        QImage red(8, 8, QImage::Format_RGB32);
        red.fill(Qt::red);
        const QByteArray png = encodedImage(red, "PNG");
        const QString secret = dir.filePath(QStringLiteral("secret.png"));
        QFile file(secret);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(png) == png.size());
        file.close();
        reference.replace("%1", png.toBase64()).replace("%2", QFile::encodeName(secret));
        // Straight to the helper, past the guard that would refuse the name.
        const QImage image = drawn("<svg xmlns=\"http://www.w3.org/2000/svg\" "
                                   "xmlns:xlink=\"http://www.w3.org/1999/xlink\" width=\"8\" height=\"8\">"
                                   "<image width=\"8\" height=\"8\" xlink:href=\"" + reference + "\"/></svg>");
        QVERIFY(!image.isNull());
        QCOMPARE(image.pixelColor(4, 4) == QColor(Qt::red), shown);
    }

};

QTEST_GUILESS_MAIN(TestConfinement)
#include "tst_confinement.moc"
