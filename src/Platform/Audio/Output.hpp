#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace osterveil::audio {

// Where a player's sound goes: 48 kHz stereo float, written by the player into a small ring and
// taken from it by the sound server or, where there is none, by a clock that consumes in real time.
// The number of frames heard is the player's clock while sound plays: when the ring runs dry the
// clock stands still, as the listener hears nothing.
//
// A device output talks to the desktop's sound server (PulseAudio, or PipeWire's PulseAudio service)
// without ever waiting on it: it connects in the background, and when the server goes away or stops
// taking sound while playing, the output goes on on the clock in silence, with its position running on
// from where the sound stopped. A server that went away is looked for again at the next start.
//
// A device that answers but takes no sound (asleep, or waking slowly) leaves the clock running on
// without it; once it plays, it plays from where the clock has got to, and the position runs on without
// a jump. One that takes none for seconds, or leaves the server's answers missing for half a second, is
// let go (a loss) and waited for the same way: the sound comes back once it plays again.
//
// Feeding (write, space, clear) may come from one other thread; control (start, stop, volume,
// position) comes from the thread that made the output. None of them waits on the server: the output's
// own thread talks to it.
class Output {
  public:
    static constexpr int sampleRate = 48000;
    static constexpr int channels = 2;

    enum class Kind { device, null };

    // The desktop's sound server; until it answers, or without one, the output runs on the clock.
    static std::unique_ptr<Output> create();
    // An output without a device: consumes what is queued in real time (headless machines, tests).
    static std::unique_ptr<Output> createNull();

    virtual ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Device while the sound server takes the sound (or is ready to, once started, or wakes), else null;
    // null from a loss until the server plays again.
    Kind kind() const;
    // How many times a device in use stopped taking sound (or went away) and the clock took over.
    std::uint64_t deviceLosses() const;
    // The device in use has played sound since it was taken into use (or since it last woke).
    bool playsOnDevice() const;

    // Copies up to `frames` interleaved frames into the ring and returns how many it took; never waits.
    virtual std::size_t write(const float* samples, std::size_t frames);
    // What has been written is the whole sound until the next clear or write: a server that holds back
    // the last of it plays it out.
    void endOfSound();
    // Frames the ring can take now.
    std::size_t space() const;
    // Drops what is queued and not yet heard.
    void clear();

    // Taking begins or resumes; nothing is heard while stopped and the position holds.
    void start();
    void stop();
    bool isRunning() const;
    // 0 to 1, applied as the sound leaves the ring.
    void setVolume(float volume);
    float volume() const;
    // Frames of queued sound heard since the output was made: what the server has played out, less
    // what its buffers still hold. Never goes back.
    std::int64_t position() const;

  protected:
    explicit Output(Kind kind);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace osterveil::audio
