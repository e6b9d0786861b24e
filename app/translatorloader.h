#pragma once

#include <QString>

class QCoreApplication;

// Target locale name for a LANGUAGE setting; values outside 0..7 give the
// system locale after a warning.
QString localeNameForLanguage(int language);

// Reads LANGUAGE from the settings file and installs the matching translator,
// falling back to English and then to none.
void loadTranslator(QCoreApplication &app);
