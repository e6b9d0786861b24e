// Every test and benchmark names the decoding helper it built: they run
// from folders of their own, and the program looks only beside itself.

#include "decodeservice.h"

#include <QCoreApplication>

namespace {

void nameHelper()
{
    DecodeService::setHelperPath(QStringLiteral(QUILLORA_DECODE_HELPER));
}

}

Q_COREAPP_STARTUP_FUNCTION(nameHelper)
