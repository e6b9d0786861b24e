#include "parserregistry.h"

#include "iformatparser.h"
#include "logmanager.h"
#include "textdetect.h"

#include <QFile>
#include <QFileInfo>

ParserRegistry &ParserRegistry::instance()
{
    static ParserRegistry registry;
    return registry;
}

void ParserRegistry::registerParser(const QString &key, ParserFactory factory)
{
    m_factories.insert(key, factory);
    QLOG_INFO().noquote() << "[ParserRegistry] 注册解析器:" << key;
}

IFormatParser *ParserRegistry::findParser(const QString &filePath) const
{
    const QString suffix = QFileInfo(filePath).suffix().toLower();
    if (suffix.isEmpty()) {
        qWarning().noquote() << "[ParserRegistry] 无法识别文件后缀:" << filePath;
        return nullptr;
    }

    if (suffix == QLatin1String("txt")) {
        const QString language = detectTxtLanguage(filePath);
        if (!language.isEmpty()) {
            const QString key = suffix + QLatin1Char('_') + language;
            const ParserFactory factory = m_factories.value(key, nullptr);
            if (factory) {
                QLOG_INFO().noquote() << "[ParserRegistry] 语言匹配:" << key;
                return factory();
            }
        }
        const ParserFactory factory = m_factories.value(suffix, nullptr);
        if (!factory) {
            qWarning().noquote() << "[ParserRegistry] 未找到 TXT 解析器";
            return nullptr;
        }
        QLOG_DEBUG().noquote() << "[ParserRegistry] 回退通用解析器:" << suffix;
        return factory();
    }

    const ParserFactory factory = m_factories.value(suffix, nullptr);
    if (!factory) {
        qWarning().noquote() << "[ParserRegistry] 未找到解析器:" << suffix;
        return nullptr;
    }
    QLOG_INFO().noquote() << "[ParserRegistry] 匹配解析器:" << suffix;
    return factory();
}

QString ParserRegistry::detectTxtLanguage(const QString &filePath)
{
    QFile file(filePath);
    // Only regular files: a directory is no book and a pipe would block.
    if (!QFileInfo(filePath).isFile() || !file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray head = file.read(qMin<qint64>(file.size(), 4000));
    file.close();
    const QString text = TextDetect::decodeText(head);
    if (text.isEmpty())
        return QString();
    return TextDetect::detectLanguage(text.left(1000));
}
