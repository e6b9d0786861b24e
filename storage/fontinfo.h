#pragma once

#include <QObject>
#include <QString>

// One imported user font (a row of font_info). A snapshot for QML: the
// setters store and never notify.
class FontInfo : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString id READ id WRITE setId)
    Q_PROPERTY(QString name READ name WRITE setName)
    Q_PROPERTY(QString family READ family WRITE setFamily)
    Q_PROPERTY(QString style READ style WRITE setStyle)
    Q_PROPERTY(QString path READ path WRITE setPath)
    Q_PROPERTY(qlonglong fileSize READ fileSize WRITE setFileSize)
    Q_PROPERTY(QString fileType READ fileType WRITE setFileType)
    Q_PROPERTY(QString createTime READ createTime WRITE setCreateTime)
    Q_PROPERTY(QString updateTime READ updateTime WRITE setUpdateTime)

public:
    explicit FontInfo(QObject *parent = nullptr);

    QString id() const { return m_id; }
    QString name() const { return m_name; }
    QString family() const { return m_family; }
    QString style() const { return m_style; }
    QString path() const { return m_path; }
    qlonglong fileSize() const { return m_fileSize; }
    QString fileType() const { return m_fileType; }
    QString createTime() const { return m_createTime; }
    QString updateTime() const { return m_updateTime; }

    void setId(const QString &id) { m_id = id; }
    void setName(const QString &name) { m_name = name; }
    void setFamily(const QString &family) { m_family = family; }
    void setStyle(const QString &style) { m_style = style; }
    void setPath(const QString &path) { m_path = path; }
    void setFileSize(qlonglong fileSize) { m_fileSize = fileSize; }
    void setFileType(const QString &fileType) { m_fileType = fileType; }
    void setCreateTime(const QString &createTime) { m_createTime = createTime; }
    void setUpdateTime(const QString &updateTime) { m_updateTime = updateTime; }

private:
    QString m_id;
    QString m_name;
    QString m_family;
    QString m_style;
    QString m_path;
    qlonglong m_fileSize = 0;
    QString m_fileType;
    QString m_createTime;
    QString m_updateTime;
};
