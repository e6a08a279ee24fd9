#pragma once
// Whether a test may skip when a sound server that it starts for itself (PulseAudio,
// PipeWire) cannot run on this machine, rather than fail: the one place where every such
// test asks, so that a run which must test them all can say no here.

namespace tambrel::testing {

inline bool mayRunWithoutServer() {
    return true;
}

} // namespace tambrel::testing
