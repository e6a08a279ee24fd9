#pragma once
// MIDI output to the ALSA sequencer, through RtMidi: other programs' sequencer ports, and
// a virtual port of ours that other programs connect to. Absent where the machine has no
// sequencer (/dev/snd/seq).

#include "midiout/backend_devices.h"
#include "midiout/midi_out.h"

#include <atomic>
#include <memory>
#include <string>

class RtMidiOut;

namespace tambrel::backends {

// Keeps alsa-lib from printing its errors on the terminal (process-wide).
void silenceAlsa() noexcept;

class AlsaMidiDevice : public midiout::MidiOutDevice {
public:
    // `virtualPort`: our own port named `name`; otherwise the sequencer port of that name.
    AlsaMidiDevice(std::string name, bool virtualPort);
    ~AlsaMidiDevice() override;
    std::string name() const override { return name_; }
    bool open() override;
    void send(const midiout::TimedMessage& message) noexcept override;
    void close() noexcept override;

private:
    static void onRtMidiError(int type, const std::string& text, void* self);

    std::string name_;
    bool virtualPort_;
    std::atomic<bool> failed_{false}; // RtMidi reports errors from whichever thread met them
    std::unique_ptr<RtMidiOut> out_;
};

inline constexpr const char* kAlsaOwnPortDeviceName = "Tambrel ALSA out";

// True when the machine has an ALSA sequencer to talk to.
bool alsaSequencerPresent() noexcept;

// Other programs' sequencer ports, then our own virtual port; empty without a sequencer.
midiout::BackendDevices discoverAlsaMidiDevices();

} // namespace tambrel::backends
