#include "fontinfo.h"

FontInfo::FontInfo(QObject *parent)
    : QObject(parent)
{
}
