#include "imagefixtures.h"
#include "pageimageloader.h"
#include "zipimageloader.h"

#include <QPainter>
#include <QTemporaryDir>
#include <QtTest>

class BenchPageImages : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void readCbz_data()
    {
        QTest::addColumn<int>("entries");
        QTest::addColumn<bool>("reverse");
        for (int n : {1000, 2000}) {
            QTest::addRow("%d in order", n) << n << false;
            QTest::addRow("%d reverse", n) << n << true;
        }
    }
    void readCbz()
    {
        QFETCH(int, entries);
        QFETCH(bool, reverse);
        const QString path = m_dir.filePath(QStringLiteral("%1.cbz").arg(entries));
        if (!QFile::exists(path)) {
            QVector<FixtureEntry> files;
            for (int i = 0; i < entries; ++i)
                files.append({QStringLiteral("pages/%1.jpg").arg(i, 5, 10, QLatin1Char('0')).toUtf8(), QByteArray(2048, char(i))});
            QVERIFY(writeZip(path, files, 0));
        }
        QBENCHMARK {
            ZipImageLoader::releaseZip(path); // the directory index is part of the cost
            for (int k = 0; k < entries; ++k) {
                const int i = reverse ? entries - 1 - k : k;
                ZipImageLoader::readEntry(path, QStringLiteral("pages/%1.jpg").arg(i, 5, 10, QLatin1Char('0')), false);
            }
        }
    }

    void decodeScaled_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        for (const auto &f : {std::make_tuple("JPEG", 4000, 6000), std::make_tuple("PNG", 3000, 4500)}) {
            QImage image(std::get<1>(f), std::get<2>(f), QImage::Format_RGB32);
            QLinearGradient g(0, 0, image.width(), image.height());
            g.setColorAt(0, Qt::white);
            g.setColorAt(1, Qt::darkBlue);
            QPainter(&image).fillRect(image.rect(), g);
            QTest::addRow("%s %dx%d", std::get<0>(f), std::get<1>(f), std::get<2>(f))
                << encodedImage(image, std::get<0>(f), 85);
        }
    }
    void decodeScaled()
    {
        QFETCH(QByteArray, bytes);
        QBENCHMARK { PageImageLoader::decodeScaled(bytes); }
    }
};

QTEST_GUILESS_MAIN(BenchPageImages)
#include "bench_pageimages.moc"
