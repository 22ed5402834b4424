#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace osterveil {

// Where the editor's work runs, off the GUI thread. Every thread of the editor, and who starts it:
//
//   GUI thread            the windows, EditorModel and every edit; never waits on the others.
//   preview lane          one thread: the program monitor's rebuilds, the newest first (this service).
//   pictures lane         a few low-priority threads: thumbnails, waveforms, probing files (this service).
//   documents lane        two threads: saving and opening projects (this service).
//   export lane           one thread per running export's control (this service); the exporter reads,
//                         composes and encodes on threads of its own (SequenceExporter, AssetWriter).
//   each player           a reading thread and a sound-feeding thread (media::Player), and the sound
//                         output's PulseAudio main loop (audio::Output).
//   shared by all         oneTBB's workers for row-parallel pictures, FFmpeg's codec threads.
//
// A preview, a save or an export never waits behind pictures: the lanes have threads of their own. Jobs carry the key of
// the document they serve, so closing it drops what it left queued. The service lives as long as the
// process; its threads end when it does.
class WorkService {
  public:
    enum class Lane { preview, pictures, documents, exports };

    using Job = std::function<void()>;

    // The process's service.
    static WorkService& shared();

    explicit WorkService(int pictureThreads);
    ~WorkService();
    WorkService(const WorkService&) = delete;
    WorkService& operator=(const WorkService&) = delete;

    // Queues `job` on `lane` for the document `key` (any stable address; null for none). On the
    // preview lane a job replaces the one of the same key still waiting: only the newest preview of a
    // document is worth building.
    void run(Lane lane, const void* key, Job job);
    // Drops every job of `key` not yet started, on every lane.
    void cancel(const void* key);
    // Jobs waiting on a lane, not counting those running.
    std::size_t waiting(Lane lane) const;
    // Waits for the running jobs and drops the rest; later jobs are dropped too. The shared service
    // shuts down as the application object goes.
    void shutdown();

  private:
    class Pool;
    std::unique_ptr<Pool> preview_, pictures_, documents_, exports_;
    Pool& pool(Lane lane) const;
};

} // namespace osterveil
