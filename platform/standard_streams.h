#pragma once
// Standard output and error as byte streams: what a command-line program writes there
// arrives unchanged, so that it writes the same bytes on every platform (Windows would
// otherwise turn every LF into CR LF, and a pattern file's CR LF into CR CR LF).

namespace tambrel::platform {

// Call before the first write to either stream.
void useBinaryStandardStreams() noexcept;

// Whether standard error is a terminal, where a person may be watching a long job.
bool standardErrorIsTerminal() noexcept;

} // namespace tambrel::platform
