#include "platform/standard_streams.h"

#include <cstdio>
#include <fcntl.h>
#include <initializer_list>
#include <io.h>

namespace tambrel::platform {

void useBinaryStandardStreams() noexcept {
    for (std::FILE* stream : {stdout, stderr}) {
        std::fflush(stream);
        _setmode(_fileno(stream), _O_BINARY);
    }
}

bool standardErrorIsTerminal() noexcept {
    return _isatty(_fileno(stderr)) != 0;
}

} // namespace tambrel::platform
