#pragma once
// The 6/8 pattern at tempo 90 that the file format is described by: bass drum on step 1,
// snare on step 4, hi-hat on every step, track 3 at volume 80 and track 8 at 127. 277
// bytes, every line ended by CR LF.

#include <string>

namespace tambrel::testing {

inline const std::string kWorkedExample = "6/8\r\n"
                                          "90\r\n"
                                          "TR1INFO:100+Acoustic Bass Drum\r\n"
                                          "TR2INFO:100+Acoustic Snare\r\n"
                                          "TR3INFO:80+Close Hi-Hat\r\n"
                                          "TR4INFO:100+Open Hi-Hat\r\n"
                                          "TR5INFO:100+High Tom\r\n"
                                          "TR6INFO:100+Low Tom\r\n"
                                          "TR7INFO:100+Crash Cymbal 1\r\n"
                                          "TR8INFO:127+Ride Cymbal 1\r\n"
                                          "10100000\r\n"
                                          "00100000\r\n"
                                          "00100000\r\n"
                                          "01100000\r\n"
                                          "00100000\r\n"
                                          "00100000\r\n";

} // namespace tambrel::testing
