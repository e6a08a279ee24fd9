#include "jack_clock_sender.h"

#include "tests/support/child_process.h"

#include <jack/jack.h>

#include <csignal>
#include <cstdlib>
#include <thread>

namespace tambrel::testing {

namespace {

bool waitForPort(jack_client_t* client, const char* name) {
    for (int i = 0; i < 500; ++i) {
        if (jack_port_by_name(client, name) != nullptr) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

} // namespace

JackClockSender::JackClockSender(jack_client_t* client, double tempo, int jitterPercent) {
    clock_ = spawnChild({"jack_midi_clock", "-J", std::to_string(jitterPercent)});
    if (clock_ <= 0 || !waitForPort(client, kPort)) {
        return;
    }
    // jack_transport reads its commands line by line from standard input.
    transport_ = popen("exec jack_transport >/dev/null 2>&1", "w");
    command("master");
    command("tempo " + std::to_string(tempo));
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

bool JackClockSender::connect(jack_client_t* client, const std::string& port) {
    for (int i = 0; i < 200; ++i) {
        if (jack_connect(client, kPort, port.c_str()) == 0) {
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
