#include "ui/resources.h"

#include <QtGlobal>

// Outside any namespace: the macro declares the generated registration function where it
// stands.
static bool registerResources() {
    Q_INIT_RESOURCE(resources);
    return true;
}

namespace tambrel {

void useResources() {
    static const bool registered = registerResources();
    (void)registered;
}

} // namespace tambrel
