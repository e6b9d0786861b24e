#include "naturalorder.h"

QLocale NaturalOrder::collationLocale()
{
    const QLocale locale;
    if (locale.language() == QLocale::C)
        return QLocale(QLocale::English, QLocale::UnitedStates);
    return locale;
}

NaturalOrder::NaturalOrder()
    : m_collator(collationLocale())
{
    m_collator.setCaseSensitivity(Qt::CaseInsensitive);
    m_collator.setNumericMode(true);
}
