#include "Platform/Media/CompositionAudioReader.hpp"

#include <algorithm>
#include <cmath>
#include <map>

#include <tbb/parallel_for.h>

#include "Platform/Media/AudioDecoder.hpp"

namespace osterveil::media {

namespace {

constexpr int kRate = CompositionAudioReader::sampleRate;
constexpr int kChannels = CompositionAudioReader::channels;
// Decoders a track keeps open at once; more distinct sources than this start over.
constexpr std::size_t kDecodersPerTrack = 16;

std::int64_t frameAt(const Time& t) { return t.converted(kRate).value(); }

// One stretch of source sound on the 48 kHz clock.
struct Piece {
    std::int64_t begin = 0, end = 0; // composition frames [begin, end)
    std::shared_ptr<const AssetTrack> source;
    std::int64_t sourceBegin = 0; // source frame at `begin`
    double step = 1;              // source frames per composition frame
};

struct TrackMix {
    std::vector<Piece> pieces;
    const AudioMixInputParameters* input = nullptr;
    std::map<std::pair<std::filesystem::path, int>, std::unique_ptr<AudioDecoder>> decoders;
    std::vector<float> sum, source, gains;
    bool silent = true;
    bool sourcesMustLast = false;

    // Reads source frames [first, first + count), failing when the data ends before `needed`.
    void read(AudioDecoder& dec, std::int64_t first, std::int64_t count, std::int64_t needed) {
        try {
            dec.read(first, count, source.data());
        } catch (const Error& e) {
            throw AudioDecodeError(sourceMessage(dec.track().assetPath, e.what()));
        }
        if (sourcesMustLast && dec.ranOutBefore(needed))
            throw AudioDecodeError(cutShortMessage(dec.track().assetPath));
    }

    AudioDecoder& decoder(const std::shared_ptr<const AssetTrack>& track) {
        const auto key = std::make_pair(track->assetPath, track->streamIndex);
        auto it = decoders.find(key);
        if (it != decoders.end()) return *it->second;
        if (decoders.size() >= kDecodersPerTrack) decoders.clear();
        try {
            return *decoders.emplace(key, std::make_unique<AudioDecoder>(track, kRate, kChannels)).first->second;
        } catch (const Error& e) {
            throw AudioDecodeError(sourceMessage(track->assetPath, e.what()));
        }
    }

    void mix(std::int64_t c0, std::int64_t c1) {
        const std::int64_t n = c1 - c0;
        silent = true;
        if (input && input->isSilent(c0, kRate, std::size_t(n))) return; // nothing audible: skip decoding
        sum.assign(std::size_t(n) * kChannels, 0.0f);
        gains.resize(std::size_t(n));
        if (input) input->volumes(c0, kRate, gains.data(), gains.size());
        else std::fill(gains.begin(), gains.end(), 1.0f);

        auto first = std::lower_bound(pieces.begin(), pieces.end(), c0, [](const Piece& p, std::int64_t f) { return p.end <= f; });
        for (auto p = first; p != pieces.end() && p->begin < c1; ++p) {
            const std::int64_t a = std::max(p->begin, c0), b = std::min(p->end, c1);
            if (b <= a) continue;
            AudioDecoder& dec = decoder(p->source);
            float* out = sum.data() + (a - c0) * kChannels;
            const float* g = gains.data() + (a - c0);
            if (p->step == 1.0) {
                source.resize(std::size_t(b - a) * kChannels);
                read(dec, p->sourceBegin + (a - p->begin), b - a, p->sourceBegin + (b - p->begin));
                for (std::int64_t k = 0; k < b - a; ++k)
                    for (int c = 0; c < kChannels; ++c) out[k * kChannels + c] += source[k * kChannels + c] * g[k];
            } else {
                // A speed-changed stretch: source frames at the stretched positions, linearly between.
                const double startPos = double(a - p->begin) * p->step;
                const std::int64_t s0 = p->sourceBegin + static_cast<std::int64_t>(std::floor(startPos));
                const std::int64_t s1 = p->sourceBegin + static_cast<std::int64_t>(std::ceil(double(b - p->begin) * p->step)) + 2;
                source.resize(std::size_t(s1 - s0) * kChannels);
                read(dec, s0, s1 - s0, s1 - 2);
                for (std::int64_t k = 0; k < b - a; ++k) {
                    const double pos = double(a + k - p->begin) * p->step - double(s0 - p->sourceBegin);
                    const std::int64_t i = std::clamp<std::int64_t>(static_cast<std::int64_t>(pos), 0, s1 - s0 - 2);
                    const float f = static_cast<float>(std::clamp(pos - double(i), 0.0, 1.0));
                    for (int c = 0; c < kChannels; ++c) {
                        const float x = source[i * kChannels + c], y = source[(i + 1) * kChannels + c];
                        out[k * kChannels + c] += (x + (y - x) * f) * g[k];
                    }
                }
            }
            silent = false;
        }
    }
};

} // namespace

struct CompositionAudioReader::Impl {
    std::shared_ptr<const Composition> composition;
    std::optional<AudioMix> mix;
    std::vector<TrackMix> tracks;
    std::int64_t begin = 0, end = 0, position = 0, perBuffer = 4800;
};

CompositionAudioReader::CompositionAudioReader(std::shared_ptr<const Composition> composition,
                                               std::optional<AudioMix> mix, std::optional<TimeRange> range,
                                               std::int64_t framesPerBuffer, bool sourcesMustLast)
    : impl_(std::make_unique<Impl>()) {
    Impl& m = *impl_;
    m.composition = std::move(composition);
    m.mix = std::move(mix);
    m.perBuffer = std::max<std::int64_t>(framesPerBuffer, 1);
    Time longest = Time::zero();
    if (m.composition) {
        for (const CompositionTrack* t : m.composition->tracks(MediaType::audio)) {
            TrackMix tm;
            tm.sourcesMustLast = sourcesMustLast;
            if (m.mix) tm.input = m.mix->input(t->trackID());
            for (const auto& s : t->segments()) {
                if (s.isEmpty() || !s.target.duration.isNumeric()) continue;
                Piece p;
                p.begin = frameAt(s.target.start);
                p.end = frameAt(s.target.end());
                if (p.end <= p.begin) continue;
                p.source = s.source;
                p.sourceBegin = frameAt(s.sourceRange.start);
                const double target = s.target.duration.toSeconds(), src = s.sourceRange.duration.toSeconds();
                p.step = (target > 0 && src != target) ? src / target : 1.0;
                tm.pieces.push_back(std::move(p));
            }
            if (t->timeRange().end() > longest) longest = t->timeRange().end();
            if (!tm.pieces.empty()) m.tracks.push_back(std::move(tm));
        }
    }
    const TimeRange r = range.value_or(TimeRange(Time::zero(), longest));
    m.begin = frameAt(r.start);
    m.end = r.duration.isNumeric() ? std::max(m.begin, frameAt(r.end())) : frameAt(longest);
    m.position = m.begin;
}

CompositionAudioReader::~CompositionAudioReader() = default;

std::int64_t CompositionAudioReader::frameCount() const { return impl_->end - impl_->begin; }

std::optional<MixedAudio> CompositionAudioReader::next() {
    Impl& m = *impl_;
    if (m.position >= m.end) return std::nullopt;
    const std::int64_t c0 = m.position, c1 = std::min(m.end, c0 + m.perBuffer);
    m.position = c1;

    tbb::parallel_for(std::size_t(0), m.tracks.size(), [&](std::size_t i) { m.tracks[i].mix(c0, c1); });

    MixedAudio out;
    out.firstFrame = c0;
    out.presentationTime = Time(c0, kRate);
    out.samples.assign(std::size_t(c1 - c0) * kChannels, 0.0f);
    for (const TrackMix& t : m.tracks) {
        if (t.silent) continue;
        for (std::size_t k = 0; k < out.samples.size(); ++k) out.samples[k] += t.sum[k];
    }
    // What leaves the mixer goes to an encoder or a sound device as it is: held at full scale there
    // is where every one of them would clip it, and nothing louder, or not a number, gets through.
    for (float& v : out.samples) v = std::isnan(v) ? 0.0f : std::clamp(v, -1.0f, 1.0f);
    return out;
}

} // namespace osterveil::media
