#include "link_rig.h"

#include "ear_offsets.h"

#include <algorithm>
#include <thread>

namespace tambrel::bench {

using namespace std::chrono_literals;

TambrelPeer::~TambrelPeer() {
    if (engine_) {
        engine_->StopPlayback();
        engine_->setFollowedSource(nullptr);
        engine_.reset();
    }
    if (out_ && synth_ != 0) {
        (void)out_->close(synth_);
    }
}

bool LinkRig::startLinkHut(const RigSetup& setup, std::string& why) {
    const auto launched = std::chrono::steady_clock::now();
    linkHut_ = std::make_unique<testing::LinkHutProgram>();
    if (!linkHut_->waitUntilUp() || !linkHut_->setLinkEnabled(true) ||
        !linkHut_->setTempo(setup.linkHutTempo) ||
        (setup.startStopSync && !linkHut_->setStartStopSync(true))) {
        why = "LinkHut did not come up with Link on at " + std::to_string(setup.linkHutTempo) +
              " bpm:\n" + linkHut_->screen();
        return false;
    }
    // Two sessions that meet within half a second of their making are one by chance (Link
    // keeps the one with the lower id); an older one is kept. LinkHut's is the session
    // already there when Tambrel joins, as a musician's would be.
    std::this_thread::sleep_until(launched + 1500ms);
    return true;
}

bool TambrelPeer::join(const RigSetup& setup, std::string& why) {
    backends::SyncRequest request;
    request.link = true;
    request.linkStartStop = setup.startStopSync;
    request.linkTempo = setup.ourTempo;
    outputs_ = backends::discoverOutputs(request);
    out_ = std::make_unique<midiout::MidiOut>(std::move(outputs_.devices));
    synth_ = openSynth(*out_);
    link_ = dynamic_cast<backends::LinkSource*>(outputs_.followed.get());
    if (synth_ == 0 || link_ == nullptr) {
        why = "the built-in synth (a soundfont) or Link did not open: " + outputs_.followWhy;
        return false;
    }
    engine_ = std::make_unique<engine::RhythmEngine>(timers_, out_.get());
    engine_->trigger().setHandle(synth_);
    engine_->trigger().setKey(1, 75); // claves, as the synth timing kit's
    engine_->trigger().setVelocity(1, 100);
    for (const int beat : {1, 5, 9, 13}) {
        engine_->grid().set(1, beat, true);
    }
    if (setup.compensate) {
        engine_->setFollowedSource(link_);
    } else {
        withoutLatency_ = std::make_unique<WithoutLatency>(*link_);
        engine_->setFollowedSource(withoutLatency_.get());
    }
    if (!tickUntil([this] { return link_->peers() >= 1; }, 5s)) {
        why = "Tambrel found no peer within 5 s";
        return false;
    }
    return true;
}

bool LinkRig::start(const RigSetup& setup, std::string& why) {
    if (!server_.start()) {
        why = "jackd did not start";
        return false;
    }
    if (!startLinkHut(setup, why)) {
        return false;
    }
    const auto frames = static_cast<std::size_t>((setup.recordSeconds + 2) * 48000);
    ours_ = std::make_unique<testing::JackAudioRecorder>(frames, "ear-tambrel");
    theirs_ = std::make_unique<testing::JackAudioRecorder>(frames, "ear-linkhut");
    if (!tambrel_.join(setup, why)) {
        return false;
    }
    if (ours_->listenTo("^Tambrel:") != 2 ||
        theirs_->listenTo(testing::LinkHutProgram::kOutputPorts) != 2) {
        why = "the recorders found no synth or no LinkHut outputs";
        return false;
    }
    return true;
}

std::optional<std::chrono::microseconds> TambrelPeer::tickUntil(const std::function<bool()>& done,
                                                                std::chrono::milliseconds limit) {
    const auto from = std::chrono::steady_clock::now();
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastTick_ >= 20ms) {
            engine_->followTick();
            lastTick_ = now;
        }
        if (done()) {
            return std::chrono::duration_cast<std::chrono::microseconds>(
                std::chrono::steady_clock::now() - from);
        }
        if (now - from > limit) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(2ms);
    }
}

void TambrelPeer::tickFor(std::chrono::milliseconds duration) {
    (void)tickUntil([] { return false; }, duration);
}

void LinkRig::startRecording() {
    ours_->startRecording();
    theirs_->startRecording();
}

std::vector<double> LinkRig::ourOnsets() const {
    return onsetTimes(ours_->recording(), true);
}

std::vector<double> LinkRig::theirOnsets() const {
    return onsetTimes(theirs_->recording(), false);
}

double LinkRig::longestStallMs() const {
    return 1000 *
           std::max(ours_->recording().skippedSeconds(), theirs_->recording().skippedSeconds());
}

std::vector<std::pair<double, double>> LinkRig::stalls() const {
    const testing::Recording recording = ours_->recording();
    std::vector<std::pair<double, double>> found;
    for (std::size_t i = 1; i < recording.arrivals.size(); ++i) {
        const double gap = recording.arrivals[i].second - recording.arrivals[i - 1].second;
        if (gap > 0.02) {
            found.emplace_back(recording.arrivals[i].second, gap);
        }
    }
    return found;
}

std::chrono::nanoseconds TambrelPeer::outputLatency() const {
    return out_->latency(synth_);
}

} // namespace tambrel::bench
