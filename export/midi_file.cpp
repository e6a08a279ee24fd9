#include "export/midi_file.h"

#include "midiout/timed_message.h"

#include <algorithm>
#include <vector>

namespace tambrel::exporting {

namespace {

struct Fraction {
    int numerator;
    int denominator;
};

// "12/8" as 12 and 8: the signature's text is where its meter is written down.
constexpr Fraction meterOf(std::string_view text) {
    const std::size_t slash = text.find('/');
    int numerator = 0;
    for (const char c : text.substr(0, slash)) {
        numerator = numerator * 10 + (c - '0');
    }
    int denominator = 0;
    for (const char c : text.substr(slash + 1)) {
        denominator = denominator * 10 + (c - '0');
    }
    return {numerator, denominator};
}

// A bar is 4 * numerator / denominator quarter notes, in stepsPerBar equal steps.
constexpr int ticksPerBar(const engine::TimeSignatureInfo& info) {
    const Fraction meter = meterOf(info.text);
    return kTicksPerQuarter * 4 * meter.numerator / meter.denominator;
}

// Both the ticks of a step and the microseconds of a quarter note come out whole.
constexpr bool wholeGrid(const engine::TimeSignatureInfo& info) {
    const Fraction meter = meterOf(info.text);
    return ticksPerBar(info) % info.stepsPerBar == 0 &&
           (info.stepsPerBar * meter.denominator) % (4 * meter.numerator) == 0;
}
static_assert(std::all_of(engine::kTimeSignatures.begin(), engine::kTimeSignatures.end(),
                          wholeGrid));

// A note ends before the next step starts: never past the next note of its key, and never
// at a tick where a note starts, so events sort by their tick alone.
constexpr bool noteEndsWithinItsStep(const engine::TimeSignatureInfo& info) {
    return kNoteTicks < ticksPerBar(info) / info.stepsPerBar;
}
static_assert(std::all_of(engine::kTimeSignatures.begin(), engine::kTimeSignatures.end(),
                          noteEndsWithinItsStep));

constexpr int log2Of(int power) {
    int log = 0;
    while (power > 1) {
        power /= 2;
        ++log;
    }
    return log;
}

void appendVariable(std::string& out, std::uint32_t value) {
    char bytes[5];
    int n = 0;
    bytes[n++] = static_cast<char>(value & 0x7F);
    while ((value >>= 7) != 0) {
        bytes[n++] = static_cast<char>(0x80 | (value & 0x7F));
    }
    while (n > 0) {
        out += bytes[--n];
    }
}

void appendBigEndian(std::string& out, std::uint32_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) {
        out += static_cast<char>((value >> shift) & 0xFF);
    }
}

void appendMeta(std::string& out, std::uint8_t type, std::string_view data) {
    out += '\xFF';
    out += static_cast<char>(type);
    appendVariable(out, static_cast<std::uint32_t>(data.size()));
    out.append(data);
}

struct Event {
    std::int64_t tick;
    std::uint8_t status;
    std::uint8_t key;
    std::uint8_t velocity;
};

constexpr std::uint8_t kNoteOff = 0x80;
constexpr std::uint8_t kReleaseVelocity = 64;

} // namespace

MidiMeter midiMeter(engine::TimeSig sig, int stepPeriodMs) noexcept {
    const engine::TimeSignatureInfo& info = engine::timeSignatureInfo(sig);
    const Fraction meter = meterOf(info.text);
    MidiMeter m;
    m.numerator = meter.numerator;
    m.denominator = meter.denominator;
    m.ticksPerStep = ticksPerBar(info) / info.stepsPerBar;
    m.microsPerQuarter = std::int64_t{stepPeriodMs} * 1000 * info.stepsPerBar * meter.denominator /
                         (4 * meter.numerator);
    return m;
}

std::string standardMidiFile(const Loop& loop, std::string_view trackName) {
    const MidiMeter meter = midiMeter(loop.timeSignature, loop.stepPeriodMs);

    std::vector<Event> events;
    events.reserve(loop.notes.size() * 2);
    for (const LoopNote& note : loop.notes) {
        // The file keeps its own time, in ticks: no moment.
        const midiout::TimedMessage message = midiout::TimedMessage::fromShort(note.message, {});
        const auto [status, key, velocity] = message.bytes;
        if (message.size != 3 || velocity == 0) {
            continue;
        }
        const std::int64_t tick = note.step * meter.ticksPerStep;
        events.push_back({tick, status, key, velocity});
        const auto off = static_cast<std::uint8_t>(kNoteOff | (status & 0x0F));
        events.push_back({tick + kNoteTicks, off, key, kReleaseVelocity});
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const Event& a, const Event& b) { return a.tick < b.tick; });

    std::string track;
    appendVariable(track, 0);
    appendMeta(track, 0x03, trackName);
    // Time signature: numerator, the denominator's power of two, MIDI clocks (24 to the
    // quarter) per metronome click, 32nd notes per quarter. Compound meters click on the
    // dotted quarter.
    const bool compound = meter.denominator == 8 && meter.numerator % 3 == 0;
    const std::string signature = {
        static_cast<char>(meter.numerator), static_cast<char>(log2Of(meter.denominator)),
        static_cast<char>(compound ? 36 : 96 / meter.denominator), static_cast<char>(8)};
    appendVariable(track, 0);
    appendMeta(track, 0x58, signature);
    std::string tempo;
    appendBigEndian(tempo, static_cast<std::uint32_t>(meter.microsPerQuarter), 3);
    appendVariable(track, 0);
    appendMeta(track, 0x51, tempo);

    std::int64_t last = 0;
    for (const Event& e : events) {
        appendVariable(track, static_cast<std::uint32_t>(e.tick - last));
        last = e.tick;
        track += static_cast<char>(e.status);
        track += static_cast<char>(e.key);
        track += static_cast<char>(e.velocity);
    }
    const std::int64_t end = loop.steps() * meter.ticksPerStep;
    appendVariable(track, static_cast<std::uint32_t>(end - last));
    appendMeta(track, 0x2F, {});

    std::string file = "MThd";
    appendBigEndian(file, 6, 4);
    appendBigEndian(file, 0, 2); // format 0: one track
    appendBigEndian(file, 1, 2);
    appendBigEndian(file, kTicksPerQuarter, 2);
    file += "MTrk";
    appendBigEndian(file, static_cast<std::uint32_t>(track.size()), 4);
    file += track;
    return file;
}

} // namespace tambrel::exporting
