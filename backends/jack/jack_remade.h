#pragma once
// The clock out's port, a followed source of time or a transport lead on our JACK client
// that, once the server it was made on has gone (a JACK server stopped and started again),
// is made again on the one that runs now: choosing the output again brings it back, as it
// reopens the notes' device. Until then the window goes on with what it had, which no longer
// reaches any server.

#include "backends/jack/jack_client.h"
#include "midiout/clock_sink.h"
#include "midiout/followed_time.h"
#include "midiout/transport_lead.h"

#include <functional>
#include <memory>
#include <string>

namespace tambrel::backends {

// Makes one on `client`; nothing, with the reason in `why`, when it cannot. `again`: a
// remake after the server went, where a connection that cannot be made as it was (the other
// program's port is not there now) is left for the user to make rather than refused.
template <class Made>
using JackOpener = std::function<std::unique_ptr<Made>(std::shared_ptr<JackMidiClient> client,
                                                       std::string& why, bool again)>;

// What is made, on which client, and how to make it again.
template <class Made> class JackRemade {
public:
    JackRemade(std::shared_ptr<JackConnection> connection, JackOpener<Made> open)
        : connection_(std::move(connection)), open_(std::move(open)) {}

    // The first one, on the connection's client; false with the reason in `why`.
    bool make(std::string& why) {
        client_ = connection_ != nullptr ? connection_->client() : nullptr;
        made_ = open_(client_, why, false);
        return made_ != nullptr;
    }
    bool lost() const noexcept { return !client_->alive(); }
    // Made again on the server that runs now; the one before goes (its server with it, it
    // holds nothing that anybody waits on).
    bool remake() noexcept {
        if (!lost()) {
            return false;
        }
        try {
            std::shared_ptr<JackMidiClient> client = connection_->client();
            if (client == nullptr || client == client_) {
                return false;
            }
            std::string why;
            std::unique_ptr<Made> made = open_(client, why, true);
            if (made == nullptr) {
                return false;
            }
            made_ = std::move(made);
            client_ = std::move(client);
            return true;
        } catch (...) {
            return false; // out of memory making the client: it stays lost
        }
    }
    Made& operator*() const noexcept { return *made_; }
    Made* operator->() const noexcept { return made_.get(); }

private:
    const std::shared_ptr<JackConnection> connection_;
    const JackOpener<Made> open_;
    std::shared_ptr<JackMidiClient> client_;
    std::unique_ptr<Made> made_;
};

// Sent through only while nothing is remade: the step clock is halted for a switch.
class RemadeClockSink final : public midiout::ClockSink {
public:
    explicit RemadeClockSink(JackRemade<midiout::ClockSink> made) : made_(std::move(made)) {}
    // Window's thread. Nothing, with the reason in `why`, when the first cannot be made.
    static std::unique_ptr<midiout::ClockSink> open(std::shared_ptr<JackConnection> connection,
                                                    JackOpener<midiout::ClockSink> open,
                                                    std::string& why);

    void sendClock(const midiout::TimedMessage& message) noexcept override {
        made_->sendClock(message);
    }
    void sendClockAt(const midiout::TimedMessage& message, std::uint32_t frame) noexcept override {
        made_->sendClockAt(message, frame);
    }
    const midiout::FrameClock* frameClock() const noexcept override { return made_->frameClock(); }
    bool lost() const noexcept override { return made_.lost(); }
    bool reconnect() noexcept override { return made_.remake(); }

private:
    JackRemade<midiout::ClockSink> made_;
};

class RemadeFollowedSource final : public midiout::FollowedSource {
public:
    explicit RemadeFollowedSource(JackRemade<midiout::FollowedSource> made)
        : made_(std::move(made)) {}
    // Window's thread. Nothing, with the reason in `why`, when the first cannot be made.
    static std::unique_ptr<midiout::FollowedSource> open(std::shared_ptr<JackConnection> connection,
                                                         JackOpener<midiout::FollowedSource> open,
                                                         std::string& why);

    midiout::FollowedGrid grid() const noexcept override { return made_->grid(); }
    const midiout::FrameClock& frames() const noexcept override { return made_->frames(); }
    std::int64_t delayFrames() const noexcept override { return made_->delayFrames(); }
    void setOwnTime(const midiout::OwnTime& own) noexcept override { made_->setOwnTime(own); }
    void look(midiout::Moment now) noexcept override { made_->look(now); }
    std::uint32_t stillLookMs() const noexcept override { return made_->stillLookMs(); }
    bool tempoChosen(int tempo) noexcept override { return made_->tempoChosen(tempo); }
    void setOutputLatency(std::chrono::nanoseconds latency) noexcept override {
        made_->setOutputLatency(latency);
    }
    void playPressed() noexcept override { made_->playPressed(); }
    void stopPressed() noexcept override { made_->stopPressed(); }
    void prepared(std::uint32_t epoch) noexcept override { made_->prepared(epoch); }
    bool lost() const noexcept override { return made_.lost(); }
    bool reconnect() noexcept override { return made_.remake(); }
    // The one made last (a benchmark sets what its kind alone has).
    midiout::FollowedSource& made() const noexcept { return *made_; }

private:
    JackRemade<midiout::FollowedSource> made_;
};

class RemadeTransportLead final : public midiout::TransportLead {
public:
    explicit RemadeTransportLead(JackRemade<midiout::TransportLead> made)
        : made_(std::move(made)) {}
    // Window's thread. Nothing, with the reason in `why`, when the first cannot be made;
    // `why` also carries a note from a lead that was made.
    static std::unique_ptr<midiout::TransportLead> open(std::shared_ptr<JackConnection> connection,
                                                        JackOpener<midiout::TransportLead> open,
                                                        std::string& why);

    void started(midiout::Moment firstStep,
                 const midiout::TransportMeter& meter) noexcept override {
        made_->started(firstStep, meter);
    }
    void stopped() noexcept override { made_->stopped(); }
    const midiout::FrameClock* frameClock() const noexcept override { return made_->frameClock(); }
    bool lost() const noexcept override { return made_.lost(); }
    bool reconnect() noexcept override { return made_.remake(); }

private:
    JackRemade<midiout::TransportLead> made_;
};

} // namespace tambrel::backends
