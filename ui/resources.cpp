#include "ui/resources.h"

#include <QIcon>
#include <QtGlobal>

// Outside any namespace: the macro declares the generated registration function where it
// stands.
static bool registerResources() {
    Q_INIT_RESOURCE(resources);
    Q_INIT_RESOURCE(app_icon);
    return true;
}

namespace tambrel {

void useResources() {
    static const bool registered = registerResources();
    (void)registered;
}

QIcon applicationIcon() {
    useResources();
    QIcon icon;
    for (const int size : {48, 128, 256}) {
        icon.addFile(QStringLiteral(":/appicon/%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

} // namespace tambrel
