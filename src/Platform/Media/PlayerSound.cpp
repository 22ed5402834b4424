#include "Platform/Media/PlayerSound.hpp"

#include <algorithm>

#include "Platform/Audio/Output.hpp"
#include "Platform/Media/CompositionAudioReader.hpp"

namespace osterveil::media::detail {

namespace {

// Sound is read in pieces of this many frames.
constexpr std::int64_t kSoundChunk = 1024;

} // namespace

std::vector<float> Varispeed::process(std::vector<float> in) {
    constexpr int C = CompositionAudioReader::channels;
    if (rate_ == 1.0) return in;
    if (tail_.size() == C) in.insert(in.begin(), tail_.begin(), tail_.end());
    const std::int64_t frames = std::int64_t(in.size()) / C;
    std::vector<float> out;
    if (frames < 2) return out;
    out.reserve(std::size_t(double(frames) / rate_ + 2) * C);
    while (position_ + 1 < double(frames)) {
        const auto i = static_cast<std::int64_t>(position_);
        const float f = static_cast<float>(position_ - double(i));
        for (int c = 0; c < C; ++c) {
            const float a = in[std::size_t(i * C + c)], b = in[std::size_t((i + 1) * C + c)];
            out.push_back(a + (b - a) * f);
        }
        position_ += rate_;
    }
    position_ -= double(frames - 1);
    tail_.assign(in.end() - C, in.end());
    return out;
}

SoundFeed::SoundFeed(audio::Output& output) : output_(output) {}

SoundFeed::~SoundFeed() = default;

bool SoundFeed::start(const std::shared_ptr<const PlayerItem>& item, double time, double rate) {
    reader_.reset();
    pending_.clear();
    pendingAt_ = 0;
    output_.clear();
    active_ = item && item->hasAudio() && rate > 0 && rate <= 2 && time < item->duration();
    if (active_) {
        try {
            const Time from = Time::seconds(std::max(0.0, time));
            reader_ = std::make_unique<CompositionAudioReader>(
                item->audioComposition(), item->audioMix(),
                TimeRange::fromStartEnd(from, Time::seconds(item->duration())), kSoundChunk);
            varispeed_ = Varispeed(rate);
            left_ = reader_->frameCount();
        } catch (const std::exception&) {
            active_ = false;
        }
    }
    return active_;
}

bool SoundFeed::fill() {
    if (!active_) return false;
    try {
        for (;;) {
            constexpr int C = CompositionAudioReader::channels;
            if (pendingAt_ * C >= pending_.size()) {
                if (left_ <= 0) {
                    output_.endOfSound();
                    active_ = false;
                    break;
                }
                std::vector<float> piece;
                if (reader_) {
                    try {
                        if (auto read = reader_->next()) piece = std::move(read->samples);
                    } catch (const std::exception&) {
                        reader_.reset(); // sound that cannot be decoded: silence to the end, and the clock
                                         // runs on
                    }
                }
                if (piece.empty()) piece.assign(std::size_t(std::min(left_, kSoundChunk)) * C, 0.0f);
                left_ -= std::int64_t(piece.size()) / C;
                pending_ = varispeed_.process(std::move(piece));
                pendingAt_ = 0;
                continue;
            }
            const std::size_t left = pending_.size() / C - pendingAt_;
            const std::size_t n = output_.write(pending_.data() + pendingAt_ * C, left);
            pendingAt_ += n;
            if (n < left) break; // the ring is full
        }
    } catch (const std::exception&) {
        active_ = false;
    }
    return active_;
}

} // namespace osterveil::media::detail
