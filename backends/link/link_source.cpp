// The one translation unit of the program that holds Link and its network code.
#include "backends/link/link_source.h"
#include "backends/link/basic_link_source.h"

#include <ableton/Link.hpp>

namespace tambrel::backends {

std::unique_ptr<LinkSource> joinLinkSession(const midiout::FrameClock& frames,
                                            std::int64_t delayFrames, double bpm) {
    auto source = std::make_unique<BasicLinkSource<ableton::Link>>(frames, delayFrames, bpm);
    source->link().enable(true);
    return source;
}

std::unique_ptr<LinkSource> joinLinkSession(std::shared_ptr<const midiout::FrameClock> frames,
                                            std::int64_t delayFrames, double bpm,
                                            bool startStopSync) {
    const midiout::FrameClock& clock = *frames;
    auto source = std::make_unique<BasicLinkSource<ableton::Link>>(
        clock, delayFrames, bpm, startStopSync, std::move(frames));
    source->link().enable(true);
    return source;
}

} // namespace tambrel::backends
