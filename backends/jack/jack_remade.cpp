#include "jack_remade.h"

namespace tambrel::backends {

std::unique_ptr<midiout::FollowedSource>
RemadeFollowedSource::open(std::shared_ptr<JackConnection> connection,
                           JackOpener<midiout::FollowedSource> open, std::string& why) {
    JackRemade<midiout::FollowedSource> made(std::move(connection), std::move(open));
    if (!made.make(why)) {
        return nullptr;
    }
    return std::unique_ptr<RemadeFollowedSource>(new RemadeFollowedSource(std::move(made)));
}

std::unique_ptr<midiout::TransportLead>
RemadeTransportLead::open(std::shared_ptr<JackConnection> connection,
                          JackOpener<midiout::TransportLead> open, std::string& why) {
    JackRemade<midiout::TransportLead> made(std::move(connection), std::move(open));
    if (!made.make(why)) {
        return nullptr;
    }
    return std::unique_ptr<RemadeTransportLead>(new RemadeTransportLead(std::move(made)));
}

} // namespace tambrel::backends
