// What is heard while the clock runs, read from the in-memory device's record: an edit in
// the window reaches the next step, a tempo change waits for the next Play, and nothing
// is ever sent that a tick did not send.

#include "window_rig.h"

#include <QComboBox>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using tambrel::engine::PlayState;
using tambrel::testing::RecordedMessage;
using Clock = std::chrono::steady_clock;

namespace {

// The median gap, in milliseconds, between messages [from, to) of the record.
double medianGapMs(const std::vector<RecordedMessage>& messages, std::size_t from, std::size_t to) {
    std::vector<double> gaps;
    for (std::size_t i = from + 1; i < std::min(to, messages.size()); ++i) {
        gaps.push_back(
            std::chrono::duration<double, std::milli>(messages[i].at - messages[i - 1].at).count());
    }
    if (gaps.empty()) {
        return 0.0;
    }
    std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2),
                     gaps.end());
    return gaps[gaps.size() / 2];
}

bool waitForMessages(const WindowRig& rig, std::size_t n) {
    return QTest::qWaitFor([&] { return rig.recorder.size() >= n; }, 5000);
}

// A still source of time that tells of its changes (as a Link session does), its tempo set
// by the test. It counts the window's looks: only the window tells it the output's latency.
class TellingSource final : public tambrel::midiout::FollowedSource {
public:
    tambrel::midiout::FollowedGrid grid() const noexcept override {
        tambrel::midiout::FollowedGrid grid;
        grid.tempo = tempo.load();
        return grid;
    }
    const tambrel::midiout::FrameClock& frames() const noexcept override { return frames_; }
    std::int64_t delayFrames() const noexcept override { return 0; }
    void setOwnTime(const tambrel::midiout::OwnTime&) noexcept override {}
    void setOutputLatency(std::chrono::nanoseconds) noexcept override { ++windowLooks; }
    std::uint32_t stillLookMs() const noexcept override { return 60'000; }
    bool listen(tambrel::midiout::Listener who,
                tambrel::midiout::ChangeListener listener) noexcept override {
        if (who == tambrel::midiout::Listener::Window) {
            window = listener;
        }
        return true;
    }

    std::atomic<double> tempo{100};
    std::atomic<int> windowLooks{0};
    tambrel::midiout::ChangeListener window;

private:
    tambrel::midiout::SteadyFrames frames_;
};

} // namespace

class PlaybackTest : public QObject {
    Q_OBJECT
private slots:
    void clearSilencesTheNextStepsAndKeepsTheClock();
    void tempoChangeIsHeardFromTheNextPlay();
    void instrumentChangeTakesTheNextStepAndSendsNothingOfItsOwn();
    void aStoppedWindowLooksAtAFollowedSourceOnlyWhenItTellsOfAChange();
};

void PlaybackTest::aStoppedWindowLooksAtAFollowedSourceOnlyWhenItTellsOfAChange() {
    TellingSource source;
    auto rig = std::make_unique<WindowRig>(1, tambrel::midiout::MidiOutDeviceList{}, &source);
    QVERIFY(source.window.changed != nullptr);
    QTRY_COMPARE(rig->text("Label23"), QStringLiteral("100"));
    // A little while after it opened, a stopped window stops looking.
    QTest::qWait(600);
    const int looks = source.windowLooks.load();
    QTest::qWait(400);
    QCOMPARE(source.windowLooks.load(), looks);
    // A change told, from another thread as a peer's comes, is shown within 100 ms.
    source.tempo = 137;
    std::thread([&source] { source.window.changed(source.window.user); }).join();
    QTRY_COMPARE_WITH_TIMEOUT(rig->text("Label23"), QStringLiteral("137"), 100);
    QVERIFY(source.windowLooks.load() > looks);
    // A closed window is told nothing more.
    rig->window.reset();
    QVERIFY(source.window.changed == nullptr);
}

void PlaybackTest::clearSilencesTheNextStepsAndKeepsTheClock() {
    WindowRig rig(1);
    rig.fillTrack(1);
    rig.fillTrack(2);
    rig.setTempo(260); // 57 ms steps
    rig.click("BitBtn1");
    const std::uint32_t timer = rig.engine().runningTimerId();
    QVERIFY(waitForMessages(rig, 6));
    rig.click("BitBtn3");
    // A tick already under way when Clear came may still finish its notes.
    QTest::qWait(90);
    const std::size_t afterClear = rig.recorder.size();
    QTest::qWait(300);
    QCOMPARE(rig.recorder.size(), afterClear);
    QCOMPARE(rig.engine().playState(), PlayState::Playing);
    QVERIFY(rig.machine->timers().isRunning(timer));
    // The clock kept counting steps: a cell switched on now is heard again.
    rig.click("Tr5Label1");
    QVERIFY(waitForMessages(rig, afterClear + 1));
    QCOMPARE(keyOf(rig.recorder.messages().back().message), 50);
    rig.click("BitBtn2");
}

void PlaybackTest::tempoChangeIsHeardFromTheNextPlay() {
    WindowRig rig(1);
    rig.fillTrack(1);
    rig.click("BitBtn1"); // tempo 120: 125 ms steps
    QVERIFY(waitForMessages(rig, 6));
    // The spinner's handler takes the position before the click: 240 is shown.
    rig.engine().tempoSelector().setPosition(240);
    rig.spin("UpDown2", false);
    QCOMPARE(rig.text("Label23"), QStringLiteral("240"));
    const std::size_t changed = rig.recorder.size();
    QVERIFY(waitForMessages(rig, changed + 6));
    rig.click("BitBtn2");
    const std::size_t restarted = rig.recorder.size();
    rig.click("BitBtn1");
    QVERIFY(waitForMessages(rig, restarted + 7));
    rig.click("BitBtn2");

    const auto messages = rig.recorder.messages();
    const double before = medianGapMs(messages, 0, changed);
    const double stillPlaying = medianGapMs(messages, changed, restarted);
    const double afterPlay = medianGapMs(messages, restarted, messages.size());
    QVERIFY2(before > 100.0, qPrintable(QString::number(before)));
    // Ratios, not absolute times: a busy machine shifts single ticks, not the spacing.
    QVERIFY2(stillPlaying / before > 0.9 && stillPlaying / before < 1.1,
             qPrintable(QStringLiteral("%1 then %2 ms").arg(before).arg(stillPlaying)));
    QVERIFY2(afterPlay / before > 0.45 && afterPlay / before < 0.55,
             qPrintable(QStringLiteral("%1 then %2 ms").arg(before).arg(afterPlay)));
}

void PlaybackTest::instrumentChangeTakesTheNextStepAndSendsNothingOfItsOwn() {
    WindowRig rig(1);
    auto* combo = rig.find<QComboBox>("ComboBox1");
    rig.setTempo(260);
    // With nothing on in the grid, a change of instrument is not heard at all.
    rig.click("BitBtn1");
    QTest::qWait(130);
    combo->setCurrentIndex(combo->findText(QStringLiteral("Cowbell")));
    QTest::qWait(200);
    QCOMPARE(rig.recorder.size(), std::size_t(0));
    rig.click("BitBtn2");

    combo->setCurrentIndex(combo->findText(QStringLiteral("Acoustic Bass Drum")));
    rig.fillTrack(1);
    rig.click("BitBtn1");
    QVERIFY(waitForMessages(rig, 4));
    const Clock::time_point changedAt = Clock::now();
    combo->setCurrentIndex(combo->findText(QStringLiteral("Cowbell")));
    const std::size_t changed = rig.recorder.size();
    QVERIFY(waitForMessages(rig, changed + 5));
    rig.click("BitBtn2");
    const auto messages = rig.recorder.messages();
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const int key = keyOf(messages[i].message);
        if (i < changed) {
            QCOMPARE(key, 35);
        } else if (messages[i].at > changedAt + std::chrono::milliseconds(60)) {
            QCOMPARE(key, 56); // every step after the change sounds the new instrument
        }
        // One note per step, never one between: nothing is sent for the change itself.
        if (i > 0) {
            QVERIFY(messages[i].at - messages[i - 1].at > std::chrono::milliseconds(30));
        }
    }
}

QTEST_MAIN(PlaybackTest)
#include "playback_test.moc"
