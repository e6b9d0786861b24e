#include "chinesebook.h"

#include <QFile>
#include <QStringList>

namespace ChineseBook {

QString write(const QString &dir, int chapters, int charsPerChapter)
{
    static const QStringList sentences{
        QStringLiteral("他走进了那座古老的城堡，四周一片寂静，只有风声在长廊里回荡。"),
        QStringLiteral("月光透过破碎的窗户洒在石板地上，映出斑驳的影子。"),
        QStringLiteral("“你终于来了。”一个低沉的声音从黑暗中传来。"),
        QStringLiteral("她握紧了手中的长剑，心跳得越来越快，却没有后退一步。"),
        QStringLiteral("远处的山谷里传来钟声，仿佛在诉说一段被遗忘的往事。"),
        QStringLiteral("集市上人声鼎沸，卖糖葫芦的老人笑着招呼每一个路过的孩子。")};
    QString text;
    int line = 0;
    for (int c = 1; c <= chapters; ++c) {
        text += QStringLiteral("第%1章 风起之时\n").arg(c);
        for (int size = 0; size < charsPerChapter; ++line) {
            const QString paragraph = QStringLiteral("　　") + sentences.at(line % sentences.size())
                + sentences.at((line * 7 + c) % sentences.size()) + QLatin1Char('\n');
            text += paragraph;
            size += paragraph.size();
        }
    }
    const QString path = dir + QStringLiteral("/风起.txt");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0)
        return QString();
    return path;
}

}
