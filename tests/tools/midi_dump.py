"""What Python's mido reads in Standard MIDI Files, one event a line with its absolute
tick: a reader of the files that tambrel-pattern writes which we did not write."""

import sys

import mido

for path in sys.argv[1:]:
    midi = mido.MidiFile(path)
    print(f"file {path}")
    print(f"type {midi.type} division {midi.ticks_per_beat} tracks {len(midi.tracks)}")
    print(f"ms {round(midi.length * 1000)}")
    for track in midi.tracks:
        tick = 0
        for m in track:
            tick += m.time
            if m.type == "track_name":
                print(f"{tick} name {m.name}")
            elif m.type == "time_signature":
                print(f"{tick} meter {m.numerator}/{m.denominator} "
                      f"{m.clocks_per_click} {m.notated_32nd_notes_per_beat}")
            elif m.type == "set_tempo":
                print(f"{tick} tempo {m.tempo}")
            elif m.type == "note_on":
                print(f"{tick} on {m.channel} {m.note} {m.velocity}")
            elif m.type == "note_off":
                print(f"{tick} off {m.channel} {m.note}")
            elif m.type == "end_of_track":
                print(f"{tick} end")
            else:
                print(f"{tick} {m.type}")
