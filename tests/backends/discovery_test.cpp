#include "backends/device_list.h"
#include "jack_test_server.h"

#include "backends/alsa/alsa_midi_device.h"
#include "backends/synth/fluid_synth_device.h"
#include "midiout/midi_out.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace tambrel::backends {

using namespace midiout;
namespace {

// Everything written to the terminal (stdout and stderr) while `work` runs.
template <typename Work> std::string terminalOutputOf(Work work) {
    char path[] = "/tmp/tambrel-terminal-XXXXXX";
    const int file = mkstemp(path);
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = dup(1);
    const int savedErr = dup(2);
    dup2(file, 1);
    dup2(file, 2);
    work();
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(savedOut, 1);
    dup2(savedErr, 2);
    close(savedOut);
    close(savedErr);
    close(file);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(path);
    return text.str();
}

TEST(DiscoveryWithoutServers, ListsOnlyTheSynthAndPrintsNothing) {
    if (alsaSequencerPresent()) {
        GTEST_SKIP() << "this machine has an ALSA sequencer";
    }
    testing::JackTestLock lock; // discovery opens JACK's shared database
    // A server name that nobody runs, and no starting one on the way.
    setenv("JACK_NO_START_SERVER", "1", 1);
    setenv("JACK_DEFAULT_SERVER", ("tambrel-nobody-" + std::to_string(getpid())).c_str(), 1);
    std::unique_ptr<MidiOut> out;
    const std::string printed =
        terminalOutputOf([&] { out = std::make_unique<MidiOut>(discoverMidiOutDevices()); });
    EXPECT_EQ(printed, "");
    if (findGmSoundfont()) {
        ASSERT_EQ(out->deviceCount(), 1u);
        EXPECT_EQ(out->deviceName(0), kSynthDeviceName);
        // Opening it looks for a JACK server, then the desktop's sound server, then the
        // card: whatever it finds or does not find, it says nothing about it.
        MidiOutHandle handle = 0;
        int status = -1;
        EXPECT_EQ(terminalOutputOf([&] { status = out->open(0, &handle); }), "");
        if (status == kMidiOk) {
            EXPECT_EQ(terminalOutputOf([&] { out->close(handle); }), "");
        } else {
            EXPECT_EQ(status, kMidiError);
        }
    } else {
        EXPECT_EQ(out->deviceCount(), 0u);
    }
}

} // namespace
} // namespace tambrel::backends
