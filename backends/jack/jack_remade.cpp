#include "jack_remade.h"

namespace tambrel::backends {

namespace {

template <class Remade, class Made>
std::unique_ptr<Made> openRemade(std::shared_ptr<JackConnection> connection, JackOpener<Made> open,
                                 std::string& why) {
    JackRemade<Made> made(std::move(connection), std::move(open));
    if (!made.make(why)) {
        return nullptr;
    }
    return std::make_unique<Remade>(std::move(made));
}

} // namespace

std::unique_ptr<midiout::ClockSink>
RemadeClockSink::open(std::shared_ptr<JackConnection> connection,
                      JackOpener<midiout::ClockSink> open, std::string& why) {
    return openRemade<RemadeClockSink>(std::move(connection), std::move(open), why);
}

std::unique_ptr<midiout::FollowedSource>
RemadeFollowedSource::open(std::shared_ptr<JackConnection> connection,
                           JackOpener<midiout::FollowedSource> open, std::string& why) {
    return openRemade<RemadeFollowedSource>(std::move(connection), std::move(open), why);
}

std::unique_ptr<midiout::TransportLead>
RemadeTransportLead::open(std::shared_ptr<JackConnection> connection,
                          JackOpener<midiout::TransportLead> open, std::string& why) {
    return openRemade<RemadeTransportLead>(std::move(connection), std::move(open), why);
}

} // namespace tambrel::backends
