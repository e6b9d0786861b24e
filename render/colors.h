#pragma once

#include <QColor>
#include <QString>

// CSS colour text to QColor, and the contrast helpers the renderer uses to
// adapt book colours to the reader's page colours. Stateless; thread-safe.
QColor parseCssColor(const QString &text);
QColor blendColor(const QColor &fg, const QColor &bg);
float contrastRatio(const QColor &fg, const QColor &bg);
QColor ensureContrast(const QColor &colour, const QColor &background, bool darkTheme);
QColor readableColor(const QColor &text, const QColor &background, const QColor &fallback,
                     float minRatio);
