#include "alsa_midi_device.h"

#include "midiout/midi_bytes.h"

#include <alsa/asoundlib.h>
#include <cstdarg>
#include <rtmidi/RtMidi.h>
#include <unistd.h>

namespace tambrel::backends {

namespace {

constexpr const char* kClientName = "Tambrel";

void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

// RtMidi prints warnings itself unless a callback takes them; errors end up here too and
// only mark the port as unusable.
void ignoreRtMidiText(RtMidiError::Type, const std::string&, void*) {}

} // namespace

void silenceAlsa() noexcept {
    snd_lib_error_set_handler(ignoreAlsaError);
}

bool alsaSequencerPresent() noexcept {
    if (access("/dev/snd/seq", R_OK | W_OK) != 0) {
        return false;
    }
    // RtMidi prints to the terminal when its own open of the sequencer fails, before any
    // error callback can be set: open it once ourselves, silently, first.
    silenceAlsa();
    snd_seq_t* sequencer = nullptr;
    if (snd_seq_open(&sequencer, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK) < 0) {
        return false;
    }
    snd_seq_close(sequencer);
    return true;
}

AlsaMidiDevice::AlsaMidiDevice(std::string name, bool virtualPort)
    : name_(std::move(name)), virtualPort_(virtualPort) {}

AlsaMidiDevice::~AlsaMidiDevice() {
    close();
}

void AlsaMidiDevice::onRtMidiError(int type, const std::string&, void* self) {
    if (type != RtMidiError::WARNING && type != RtMidiError::DEBUG_WARNING) {
        static_cast<AlsaMidiDevice*>(self)->failed_ = true;
    }
}

bool AlsaMidiDevice::open() {
    if (!alsaSequencerPresent()) {
        return false;
    }
    silenceAlsa();
    failed_ = false;
    try {
        out_ = std::make_unique<RtMidiOut>(RtMidi::LINUX_ALSA, kClientName);
        out_->setErrorCallback(
            [](RtMidiError::Type type, const std::string& text, void* self) {
                onRtMidiError(static_cast<int>(type), text, self);
            },
            this);
        if (virtualPort_) {
            out_->openVirtualPort(name_);
        } else {
            // Port numbers move when programs come and go: find it by name again.
            const unsigned count = out_->getPortCount();
            unsigned found = count;
            for (unsigned i = 0; i < count && found == count; ++i) {
                if (out_->getPortName(i) == name_) {
                    found = i;
                }
            }
            if (found == count) {
                out_.reset();
                return false;
            }
            out_->openPort(found, kClientName);
        }
    } catch (...) {
        out_.reset();
        return false;
    }
    if (failed_) {
        out_.reset();
        return false;
    }
    return true;
}

void AlsaMidiDevice::send(const midiout::TimedMessage& message) noexcept {
    if (!out_) {
        return;
    }
    try {
        // The pointer form: the vector form would allocate on the timer thread. RtMidi
        // sends at once: the moment is the one it is sent at.
        out_->sendMessage(message.bytes.data(), message.size);
    } catch (...) {
        // With an error callback set RtMidi reports instead of throwing; a send is
        // dropped either way.
    }
}

void AlsaMidiDevice::close() noexcept {
    try {
        out_.reset();
    } catch (...) {
    }
}

midiout::BackendDevices discoverAlsaMidiDevices() {
    midiout::BackendDevices devices;
    if (!alsaSequencerPresent()) {
        return devices;
    }
    silenceAlsa();
    try {
        RtMidiOut lister(RtMidi::LINUX_ALSA, kClientName);
        lister.setErrorCallback(ignoreRtMidiText, nullptr);
        const unsigned count = lister.getPortCount();
        for (unsigned i = 0; i < count; ++i) {
            std::string name = lister.getPortName(i);
            if (!name.empty()) {
                devices.others.push_back(std::make_unique<AlsaMidiDevice>(std::move(name), false));
            }
        }
    } catch (...) {
        return {};
    }
    devices.own = std::make_unique<AlsaMidiDevice>(kAlsaOwnPortDeviceName, true);
    return devices;
}

} // namespace tambrel::backends
