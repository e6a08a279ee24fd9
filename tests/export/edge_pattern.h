#pragma once
// A pattern file with what the clock sends but a sequencer may not expect: a track at
// volume 0, an instrument the catalogue does not know (key 0), "3/4" at the fastest tempo
// (20000 / 260 = 76.9: the clock plays 76 ms steps). 17 notes a bar, 2 of them silent.

#include <string>

namespace tambrel::testing {

inline const std::string kEdgePattern = "3/4\r\n260\r\n"
                                        "TR1INFO:100+Acoustic Bass Drum\r\n"
                                        "TR2INFO:0+Acoustic Snare\r\n"
                                        "TR3INFO:90+Close Hi-Hat\r\n"
                                        "TR4INFO:100+Open Hi-Hat\r\n"
                                        "TR5INFO:70+Cowbel\r\n"
                                        "TR6INFO:100+Low Tom\r\n"
                                        "TR7INFO:100+Crash Cymbal 1\r\n"
                                        "TR8INFO:127+Ride Cymbal 1\r\n"
                                        "11101000\r\n00100000\r\n01100000\r\n"
                                        "00100000\r\n00001001\r\n00100000\r\n"
                                        "01100000\r\n00100000\r\n10100001\r\n";

} // namespace tambrel::testing
