#include "app/appicon.h"

#include <QDirIterator>

QIcon applicationIcon()
{
    // The resource lives in a static library, whose objects the linker drops
    // unless something refers to them: this does.
    Q_INIT_RESOURCE(appicon);

    QIcon icon;
    QDirIterator pictures(QStringLiteral(":/appicon"), {QStringLiteral("*.png")}, QDir::Files);
    while (pictures.hasNext())
        icon.addFile(pictures.next());
    return icon;
}
