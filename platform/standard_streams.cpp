#include "platform/standard_streams.h"

namespace tambrel::platform {

void useBinaryStandardStreams() noexcept {
    // POSIX streams carry bytes as they are.
}

} // namespace tambrel::platform
