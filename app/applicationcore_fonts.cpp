#include "applicationcore.h"
#include "userfonts.h"

QVariantMap ApplicationCore::getFontMetadata(const QString &path)
{
    return UserFonts::fontMetadata(path);
}

void ApplicationCore::importFont(const QString &path)
{
    const UserFonts::ImportResult result = UserFonts::importFont(path, *fontDao, userFontIds);
    if (result.success)
        emit fontListChanged();
    emit fontImportFinished(result.success, result.message);
}

QVariantList ApplicationCore::getImportedFonts()
{
    return UserFonts::importedFonts(*fontDao);
}

void ApplicationCore::loadImportedFonts()
{
    UserFonts::registerSavedFonts(*fontDao, userFontIds);
}
