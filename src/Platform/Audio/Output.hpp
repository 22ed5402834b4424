#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace osterveil::audio {

// Where a player's sound goes: 48 kHz stereo float, written by the player into a small ring and
// taken from it by the sound device or, where there is none, by a clock that consumes in real time.
// The number of frames taken is the player's clock while sound plays: when the ring runs dry the
// clock stands still, as the listener hears nothing.
//
// Feeding (write, space, clear) may come from one other thread; control (start, stop, volume,
// position) comes from the thread that made the output.
class Output {
  public:
    static constexpr int sampleRate = 48000;
    static constexpr int channels = 2;

    enum class Kind { device, null };

    // The system's default sound output; a null output when there is none or it cannot be opened.
    static std::unique_ptr<Output> create();
    // An output without a device: consumes what is queued in real time (headless machines, tests).
    static std::unique_ptr<Output> createNull();

    virtual ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // A device output whose device failed turns into a null one.
    Kind kind() const;

    // Copies up to `frames` interleaved frames into the ring and returns how many it took; never waits.
    virtual std::size_t write(const float* samples, std::size_t frames);
    // Frames the ring can take now.
    std::size_t space() const;
    // Drops what is queued and not yet taken.
    void clear();

    // Taking begins or resumes; nothing is taken while stopped and the position holds.
    void start();
    void stop();
    bool isRunning() const;
    // 0 to 1, applied as the sound leaves the ring.
    void setVolume(float volume);
    float volume() const;
    // Frames of queued sound heard since the output was made (the device's own buffer is taken off).
    // Never goes back.
    std::int64_t position() const;

  protected:
    explicit Output(Kind kind);

  private:
    friend class DeviceFeed;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace osterveil::audio
