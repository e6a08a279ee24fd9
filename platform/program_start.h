#pragma once
// Starting another program as one of its own, as a desktop application starts a helper
// (the audio mixer behind Volume): it outlives us, is not ours to reap, and inherits
// nothing of our connections.

#include <string>
#include <vector>

namespace tambrel::platform {

// Starts `program` (its full path) with `args` (not counting the program itself) in a
// session of its own, with its standard input and output on /dev/null, and returns without
// waiting for it. Nothing of it is left for us to reap. True when the program was started
// (its exec succeeded); false when it could not be.
[[nodiscard]] bool startProgram(const std::string& program, const std::vector<std::string>& args);

} // namespace tambrel::platform
