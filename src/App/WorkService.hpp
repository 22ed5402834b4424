#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace osterveil {

// Where the editor's work runs, off the GUI thread. Every thread of the editor, and who starts it:
//
//   GUI thread            the windows, EditorModel and every edit; never waits on the others.
//   preview lane          one thread: the program monitor's rebuilds, the newest first (this service).
//   pictures lane         a few low-priority threads: thumbnails, waveforms, probing files (this service).
//   documents lane        two threads in bulk turns: saving and opening projects (this service).
//   export lane           one thread per running export's control (this service); the exporter reads,
//                         composes and encodes on threads of its own (SequenceExporter, AssetWriter).
//   each player           a reading thread and a sound-feeding thread (media::Player), and the sound
//                         output's PulseAudio main loop (audio::Output).
//   shared by all         oneTBB's workers for row-parallel pictures, FFmpeg's codec threads.
//
// A preview, a save or an export never waits behind pictures: the lanes have threads of their own.
//
// Every job belongs to an owner (a window's model, a document, the opens of the document controller)
// that holds the job's cancel token as a `std::stop_source`; the job is handed the matching
// `std::stop_token`. An export has none: it stops through its exporter. Cancelling
// the owner drops what it left queued and tells its running jobs to stop: the long ones (a folder
// walk, probing many files, an import) look at the token at their natural steps. Saves never look: a
// save is worth waiting for. The program's end waits for the jobs whose owners still want them (saves,
// an export's end) and for no other (`finish`). The service lives as long as the process.
class WorkService {
  public:
    enum class Lane { preview, pictures, documents, exports };

    using Job = std::function<void(const std::stop_token& stop)>;

    // The process's service.
    static WorkService& shared();

    explicit WorkService(int pictureThreads);
    ~WorkService();
    WorkService(const WorkService&) = delete;
    WorkService& operator=(const WorkService&) = delete;

    // Queues `job` on `lane` for the owner whose token `owner` is. On the preview lane a job replaces
    // the one of the same owner still waiting: only the newest preview of a window is worth building.
    // A job whose owner was cancelled before it started never runs.
    void run(Lane lane, std::stop_token owner, Job job);
    // Tells the owner's running jobs to stop and drops those not yet started, on every lane.
    void cancel(std::stop_source owner);
    // Jobs waiting on a lane, not counting those running.
    std::size_t waiting(Lane lane) const;
    // Jobs running on a lane now.
    std::size_t running(Lane lane) const;
    // Waits for the running jobs and drops the rest; later jobs are dropped too. The shared service
    // shuts down as the application object goes, after the windows have cancelled their work.
    void shutdown();
    // The process is ending: drops what is queued and what comes later, and waits for the running jobs
    // whose owners still want them (a save, an export's end). Those of owners cancelled through
    // `cancel` are not waited for: nobody takes their result, and one may be deep in a read or a parse
    // that looks at its token only now and then. True when no job runs any more; else the caller ends
    // the process without tearing down what those jobs may still use.
    bool finish();

  private:
    class Pool;
    std::unique_ptr<Pool> preview_, pictures_, documents_, exports_;
    Pool& pool(Lane lane) const;
};

template <class Signature> class StoppableCall;

// A call a job makes that can take long (a waveform of hours of sound) and is handed the job's cancel
// token; what takes a moment may be given without one, as stand-ins in tests are.
template <class Result, class... Args> class StoppableCall<Result(Args...)> {
  public:
    StoppableCall() = default;
    template <class F>
        requires std::is_invocable_r_v<Result, F&, Args..., const std::stop_token&>
    StoppableCall(F f) : call_(std::move(f)) {}
    template <class F>
        requires(!std::is_invocable_r_v<Result, F&, Args..., const std::stop_token&> &&
                 std::is_invocable_r_v<Result, F&, Args...>)
    StoppableCall(F f)
        : call_([f = std::move(f)](Args... args, const std::stop_token&) mutable { return f(args...); }) {}

    Result operator()(Args... args, const std::stop_token& stop) const { return call_(args..., stop); }
    explicit operator bool() const { return bool(call_); }

  private:
    std::function<Result(Args..., const std::stop_token&)> call_;
};

} // namespace osterveil
