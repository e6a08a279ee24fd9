#include "render_command.h"

namespace tambrel::tools {

std::optional<std::string> renderLoopToWav(const exporting::Loop&, const RenderSettings&,
                                           const std::string&) {
    return "render: the built-in synth is not part of this build (tambrel-pattern midi "
           "writes the notes for any synth)";
}

} // namespace tambrel::tools
