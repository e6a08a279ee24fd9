#include "platform/standard_streams.h"

#include <unistd.h>

namespace tambrel::platform {

void useBinaryStandardStreams() noexcept {
    // POSIX streams carry bytes as they are.
}

bool standardErrorIsTerminal() noexcept {
    return ::isatty(STDERR_FILENO) == 1;
}

} // namespace tambrel::platform
