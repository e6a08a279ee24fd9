#include "backends/device_list.h"
#include "jack_audio_recorder.h"
#include "jack_test_server.h"
#include "tests/support/needs.h"

#include "backends/jack/jack_midi_device.h"
#include "backends/jack/jack_placement.h"
#include "backends/synth/fluid_synth_device.h"
#include "midiout/midi_out.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <jack/jack.h>
#include <thread>

namespace tambrel::backends {

using namespace midiout;
namespace {

using namespace std::chrono_literals;
using testing::JackMidiReceiver;
using testing::noteBytes;
using testing::PrivateJackServer;

constexpr std::uint32_t kSnare = 0x99 | (38 << 8) | (100 << 16);

int indexOf(const MidiOut& out, const std::string& name) {
    for (unsigned i = 0; i < out.deviceCount(); ++i) {
        if (out.deviceName(i) == name.substr(0, kMidiNameMax)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

class JackBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start()) << "jackd did not come up";
        receiver = std::make_unique<JackMidiReceiver>();
        ASSERT_TRUE(receiver->ok());
        out = std::make_unique<MidiOut>(discoverMidiOutDevices());
    }

    void TearDown() override {
        out.reset();
        receiver.reset();
        server.stop();
    }

    // Opens the receiver's input through the device list.
    MidiOutHandle openReceiver() {
        const int index = indexOf(*out, receiver->portName());
        EXPECT_GE(index, 0) << "receiver not listed among " << names();
        MidiOutHandle handle = 0;
        EXPECT_EQ(out->open(static_cast<unsigned>(index), &handle), kMidiOk);
        return handle;
    }

    std::string names() const {
        std::string all;
        for (unsigned i = 0; i < out->deviceCount(); ++i) {
            all += "[" + out->deviceName(i) + "] ";
        }
        return all;
    }

    PrivateJackServer server;
    std::unique_ptr<JackMidiReceiver> receiver;
    std::unique_ptr<MidiOut> out;
};

TEST_F(JackBackendTest, ListsSynthThenOtherProgramsInputsThenOurOwnPort) {
    const int receiverIndex = indexOf(*out, receiver->portName());
    const int ownIndex = indexOf(*out, kJackOwnPortDeviceName);
    ASSERT_GE(receiverIndex, 0);
    ASSERT_GE(ownIndex, 0);
    EXPECT_LT(receiverIndex, ownIndex);
    EXPECT_EQ(ownIndex, static_cast<int>(out->deviceCount()) - 1);
    if (findGmSoundfont()) {
        EXPECT_EQ(out->deviceName(0), kSynthDeviceName);
    }
    // Our own client is on the server, but none of its ports is offered as a destination.
    for (unsigned i = 0; i < out->deviceCount(); ++i) {
        EXPECT_NE(out->deviceName(i).rfind("Tambrel:", 0), 0u) << out->deviceName(i);
    }
}

TEST_F(JackBackendTest, ReceiverGetsExactlyTheBytesInOrderAndNothingAfterClose) {
    const MidiOutHandle handle = openReceiver();
    EXPECT_EQ(receiver->connectionCount(), 1);

    // Note-ons of the whole kit, a program change (two bytes) and a velocity-0 note-on.
    std::vector<std::uint32_t> sent;
    for (std::uint32_t key : {35u, 38u, 42u, 46u, 50u, 45u, 49u, 51u}) {
        sent.push_back(0x99 | (key << 8) | ((60 + key) << 16));
    }
    for (const std::uint32_t message : sent) {
        EXPECT_EQ(out->send(handle, message), kMidiOk);
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(out->send(handle, 0xC9 | (5 << 8)), kMidiOk);
    EXPECT_EQ(out->send(handle, 0x99 | (38 << 8)), kMidiOk);
    // What no short message can carry is dropped rather than garbled.
    EXPECT_EQ(out->send(handle, 0xF0 | (1 << 8)), kMidiOk);
    EXPECT_EQ(out->send(handle, 0x40), kMidiOk);

    ASSERT_TRUE(receiver->waitForCount(sent.size() + 2, 2s)) << receiver->count();
    std::this_thread::sleep_for(50ms);
    const auto events = receiver->events();
    ASSERT_EQ(events.size(), sent.size() + 2);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(events[i].data(), noteBytes(sent[i])) << "event " << i;
    }
    EXPECT_EQ(events[sent.size()].data(), (std::vector<std::uint8_t>{0xC9, 5}));
    EXPECT_EQ(events[sent.size() + 1].data(), (std::vector<std::uint8_t>{0x99, 38, 0}));
    for (std::size_t i = 1; i < events.size(); ++i) {
        EXPECT_LE(static_cast<std::int32_t>(events[i - 1].frame - events[i].frame), 0);
    }

    EXPECT_EQ(out->close(handle), kMidiOk);
    EXPECT_EQ(receiver->connectionCount(), 0);
    // Neither the list (closed handle) nor the device itself lets anything through now.
    EXPECT_EQ(out->send(handle, kSnare), kMidiInvalidHandle);
    out->device(static_cast<unsigned>(indexOf(*out, receiver->portName())))
        ->send(TimedMessage::fromShort(kSnare, MidiClock::now()));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(receiver->count(), sent.size() + 2);
}

// A close right after the sends still lets every one of them out, in order: the port
// stays connected until its queue has gone out.
TEST_F(JackBackendTest, ClosingAtOnceStillDeliversEveryQueuedNoteInOrder) {
    const MidiOutHandle handle = openReceiver();
    std::vector<std::uint32_t> sent;
    for (std::uint32_t key = 35; key <= 42; ++key) {
        sent.push_back(0x99 | (key << 8) | ((50 + key) << 16));
    }
    for (const std::uint32_t message : sent) {
        EXPECT_EQ(out->send(handle, message), kMidiOk);
    }
    EXPECT_EQ(out->close(handle), kMidiOk);
    EXPECT_TRUE(receiver->waitForCount(sent.size(), 2s))
        << receiver->count() << " of " << sent.size() << " notes arrived";
    const auto events = receiver->events();
    ASSERT_EQ(events.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(events[i].data(), noteBytes(sent[i])) << "note " << i;
    }
}

TEST_F(JackBackendTest, ReopenedDeviceDoesNotReplayWhatWasQueuedBeforeClose) {
    MidiOutHandle handle = openReceiver();
    out->send(handle, kSnare);
    ASSERT_TRUE(receiver->waitForCount(1, 2s));
    out->close(handle);
    handle = openReceiver();
    const std::uint32_t kick = 0x99 | (36 << 8) | (90 << 16);
    out->send(handle, kick);
    ASSERT_TRUE(receiver->waitForCount(2, 2s));
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(receiver->count(), 2u);
    EXPECT_EQ(receiver->events()[1].data(), noteBytes(kick));
}

TEST_F(JackBackendTest, EachMessageLandsItsDelayAfterItWasSent) {
    // The stamp is taken inside send; our own frame clock read just before and after
    // brackets it. Placement at stamp + the delay keeps the sender's spacing, where the
    // start of the next period would move each note by up to a whole period.
    const std::int64_t delay =
        jackDelayFrames(PrivateJackServer::kPeriodFrames, PrivateJackServer::kSampleRate);
    const MidiOutHandle handle = openReceiver();
    constexpr int kSends = 40;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> brackets;
    for (int i = 0; i < kSends; ++i) {
        const std::uint32_t before = receiver->frameTime();
        out->send(handle, 0x99 | (static_cast<std::uint32_t>(35 + i) << 8) | (100 << 16));
        const std::uint32_t after = receiver->frameTime();
        brackets.emplace_back(before, after);
        std::this_thread::sleep_for(std::chrono::microseconds(2300 + 370 * (i % 7)));
    }
    receiver->waitForCount(kSends, 2s);
    // Each send has its own key, so that a note the server dropped under load does not
    // shift every later comparison.
    int onTime = 0;
    constexpr std::int32_t kSlack = 2; // the frame clock is an estimate between periods
    std::vector<std::int32_t> offsets; // when none is on time: all off alike, or scattered?
    for (const auto& event : receiver->events()) {
        const int i = event.bytes[1] - 35;
        ASSERT_TRUE(i >= 0 && i < kSends) << "a stranger arrived";
        const auto [before, after] = brackets[static_cast<std::size_t>(i)];
        const auto early = static_cast<std::int32_t>(event.frame - before) - delay;
        const auto late = static_cast<std::int32_t>(event.frame - after) - delay;
        if (early >= -kSlack && late <= kSlack) {
            ++onTime;
        }
        offsets.push_back(early);
    }
    ASSERT_FALSE(offsets.empty()) << "no note arrived";
    std::sort(offsets.begin(), offsets.end());
    // On a loaded machine the dummy server's own periods come late and bunched, and some
    // notes with them (two busy loops: about 70 % on time). Placing at the start of the
    // next period instead would hit the mark about 2 % of the time. The sanitizers slow the
    // sender and the server's clients so much, and our frame line follows the server's
    // estimate so gently, that an eighth is asked there: still four times what placing at
    // the next period would give (19 of 40 on time once under ThreadSanitizer, 7 and 15
    // under AddressSanitizer).
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    constexpr int kOnTimeWanted = kSends / 8;
#else
    constexpr int kOnTimeWanted = kSends / 2;
#endif
    EXPECT_GE(onTime, kOnTimeWanted)
        << onTime << " of " << kSends << " on time, " << receiver->count()
        << " arrived; frames after the send's own, less the delay: " << offsets.front() << " to "
        << offsets.back() << ", median " << offsets[offsets.size() / 2];
}

// Notes with every system real-time message and a Song Position Pointer among them, whole
// frames apart (1.3 to 2 ms, no divisor of the period) at the server's rate, the last one
// due at `last`.
std::vector<TimedMessage> syncAmongNotes(Moment last, double rate) {
    const auto note = [](std::uint32_t key) { return 0x99 | (key << 8) | (90 << 16); };
    std::vector<TimedMessage> messages = {
        TimedMessage::fromShort(note(36), {}),    TimedMessage::realTime(kStart, {}),
        TimedMessage::realTime(kTimingClock, {}), TimedMessage::fromShort(note(38), {}),
        TimedMessage::realTime(kStop, {}),        TimedMessage::songPosition(300, {}),
        TimedMessage::realTime(kContinue, {}),    TimedMessage::realTime(kTimingClock, {}),
        TimedMessage::fromShort(note(42), {}),    TimedMessage::realTime(kTimingClock, {}),
    };
    constexpr std::array kGapFrames = {75, 62, 97};
    Moment due = last;
    for (std::size_t i = messages.size(); i-- > 0;) {
        messages[i].due = due;
        due -= std::chrono::nanoseconds(std::llround(kGapFrames[i % 3] * 1e9 / rate));
    }
    return messages;
}

// The received events are the sent messages, byte for byte and in order, each as many
// frames after the one before as its due moment is after that one's (a frame either way
// for the rounding of two stamps).
void expectAtTheirFrames(const std::vector<TimedMessage>& sent,
                         const std::vector<testing::ReceivedEvent>& received, double rate) {
    ASSERT_EQ(received.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const TimedMessage& m = sent[i];
        EXPECT_EQ(received[i].data(), std::vector(m.bytes.begin(), m.bytes.begin() + m.size))
            << "message " << i;
        if (i == 0) {
            continue;
        }
        const auto due = static_cast<std::int32_t>(
            std::llround(std::chrono::duration<double>(m.due - sent[i - 1].due).count() * rate));
        const auto got = static_cast<std::int32_t>(received[i].frame - received[i - 1].frame);
        EXPECT_LE(std::abs(got - due), 1)
            << "message " << i << " came " << got << " frames after the one before, due " << due;
    }
}

// The sync messages ride with the notes: Clock, Start, Continue, Stop and the Song Position
// Pointer each go out at the frame of their own due moment, in order with the notes around
// them, so that a follower's clock is as steady as the notes are heard.
TEST_F(JackBackendTest, ClockTransportAndSongPositionLandAtTheirFramesAmongTheNotes) {
    const MidiOutHandle handle = openReceiver();
    const auto* device = static_cast<JackMidiDevice*>(
        out->device(static_cast<unsigned>(indexOf(*out, receiver->portName()))));
    const double rate = jack_get_sample_rate(receiver->client());
    for (int attempt = 1;; ++attempt) {
        // All due within the last 15 ms, well inside the wake-up allowance, and sent at
        // once: the two ends of a gap are stamped from nearly the same reading of the frame
        // clock, so that only its rounding may add a frame.
        const std::vector<TimedMessage> sent = syncAmongNotes(MidiClock::now(), rate);
        const std::uint64_t lateBefore = device->client()->lateCount();
        const std::size_t before = receiver->count();
        for (const TimedMessage& message : sent) {
            ASSERT_EQ(out->send(handle, message), kMidiOk);
        }
        ASSERT_TRUE(receiver->waitForCount(before + sent.size(), 2s))
            << receiver->count() - before << " of " << sent.size() << " arrived";
        std::this_thread::sleep_for(50ms);
        // A machine that stalled the sender or the server past the allowance sends what
        // it made late at the next period's start, and says so: that try shows nothing.
        if (device->client()->lateCount() != lateBefore && attempt < 3) {
            continue;
        }
        const auto events = receiver->events();
        expectAtTheirFrames(
            sent, {events.begin() + static_cast<std::ptrdiff_t>(before), events.end()}, rate);
        break;
    }
}

TEST_F(JackBackendTest, OwnPortCarriesOnlyItsOwnMessages) {
    const int ownIndex = indexOf(*out, kJackOwnPortDeviceName);
    ASSERT_GE(ownIndex, 0);
    MidiOutHandle own = 0;
    ASSERT_EQ(out->open(static_cast<unsigned>(ownIndex), &own), kMidiOk);
    const MidiOutHandle toReceiver = openReceiver();

    auto* ownDevice = static_cast<JackMidiDevice*>(out->device(static_cast<unsigned>(ownIndex)));
    const std::string ownPort = ownDevice->client()->name() + ":out";
    ASSERT_NE(jack_port_by_name(receiver->client(), ownPort.c_str()), nullptr);

    // Nobody listens on our own port yet: what goes there must not leak to the receiver.
    out->send(own, 0x99 | (49 << 8) | (1 << 16));
    out->send(toReceiver, kSnare);
    ASSERT_TRUE(receiver->waitForCount(1, 2s));
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(receiver->count(), 1u);
    EXPECT_EQ(receiver->events()[0].data(), noteBytes(kSnare));

    // Another program connects to our port, as a user would in a patchbay.
    ASSERT_EQ(jack_connect(receiver->client(), ownPort.c_str(), receiver->portName().c_str()), 0);
    const std::uint32_t crash = 0x99 | (49 << 8) | (127 << 16);
    out->send(own, crash);
    ASSERT_TRUE(receiver->waitForCount(2, 2s));
    EXPECT_EQ(receiver->events()[1].data(), noteBytes(crash));

    // Closing takes the port away again.
    out->close(own);
    EXPECT_EQ(jack_port_by_name(receiver->client(), ownPort.c_str()), nullptr);
    out->close(toReceiver);
}

TEST_F(JackBackendTest, BuiltInSynthPlaysThroughTheRunningServer) {
    if (!findGmSoundfont()) {
        TAMBREL_MISSING_NEED("no General MIDI soundfont on this machine");
    }
    MidiOutHandle handle = 0;
    ASSERT_EQ(out->open(0, &handle), kMidiOk);
    const auto* synth = static_cast<FluidSynthDevice*>(out->device(0));
    EXPECT_EQ(synth->driverName(), "jack");
    EXPECT_EQ(synth->sampleRate(), 48000.0);

    // The synth's two outputs are ports of our own client, named after the device.
    testing::JackAudioRecorder listener;
    ASSERT_TRUE(listener.ok());
    const std::string synthPorts = std::string(":") + kSynthDeviceName;
    ASSERT_EQ(listener.listenTo(synthPorts), 2) << "the synth's two outputs";
    // Heard where the sound card is, left and right, as FluidSynth's own JACK output was.
    const char** ports = jack_get_ports(receiver->client(), synthPorts.c_str(),
                                        JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput);
    ASSERT_TRUE(ports != nullptr && ports[0] != nullptr && ports[1] != nullptr);
    EXPECT_TRUE(jack_port_connected_to(jack_port_by_name(receiver->client(), ports[0]),
                                       "system:playback_1"));
    EXPECT_TRUE(jack_port_connected_to(jack_port_by_name(receiver->client(), ports[1]),
                                       "system:playback_2"));
    jack_free(ports);
    // A Link session hears the synth this long after a message's moment: the placement's
    // delay, what the server says lies between our ports and the sound card, and half of
    // the synth's block, which a note waits for.
    jack_latency_range_t playback{};
    jack_port_get_latency_range(jack_port_by_name(receiver->client(), "system:playback_1"),
                                JackPlaybackLatency, &playback);
    const std::int64_t frames =
        jackDelayFrames(jack_get_buffer_size(receiver->client()), 48000) + playback.max;
    EXPECT_EQ(out->latency(handle), std::chrono::nanoseconds(frames * 1'000'000'000 / 48000) +
                                        std::chrono::nanoseconds(666'667));
    std::this_thread::sleep_for(100ms);
    listener.resetPeak();
    std::this_thread::sleep_for(100ms);
    EXPECT_LT(listener.peak(), 3e-5f) << "sound before any note";

    out->send(handle, kSnare);
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (listener.peak() < 0.01f && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_GE(listener.peak(), 0.01f) << "the snare was not heard";

    out->close(handle);
    EXPECT_EQ(listener.listenTo(synthPorts), 0) << "the synth stayed on the server";
}

// A synth whose sound reaches no playback port would look open and play nothing: through
// such a server its open fails (here, with no other sound server, altogether).
TEST(JackBackend, TheSynthDoesNotOpenOnAServerWithNoPlaybackPort) {
    const std::optional<std::string> soundfont = findGmSoundfont();
    if (!soundfont) {
        TAMBREL_MISSING_NEED("no General MIDI soundfont on this machine");
    }
    PrivateJackServer server;
    server.removePlayback();
    ASSERT_TRUE(server.start()) << "jackd did not come up";
    FluidSynthDevice synth(*soundfont);
    const bool opened = synth.open();
    EXPECT_NE(synth.driverName(), "jack") << "open through a server that plays nowhere";
    if (opened) {
        synth.close();
    }
}

TEST_F(JackBackendTest, ServerDeathWhileSendingDropsSendsAndCloseReturns) {
    const MidiOutHandle handle = openReceiver();
    auto* device = static_cast<JackMidiDevice*>(
        out->device(static_cast<unsigned>(indexOf(*out, receiver->portName()))));
    // The synth plays on the same client, and is sent to and closed alike.
    MidiOutHandle synth = 0;
    if (findGmSoundfont()) {
        ASSERT_EQ(out->open(0, &synth), kMidiOk);
    }
    std::atomic<bool> sending{true};
    std::atomic<int> sends{0};
    std::thread clock([&] {
        while (sending.load()) {
            out->send(handle, kSnare);
            out->send(synth, kSnare);
            sends.fetch_add(1);
            std::this_thread::sleep_for(1ms);
        }
    });
    ASSERT_TRUE(receiver->waitForCount(20, 2s));
    server.kill();

    // The client learns of the death through its shutdown callback.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (device->client()->alive() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(device->client()->alive());
    const int sendsAtDeath = sends.load();
    std::this_thread::sleep_for(100ms);
    EXPECT_GT(sends.load(), sendsAtDeath) << "a send hung after the server died";
    sending.store(false);
    clock.join();

    // Close, and dropping the whole list (which closes our client), must come back.
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        out->close(handle);
        out->close(synth);
        out.reset();
        closed.store(true);
    });
    const auto closeDeadline = std::chrono::steady_clock::now() + 5s;
    while (!closed.load() && std::chrono::steady_clock::now() < closeDeadline) {
        std::this_thread::sleep_for(5ms);
    }
    if (!closed.load()) {
        ADD_FAILURE() << "close hung after the server died";
        std::quick_exit(1);
    }
    closer.join();
    receiver.reset();
}

} // namespace
} // namespace tambrel::backends
