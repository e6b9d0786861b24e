#pragma once

#include <QQuickImageProvider>

// Serves rendered page images to QML under the provider name "quillora".
class QuilloraImageProvider : public QQuickImageProvider
{
public:
    QuilloraImageProvider();
    ~QuilloraImageProvider() override = default;

    QImage requestImage(const QString &id, QSize *size, const QSize &requestedSize) override;
};
