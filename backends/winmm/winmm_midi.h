#pragma once
// MIDI output through the Windows multimedia services: the system's output devices as
// midiOutGetNumDevs numbers them (device 0 is usually the system's own General MIDI
// synth), named by midiOutGetDevCapsA, played through midiOutOpen, midiOutShortMsg and
// midiOutClose. The calls go through a table so that the tests can stand in for devices
// that the machine does not have.

#include "midiout/midi_out.h"

#include <windows.h>

#include <mmsystem.h>

namespace tambrel::backends {

struct WinMmMidiCalls {
    UINT(WINAPI* getNumDevs)();
    MMRESULT(WINAPI* getDevCaps)(UINT_PTR device, LPMIDIOUTCAPSA caps, UINT size);
    MMRESULT(WINAPI* open)
    (LPHMIDIOUT handle, UINT device, DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
    MMRESULT(WINAPI* shortMsg)(HMIDIOUT handle, DWORD message);
    MMRESULT(WINAPI* close)(HMIDIOUT handle);
};

// The real WinMM functions.
const WinMmMidiCalls& systemMidiCalls() noexcept;

// One device per number below the count, in the system's order.
midiout::MidiOutDeviceList discoverWinMmMidiDevices(const WinMmMidiCalls& calls);

} // namespace tambrel::backends
