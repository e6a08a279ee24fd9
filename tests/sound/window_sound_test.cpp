// The window with the built-in synth as device 0, heard where a desktop hears it: a
// built-in rhythm played through a private PulseAudio server, a private JACK server and a
// private PipeWire server (on its own API, through its PulseAudio face and through its JACK
// library), and
// recorded there. The recording is silent before Play, holds sound after it,
// and its sounds are spaced by whole step periods. Prints the time from Play to the first
// sound.

#include "backends/device_list.h"
#include "tests/backends/jack_audio_recorder.h"
#include "tests/backends/jack_test_server.h"
#include "tests/backends/pipewire_test_server.h"
#include "tests/backends/pulse_test_server.h"
#include "tests/backends/synth_timing_kit.h"
#include "tests/support/needs.h"
#include "tests/ui/window_rig.h"

#include "backends/synth/fluid_synth_device.h"
#include "patterns/presets.h"

#include <QtTest>

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <unistd.h>

using tambrel::testing::Recording;

namespace {

// A woodblock on every fourth step at tempo 120: short, sharp sounds with silence between.
constexpr const char* kPreset = "Wood Block";
constexpr int kPlayMs = 2200;
constexpr double kSpacingToleranceMs = 5.0;
constexpr int kRuns = 5;
constexpr double kQuietBefore = 0.4; // seconds of the silence before Play that are checked
// The first sample at least this loud is the first one heard (-60 dBFS, 30 dB and more
// below the rhythm's peak); before Play nothing may reach it. The synth's reverb and
// chorus leave a floor far below it (-71.5 dBFS has been seen before Play).
constexpr float kAudible = 1e-3f;

// The window over this machine's real devices, the built-in synth first, playing through
// `driver`.
struct SynthWindow {
    std::unique_ptr<tambrel::machine::Machine> machine;
    std::unique_ptr<TForm1> window;

    explicit SynthWindow(const char* driver) {
        auto started = tambrel::ui::startWindow(
            std::make_unique<tambrel::machine::Machine>(
                tambrel::backends::discoverMidiOutDevices()),
            {}, [](tambrel::machine::Machine& m) { return std::make_unique<RecordingWindow>(m); });
        machine = std::move(started.machine);
        window = std::move(started.window);
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QCOMPARE(window->findChild<QLabel*>(QStringLiteral("Label1"))->text(),
                 QString::fromLatin1(tambrel::backends::kSynthDeviceName));
        auto* synth =
            dynamic_cast<tambrel::backends::FluidSynthDevice*>(machine->midiOut().device(0));
        QVERIFY(synth != nullptr && machine->device().isOpen());
        QCOMPARE(QString::fromStdString(synth->driverName()), QString::fromLatin1(driver));
        for (const tambrel::patterns::Preset& preset : tambrel::patterns::allPresets()) {
            if (preset.caption == kPreset) {
                window->PresetClick(preset);
            }
        }
        QCOMPARE(machine->engine().stepPeriod(), 125);
    }
    ~SynthWindow() {
        if (window) {
            window->close(); // the clock stops, then the synth closes
        }
    }

    // Waits in silence, then plays for kPlayMs; returns when Play was pressed.
    double play() {
        QTest::qWait(static_cast<int>(1000 * kQuietBefore) + 100);
        const double playAt = tambrel::testing::soundClock();
        QTest::mouseClick(window->findChild<QWidget*>(QStringLiteral("BitBtn1")), Qt::LeftButton);
        QTest::qWait(kPlayMs);
        QTest::mouseClick(window->findChild<QWidget*>(QStringLiteral("BitBtn2")), Qt::LeftButton);
        QTest::qWait(300); // the last sound's tail
        return playAt;
    }
};

// What a recording says of the rhythm played into it.
struct Heard {
    double latencyMs = 0.0;      // from Play to the first sample of sound
    double clockSpreadMs = 0.0;  // how far that time may be off
    double worstSpacingMs = 0.0; // how far two sounds are off a whole number of steps
    double meanStepMs = 0.0;     // the step's length from the first sound to the last
    double firstNoteMs = 0.0;    // the first sound's offset from the grid of the rest
    std::size_t sounds = 0;
    double peakDbfs = 0.0;
};

// Silent before Play, sound after it; the sounds and how they are spaced.
Heard listen(const Recording& heard, double playAt, int stepPeriodMs) {
    Heard result;
    const std::size_t play = heard.sampleAt(playAt);
    [&] {
        QVERIFY2(heard.samples.size() > play + static_cast<std::size_t>(heard.sampleRate),
                 qPrintable(QStringLiteral("%1 samples recorded").arg(heard.samples.size())));
        const float before = heard.peak(0, play);
        QVERIFY2(
            before < kAudible,
            qPrintable(QStringLiteral("before Play: %1 dBFS").arg(tambrel::testing::dbfs(before))));
        const float peak = heard.peak(play);
        result.peakDbfs = tambrel::testing::dbfs(peak);
        QVERIFY2(result.peakDbfs > -30.0,
                 qPrintable(QStringLiteral("peak %1 dBFS").arg(result.peakDbfs)));

        const std::vector<std::int64_t> onsets = heard.onsets(peak / 4, 0.1);
        result.sounds = onsets.size();
        QVERIFY2(onsets.size() >= 4, qPrintable(QStringLiteral("%1 sounds").arg(onsets.size())));
        double allSteps = 0.0;
        for (std::size_t i = 1; i < onsets.size(); ++i) {
            const double gapMs = 1000.0 * double(onsets[i] - onsets[i - 1]) / heard.sampleRate;
            const double steps = std::max(1.0, std::round(gapMs / stepPeriodMs));
            allSteps += steps;
            result.worstSpacingMs =
                std::max(result.worstSpacingMs, std::fabs(gapMs - steps * stepPeriodMs));
        }
        result.meanStepMs =
            1000.0 * double(onsets.back() - onsets.front()) / heard.sampleRate / allSteps;
        result.firstNoteMs = tambrel::testing::firstNoteOffsetUs(onsets, heard.sampleRate) / 1000;
        std::size_t first = play;
        while (heard.samples[first] < kAudible) {
            ++first;
        }
        double spread = 0.0;
        result.latencyMs = 1000.0 * (heard.timeOf(first, &spread) - playAt);
        result.clockSpreadMs = 1000.0 * spread;
    }();
    return result;
}

void report(const char* server, const Heard& heard, int stepPeriodMs, double outputLatencyMs) {
    qInfo("%s: Play to the first sound %.1f ms (+-%.1f), %.1f ms after the first step was due "
          "(one step period, %d ms, after Play), then %.1f ms to the server's output; peak "
          "%.1f dBFS; %zu sounds, off whole steps by at most %.2f ms, %.2f ms a step, the first "
          "%+.2f ms off the grid of the rest",
          server, heard.latencyMs, heard.clockSpreadMs / 2, heard.latencyMs - stepPeriodMs,
          stepPeriodMs, outputLatencyMs, heard.peakDbfs, heard.sounds, heard.worstSpacingMs,
          heard.meanStepMs, heard.firstNoteMs);
}

// Played into `server` by the synth on `driver`, recorded from the server's null sink. A
// busy machine now and then holds the synth's audio thread back, and what it plays after
// that comes late: the spacing is asked of one of a few runs, each printed. A run in which
// the machine stood still so long that the server's sink skipped time (the recording has no
// frames for it) says nothing of the spacing and is made again, up to twice as many runs.
template <class Server> void hearAtSink(Server& server, const char* name, const char* driver) {
    QVERIFY2(server.startRecording(), "parec recorded nothing from out.monitor");
    SynthWindow synth(driver);
    if (QTest::currentTestFailed()) {
        return;
    }
    const int stepPeriod = synth.machine->engine().stepPeriod();
    bool evenlySpaced = false;
    for (int run = 1, counted = 0; run <= 2 * kRuns && counted < kRuns && !evenlySpaced; ++run) {
        const double playAt = synth.play();
        const Recording recording =
            server.recording().slice(playAt - kQuietBefore, tambrel::testing::soundClock());
        const Heard heard = listen(recording, playAt, stepPeriod);
        if (QTest::currentTestFailed()) {
            return;
        }
        report(name, heard, stepPeriod, 0.0);
        const double skippedMs = 1000.0 * recording.skippedSeconds();
        if (skippedMs > kSpacingToleranceMs) {
            qInfo("%s: the sink skipped %.1f ms of this run: made again", name, skippedMs);
            continue;
        }
        ++counted;
        // Each sound on its step, and over the run the steps are the tempo's.
        evenlySpaced = heard.worstSpacingMs <= kSpacingToleranceMs &&
                       std::fabs(heard.meanStepMs - stepPeriod) < 1.0;
    }
    QVERIFY2(evenlySpaced, "in no run were the sounds spaced by whole steps");
}

// The quantum that PipeWire's graph settles on, held for the whole run.
constexpr int kPipeWireQuantum = tambrel::testing::PrivatePipeWireServer::kSettledQuantum;

// Starts `server`; false when the test cannot go on (skipped or failed).
template <class Server> bool started(Server& server, const char* name) {
    if (server.start()) {
        return true;
    }
    const QString why = QStringLiteral("no %1 server can run here: %2")
                            .arg(QLatin1String(name), QString::fromStdString(server.failure()));
    if (tambrel::testing::missingNeedFails()) {
        QTest::qFail(qPrintable(QStringLiteral("CI=true and ") + why), __FILE__, __LINE__);
    } else {
        QTest::qSkip(qPrintable(why), __FILE__, __LINE__);
    }
    return false;
}

} // namespace

class WindowSoundTest : public QObject {
    Q_OBJECT
private slots:
    void rhythmIsHeardThroughPulseAudio();
    void rhythmIsHeardThroughJack();
    void rhythmIsHeardThroughPipeWire();
    void rhythmIsHeardThroughPipeWirePulse();
    void rhythmIsHeardThroughPipeWireJack();
};

void WindowSoundTest::rhythmIsHeardThroughPulseAudio() {
    tambrel::testing::PrivatePulseServer server;
    if (started(server, "PulseAudio")) {
        hearAtSink(server, "PulseAudio", "pulseaudio");
    }
}

// `native`: the synth's stream on PipeWire's own API, else (hidden from it) through
// pipewire-pulse.
static void hearThroughPipeWire(bool native) {
    tambrel::testing::PrivatePipeWireServer server;
    if (!started(server, "PipeWire")) {
        return;
    }
    QVERIFY(server.holdQuantum(kPipeWireQuantum));
    if (!native) {
        server.hideNativeApi();
    }
    // No JACK server (an earlier case's is gone): the synth goes to the desktop's server.
    setenv("JACK_DEFAULT_SERVER", ("tambrel-nobody-" + std::to_string(getpid())).c_str(), 1);
    if (native) {
        hearAtSink(server, "PipeWire", "pipewire");
    } else {
        hearAtSink(server, "PipeWire through pipewire-pulse", "pulseaudio");
    }
}

void WindowSoundTest::rhythmIsHeardThroughPipeWire() {
    hearThroughPipeWire(true);
}

void WindowSoundTest::rhythmIsHeardThroughPipeWirePulse() {
    hearThroughPipeWire(false);
}

// PipeWire's libjack is loaded only at start: this case runs again as a program of its own
// under pw-jack, and there it plays.
void WindowSoundTest::rhythmIsHeardThroughPipeWireJack() {
    if (!tambrel::testing::usesPipeWireJack()) {
        QVERIFY2(!tambrel::testing::isPipeWireJackRerun(), "pw-jack left JACK's libjack in place");
        const tambrel::testing::PipeWireJackRun run =
            tambrel::testing::rerunUnderPipeWireJack({"rhythmIsHeardThroughPipeWireJack"});
        std::cout << run.output << std::flush;
        if (run.status == 0 && run.output.find("SKIP   : ") != std::string::npos) {
            QSKIP("skipped under pw-jack");
        }
        QVERIFY2(run.status == 0 &&
                     run.output.find("PASS   : WindowSoundTest::"
                                     "rhythmIsHeardThroughPipeWireJack()") != std::string::npos,
                 "failed under pw-jack");
        return;
    }
    tambrel::testing::PrivatePipeWireServer server;
    if (started(server, "PipeWire")) {
        QVERIFY(server.holdQuantum(kPipeWireQuantum));
        hearAtSink(server, "PipeWire through its JACK library", "jack");
    }
}

void WindowSoundTest::rhythmIsHeardThroughJack() {
    tambrel::testing::PrivateJackServer server;
    QVERIFY(server.start());
    SynthWindow synth("jack");
    if (QTest::currentTestFailed()) {
        return;
    }
    tambrel::testing::JackAudioRecorder recorder(
        10 * std::size_t(tambrel::testing::PrivateJackServer::kSampleRate));
    QVERIFY(recorder.ok());
    // The synth's outputs are ports of the program's own JACK client, named after it.
    QCOMPARE(recorder.listenTo(":" + std::string(tambrel::backends::kSynthDeviceName)), 2);
    recorder.startRecording();
    const double playAt = synth.play();
    const Recording recording = recorder.recording();
    synth.window->close();
    // The spacing is only printed here; SynthTimingTest holds the synth to it through
    // JACK, one note per step.
    const int stepPeriod = synth.machine->engine().stepPeriod();
    const Heard heard = listen(recording, playAt, stepPeriod);
    if (!QTest::currentTestFailed()) {
        report("JACK", heard, stepPeriod, 1000.0 * recorder.playbackLatency());
    }
}

QTEST_MAIN(WindowSoundTest)
#include "window_sound_test.moc"
