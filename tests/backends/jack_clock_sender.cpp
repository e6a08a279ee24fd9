#include "jack_clock_sender.h"

#include "tests/support/child_process.h"

#include <jack/jack.h>

#include <csignal>
#include <cstdlib>
#include <set>
#include <thread>

namespace tambrel::testing {

namespace {

// The clock ports on the server.
std::set<std::string> clockPorts(jack_client_t* client) {
    std::set<std::string> names;
    if (const char** ports = jack_get_ports(client, "mclk_out$", JACK_DEFAULT_MIDI_TYPE, 0)) {
        for (const char** p = ports; *p != nullptr; ++p) {
            names.insert(*p);
        }
        jack_free(ports);
    }
    return names;
}

} // namespace

JackClockSender::JackClockSender(jack_client_t* client, double tempo, int jitterPercent) {
    const std::set<std::string> before = clockPorts(client);
    clock_ = spawnChild({"jack_midi_clock", "-J", std::to_string(jitterPercent)});
    for (int i = 0; i < 500 && clock_ > 0 && port_.empty(); ++i) {
        for (const std::string& name : clockPorts(client)) {
            if (before.count(name) == 0) {
                port_ = name;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (tempo > 0) {
        // jack_transport reads its commands line by line from standard input.
        transport_ = popen("exec jack_transport >/dev/null 2>&1", "w");
        command("master");
        command("tempo " + std::to_string(tempo));
        if (transport_ == nullptr) {
            port_.clear();
        }
    }
}

JackClockSender::~JackClockSender() {
    if (transport_ != nullptr) {
        command("stop");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        command("quit");
        pclose(transport_);
    }
    if (clock_ > 0) {
        kill(clock_, SIGINT);
        reapChild(clock_, std::chrono::milliseconds(2000));
    }
}

bool JackClockSender::connect(jack_client_t* client, const std::string& port) const {
    for (int i = 0; i < 200; ++i) {
        if (jack_connect(client, port_.c_str(), port.c_str()) == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void JackClockSender::command(const std::string& line) {
    if (transport_ != nullptr) {
        std::fputs((line + "\n").c_str(), transport_);
        std::fflush(transport_);
    }
}

} // namespace tambrel::testing
