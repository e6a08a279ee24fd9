#pragma once
// Rendered audio as the render tests look at it: read from a WAV file with libsndfile, or
// taken straight from the renderer; where sounds start, and how loud it is.

#include <sndfile.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace tambrel::testing {

struct Audio {
    int rate = 0;
    int channels = 2;
    int format = 0;             // libsndfile's, for a file
    std::vector<float> samples; // interleaved

    std::int64_t frames() const { return static_cast<std::int64_t>(samples.size()) / channels; }
    // The loudest channel at a frame.
    float level(std::int64_t frame) const {
        float peak = 0.0f;
        for (int c = 0; c < channels; ++c) {
            peak =
                std::max(peak, std::fabs(samples[static_cast<std::size_t>(frame * channels + c)]));
        }
        return peak;
    }
};

inline Audio readWav(const std::string& path) {
    Audio audio;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        ADD_FAILURE() << path << ": " << sf_strerror(nullptr);
        return audio;
    }
    audio.rate = info.samplerate;
    audio.channels = info.channels;
    audio.format = info.format;
    audio.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
    EXPECT_EQ(sf_readf_float(file, audio.samples.data(), info.frames), info.frames) << path;
    sf_close(file);
    return audio;
}

// Where sounds start: the first frame above -40 dBFS once 20 ms have stayed below -60 dBFS.
inline std::vector<std::int64_t> onsets(const Audio& audio) {
    const float loud = 0.01f;
    const float quiet = 0.001f;
    const std::int64_t quietFrames = audio.rate / 50;
    std::vector<std::int64_t> found;
    bool afterSilence = true; // the file starts in silence
    std::int64_t quietFor = 0;
    for (std::int64_t f = 0; f < audio.frames(); ++f) {
        const float level = audio.level(f);
        if (afterSilence && level > loud) {
            found.push_back(f);
            afterSilence = false;
        }
        quietFor = level < quiet ? quietFor + 1 : 0;
        afterSilence = afterSilence || quietFor >= quietFrames;
    }
    return found;
}

// The RMS of the first `frames` frames, all channels, in dB of full scale.
inline double rmsDbfs(const Audio& audio, std::int64_t frames) {
    double sum = 0.0;
    const std::size_t n =
        static_cast<std::size_t>(std::min(frames, audio.frames()) * audio.channels);
    for (std::size_t i = 0; i < n; ++i) {
        sum += double{audio.samples[i]} * audio.samples[i];
    }
    return 10.0 * std::log10(sum / static_cast<double>(n));
}

} // namespace tambrel::testing
