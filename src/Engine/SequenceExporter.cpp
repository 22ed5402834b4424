#include "Engine/SequenceExporter.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <limits>
#include <thread>
#include <unordered_map>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include "Engine/CompositionBuilder.hpp"
#include "Engine/PlateStore.hpp"
#include "Model/Nesting.hpp"
#include "Model/Numeric.hpp"
#include "Platform/Foundation/Background.hpp"
#include "Platform/Foundation/Cores.hpp"
#include "Platform/Media/Asset.hpp"
#include "Platform/Media/CompositionAudioReader.hpp"
#include "Platform/Media/CompositionVideoReader.hpp"

namespace osterveil {

namespace fs = std::filesystem;

namespace ExportCodecs {

bool isProRes(ExportCodec c) {
    return c == ExportCodec::proRes422 || c == ExportCodec::proRes422HQ || c == ExportCodec::proRes4444;
}

media::FileType fileType(ExportCodec c) {
    return isProRes(c) ? media::FileType::quickTimeMovie : media::FileType::mpeg4;
}

std::int64_t bitrate(ExportCodec codec, std::int64_t width, std::int64_t height, double fps) {
    const double pixels = static_cast<double>(width) * static_cast<double>(height);
    const double factor = codec == ExportCodec::hevc ? 12000000 : 20000000;
    const double b = pixels / 2073600 * std::max(1.0, fps) / 30 * factor;
    if (!(b >= 2000000)) return 2000000;
    if (b >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
    return static_cast<std::int64_t>(std::trunc(b));
}

int keyFrameInterval(double fps) {
    const std::int64_t r = roundToInt64(std::isfinite(fps) ? fps : 0);
    return 2 * r < 2 ? 1 : static_cast<int>(std::min<std::int64_t>(2 * r, 1 << 20));
}

} // namespace ExportCodecs

SequenceExporter::SequenceExporter() = default;
SequenceExporter::~SequenceExporter() = default;

std::pair<int, int> SequenceExporter::exportSize(std::int64_t width, std::int64_t height) {
    if (width > 8192 || height > 8192)
        throw ExportError::failed("The export size is too large; each side can be at most 8192 pixels.");
    const auto side = [](std::int64_t v) { return static_cast<int>(std::max<std::int64_t>(v, 16) & ~std::int64_t(1)); };
    return {side(width), side(height)};
}

media::VideoSettings SequenceExporter::videoSettings(const ExportRequest& request, int width, int height) {
    media::VideoSettings s;
    s.width = width;
    s.height = height;
    const double fps = request.frameRate.framesPerSecond();
    switch (request.codec) {
    case ExportCodec::proRes422: s.codec = media::VideoCodec::proRes422; break;
    case ExportCodec::proRes422HQ: s.codec = media::VideoCodec::proRes422HQ; break;
    case ExportCodec::proRes4444: s.codec = media::VideoCodec::proRes4444; break;
    case ExportCodec::h264: s.codec = media::VideoCodec::h264; break;
    case ExportCodec::hevc: s.codec = media::VideoCodec::hevc; break;
    }
    s.expectedFrameRate = fps;
    if (!ExportCodecs::isProRes(request.codec)) {
        s.averageBitRate = ExportCodecs::bitrate(request.codec, width, height, fps);
        // Without a ceiling, footage the encoder cannot keep small (grain, noise) overshoots by half
        // and more, its first second at several times the rate. With this peak and buffer no second
        // can carry more than twice the average, and the buffer still holds a key frame of such
        // footage without starving the frames before it.
        s.maxBitRate = s.averageBitRate / 4 * 5;
        s.bufferSize = s.averageBitRate / 4 * 3;
        s.maxKeyFrameInterval = ExportCodecs::keyFrameInterval(fps);
        s.profile = media::H264Profile::high;
    }
    return s;
}

media::AudioSettings SequenceExporter::audioSettings(ExportCodec codec) {
    media::AudioSettings s;
    s.codec = ExportCodecs::isProRes(codec) ? media::AudioCodec::linearPCM24 : media::AudioCodec::aac;
    s.sampleRate = 48000;
    s.channels = 2;
    s.bitRate = 320000;
    return s;
}

std::optional<std::string> SequenceExporter::exportMovie(const ExportRequest& request,
                                                         const std::function<void(double)>& progress) {
    return exportMovie(request, progress, PlateStore::shared());
}

namespace {

// Where a path leads once links are followed; the path as given when it cannot be resolved.
fs::path resolved(const fs::path& p) {
    std::error_code ec;
    fs::path absolute = fs::absolute(p, ec);
    if (ec) return p;
    fs::path canonical = fs::weakly_canonical(absolute, ec);
    return ec ? absolute.lexically_normal() : canonical;
}

// Refuses a target that is one of the files the project reads: its media where they resolve, the
// LUTs its clips name, or the project file itself. The movie would otherwise replace its own footage.
void refuseSourceTarget(const ExportRequest& request) {
    const fs::path target = resolved(request.outputURL);
    auto isTarget = [&](const fs::path& source) {
        if (source.empty()) return false;
        if (resolved(source) == target) return true;
        std::error_code ec;
        return fs::equivalent(source, request.outputURL, ec); // another hard link to the same file
    };
    bool clash = request.projectURL && isTarget(*request.projectURL);
    for (const MediaItem& item : request.project.media) {
        if (clash) break;
        if (auto url = item.resolveURL(request.projectURL)) clash = isTarget(*url);
    }
    auto lutsOf = [&](const Sequence& sequence) {
        for (const Track& track : sequence.tracks)
            for (const TimelineClip& clip : track.clips)
                if (!clash && !clip.grade.lumetri.lutPath.empty()) clash = isTarget(clip.grade.lumetri.lutPath);
    };
    lutsOf(request.project.sequence);
    for (const NestedSequence& nest : request.project.nests) lutsOf(nest.sequence);
    if (clash)
        throw ExportError::failed("The movie cannot be saved over “" + request.outputURL.filename().string() +
                                  "”: the project uses that file as a source. Choose another name or folder.");
}

// The file an export writes before it is moved over its target. It lies in the target's folder, so
// the move is a rename, and is named by a hash of the target's name: short enough beside a name of
// 255 bytes, and the same for every export to that target, so that the next one finds and removes
// what a killed export left behind. An export holds a lock on its file while it runs; a file nobody
// holds is stale. The file is removed when the object goes, unless it was moved into place.
class PartialFile {
public:
    explicit PartialFile(const fs::path& target) {
        std::uint64_t hash = 14695981039346656037ull; // FNV-1a
        for (unsigned char c : target.filename().string()) hash = (hash ^ c) * 1099511628211ull;
        char name[32];
        std::snprintf(name, sizeof name, ".%016llx.partial", static_cast<unsigned long long>(hash));
        path_ = target.parent_path() / name;
        const std::string shown = target.filename().string();
        for (int attempt = 0; attempt < 2; ++attempt) {
            fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
            if (fd_ >= 0) {
                // A file system without locks still gets the file, only without the guard.
                if (::flock(fd_, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK) return;
                break;
            }
            if (errno != EEXIST)
                throw ExportError::failed("Could not start writing the file. “" + shown +
                                          "” cannot be made in its folder: " + std::strerror(errno) + ".");
            // Something is there: the file of an export still running (locked), or one left behind.
            const int old = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
            const bool held = old >= 0 && ::flock(old, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
            if (!held) ::unlink(path_.c_str());
            if (old >= 0) ::close(old);
            if (held) break;
        }
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        throw ExportError::failed("Another export is writing “" + shown + "” at the moment.");
    }
    ~PartialFile() {
        discard();
        if (fd_ >= 0) ::close(fd_);
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    const fs::path& path() const { return path_; }

    // Starts writing what the writer has put in the file so far to the disk, without waiting for it.
    // Closing a file the writer opened truncating, or renaming one over an old movie, makes ext4
    // write all of it out there and then: for a ProRes export, tens of milliseconds at the very end.
    void startWriteBack() const {
        if (fd_ >= 0) ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
    }

    void moveTo(const fs::path& target) {
        std::error_code ec;
        fs::rename(path_, target, ec);
        if (ec) throw ExportError::failed("The movie could not be saved at its place: " + ec.message() + ".");
        settled_ = true;
    }

    // Removes the file unless it was moved into place; a writer still holding it open writes on
    // into nothing. Called by the export's own thread only.
    void discard() {
        if (fd_ < 0 || std::exchange(settled_, true)) return;
        ::unlink(path_.c_str()); // while still locked, so it cannot be another export's
    }

private:
    fs::path path_;
    int fd_ = -1;
    bool settled_ = false; // moved into place or removed
};

// Why the export cannot be made as the sequence shows it: the problems of the media whose clips it
// covers (between `from` and `to`, seconds) that are offline, in the order the sequence first needs
// them; none when every clip it needs is there. A clip the mix or the picture leaves out (disabled, a
// hidden, muted or un-soloed track) needs nothing.
std::optional<std::string> offlineNeeded(const Project& project, const CompositionBuild& build, double from,
                                         double to) {
    if (build.offline.empty()) return std::nullopt;
    std::unordered_map<Uuid, const MediaCheck::Problem*> problems;
    for (std::size_t i = 0; i < build.offline.size() && i < build.offlineProblems.size(); ++i)
        problems.try_emplace(build.offline[i], &build.offlineProblems[i]);
    const Sequence flat = Nesting::flatten(project.sequence, project.nests, 0);
    const auto soloed = [&](TrackRole role) {
        return std::any_of(flat.tracks.begin(), flat.tracks.end(),
                           [role](const Track& t) { return t.role == role && t.isSolo; });
    };
    const bool videoSolo = soloed(TrackRole::video), audioSolo = soloed(TrackRole::audio);
    std::unordered_map<const MediaCheck::Problem*, double> needed; // each with when it is first needed
    for (const Track& track : flat.tracks) {
        const bool solo = track.role == TrackRole::video ? videoSolo : audioSolo;
        if (track.isHidden || track.isMuted || (solo && !track.isSolo)) continue;
        for (const TimelineClip& clip : track.clips) {
            if (!clip.isEnabled || !clip.mediaID) continue;
            const auto problem = problems.find(*clip.mediaID);
            if (problem == problems.end()) continue;
            if (!(clip.start < to && clip.start + clip.duration > from)) continue;
            const double at = std::max(clip.start, from);
            auto [first, added] = needed.try_emplace(problem->second, at);
            if (!added) first->second = std::min(first->second, at);
        }
    }
    if (needed.empty()) return std::nullopt;
    std::vector<std::pair<double, const MediaCheck::Problem*>> order;
    for (const auto& [problem, at] : needed)
        order.emplace_back(at, problem);
    // Problems are laid out in media order, so a tie keeps the bin's order.
    std::sort(order.begin(), order.end());
    std::vector<MediaCheck::Problem> told;
    for (const auto& entry : order)
        told.push_back(*entry.second);
    return MediaCheck::describe(told);
}

} // namespace

// Read back from the file itself, so that whatever went wrong on the way, an empty or cut-short movie
// is never taken for the export; and compared with what the export was to hold, not with what the
// composition happened to lay, so that a stream the composition made too short shows too.
SequenceExporter::ReadBack SequenceExporter::readBack(const fs::path& movie,
                                                      std::optional<double> pictureSeconds,
                                                      std::optional<double> soundSeconds,
                                                      std::chrono::milliseconds timeLimit) {
    std::shared_ptr<const media::Asset> written;
    try {
        written = media::Asset::load(movie, media::AssetOptions{timeLimit});
    } catch (const media::AssetError& e) {
        // A file that could not be read (a slow or failing disk) says nothing about the movie, and
        // hours of encoding are not thrown away for a check that did not run.
        if (e.kind() == media::AssetError::Kind::cannotOpen || e.kind() == media::AssetError::Kind::timedOut)
            return {ReadBack::Result::unchecked,
                    std::string("The written movie is saved, but it could not be read back to check it. ") +
                        e.what()};
        return {ReadBack::Result::flawed, "The written movie cannot be read back."};
    } catch (const media::Error&) {
        return {ReadBack::Result::flawed, "The written movie cannot be read back."};
    }
    // Encoders round a stream's end to their own blocks; anything shorter than this lost content.
    constexpr double kSlack = 0.05;
    const auto check = [&](media::MediaType type, double seconds, const char* none,
                           const char* early) -> std::optional<std::string> {
        const auto tracks = written->tracks(type);
        if (tracks.empty() || !(tracks.front()->timeRange.duration > media::Time::zero())) return none;
        if (tracks.front()->timeRange.duration.toSeconds() < seconds - kSlack) return early;
        return std::nullopt;
    };
    std::optional<std::string> flaw;
    if (pictureSeconds)
        flaw = check(media::MediaType::video, *pictureSeconds, "The written movie has no picture.",
                     "The written movie's picture ends early.");
    if (!flaw && soundSeconds)
        flaw = check(media::MediaType::audio, *soundSeconds, "The written movie has no sound.",
                     "The written movie's sound ends early.");
    if (flaw) return {ReadBack::Result::flawed, *flaw};
    return {};
}

// The reading, composing and encoding of one export, done on a thread of its own, and what that
// thread shares with the export's caller. A cancelled export reports at once and leaves the thread
// to wind down: it holds everything it uses, never calls back once the caller has returned, and
// only appends to a file the caller has already removed.
struct SequenceExporter::Encoding {
    std::atomic<bool> stop{false};
    std::mutex mutex; // guards `reader`, `done`, `error`
    std::condition_variable changed;
    media::CompositionVideoReader* reader = nullptr; // while it reads, for `cancel`
    bool done = false;
    std::exception_ptr error;
    // Guards calls of `progress` and `abandoned`; apart from `mutex` so that a progress callback
    // may wait for a cancel.
    std::mutex progressMutex;
    std::function<void(double)> progress;
    bool abandoned = false;

    std::function<void()> startWriteBack; // of the file being written
    std::optional<media::AssetWriter> writer;
    std::optional<media::CompositionVideoReader> video;
    std::optional<media::CompositionAudioReader> audio;
    double origin = 0, span = 1;
    // The names of the files the composition reads, so that a reading failure of one of them is
    // told as its own.
    std::vector<std::string> sources;

    bool namesSource(const std::string& message) const {
        return std::any_of(sources.begin(), sources.end(), [&](const std::string& name) {
            return message.size() > name.size() && message.compare(0, name.size(), name) == 0 &&
                   (message[name.size()] == ' ' || message[name.size()] == ':');
        });
    }

    void cancel() {
        std::lock_guard lock(mutex);
        stop = true;
        if (reader) reader->cancel(); // only signals
        changed.notify_all();
    }

    void report(double p) {
        std::lock_guard lock(progressMutex);
        if (progress && !abandoned) progress(p);
    }

    void checkCancelled() const {
        if (stop) throw ExportError::cancelled();
    }

    // Pumps every frame and all the sound into the writer and finishes the file.
    void run();
};

void SequenceExporter::Encoding::run() {
    // Sound is appended up to each picture's time, so the file's streams stay interleaved.
    std::optional<media::Time> audioTime; // the end of the sound appended so far
    bool soundDone = !audio;
    auto appendSoundUpTo = [&](std::optional<media::Time> until) {
        while (!soundDone && (!until || !audioTime || *audioTime < *until)) {
            checkCancelled();
            std::optional<media::MixedAudio> block;
            try {
                block = audio->next();
            } catch (const media::Error& e) {
                throw ExportError::failed(e.what());
            }
            if (!block) {
                soundDone = true;
                break;
            }
            try {
                writer->appendAudio(block->samples.data(), block->frameCount(), block->presentationTime);
            } catch (const media::WriterError& e) {
                if (e.kind() != media::WriterError::Kind::encoder) throw;
                throw ExportError::failed(std::string("The audio encoder rejected a buffer. ") + e.what());
            }
            audioTime = block->presentationTime + media::Time(block->frameCount(), media::CompositionAudioReader::sampleRate);
        }
    };

    // About 8 MB of ProRes 422 HQ at 1080p.
    constexpr int kWriteBackFrames = 12;
    int written = 0;
    while (video) {
        checkCancelled();
        std::optional<media::ComposedFrame> frame;
        try {
            frame = video->next();
        } catch (const media::Error& e) {
            checkCancelled();
            // A reader that fails fails the export: the movie would otherwise end early and look complete.
            if (namesSource(e.what())) throw ExportError::failed(e.what());
            throw ExportError::failed(std::string("Could not read the composited picture. ") + e.what());
        }
        if (!frame) break;
        appendSoundUpTo(frame->time);
        try {
            writer->appendVideo(frame->picture, frame->time);
        } catch (const media::WriterError& e) {
            if (e.kind() != media::WriterError::Kind::encoder) throw;
            throw ExportError::failed(std::string("The video encoder rejected a frame. ") + e.what());
        }
        if (++written % kWriteBackFrames == 0) startWriteBack();
        const double p = (frame->time.toSeconds() - origin) / span;
        report(std::isnan(p) ? 0 : std::clamp(p, 0.0, 1.0));
    }
    // The reader's decoders and pictures are let go while the encoders finish the last frames.
    {
        std::lock_guard lock(mutex);
        reader = nullptr;
    }
    video.reset();
    appendSoundUpTo(std::nullopt);
    checkCancelled();
    writer->finishWriting();
}

void SequenceExporter::cancel() {
    cancelled_ = true;
    std::lock_guard lock(mutex_);
    if (encoding_) encoding_->cancel(); // only signals
}

std::optional<std::string> SequenceExporter::exportMovie(const ExportRequest& request,
                                                         const std::function<void(double)>& progress,
                                                         PlateStore& plates) {
    // A cancel is honoured by the export running when it comes or, when none is, by the next one to
    // start; the export that honoured it, or ran past it, clears it when it ends.
    struct ClearCancel {
        std::atomic<bool>& flag;
        ~ClearCancel() { flag = false; }
    } clearCancel{cancelled_};
    if (isCancelled()) throw ExportError::cancelled();
    const auto [width, height] = exportSize(request.width, request.height);
    refuseSourceTarget(request);
    // Written beside the target and moved into place only when complete.
    auto partial = std::make_shared<PartialFile>(request.outputURL);

    const CompositionBuild build =
        CompositionBuilder::build(request.project, request.projectURL,
                                  media::Size{double(width), double(height)}, request.frameRate, plates);
    if (isCancelled()) throw ExportError::cancelled();

    auto encoding = std::make_shared<Encoding>();
    encoding->startWriteBack = [partial] { partial->startWriteBack(); };
    encoding->progress = progress;
    Encoding& e = *encoding;
    std::optional<media::TimeRange> range;
    e.span = std::max(0.01, build.duration);
    if (request.useMarkedRange) {
        if (auto marked = request.project.sequence.markedRange()) {
            const media::Time start = CompositionBuilder::mediaTime(marked->start);
            // Nothing is read past what the build laid: an out point beyond it has nothing there.
            const media::Time end = std::max(start, std::min(CompositionBuilder::mediaTime(marked->end),
                                                             CompositionBuilder::mediaTime(build.duration)));
            range = media::TimeRange::fromStartEnd(start, end);
            e.origin = start.toSeconds();
            e.span = (end - start).toSeconds();
        }
    }
    for (const UndecodableStill& still : build.undecodable)
        if (!range || (still.start < e.origin + e.span && still.end > e.origin))
            throw ExportError::failed(media::undecodableMessage(still.file));
    // A movie without a clip's media would look complete and not be.
    const double everything = std::numeric_limits<double>::infinity();
    if (const auto problem = offlineNeeded(request.project, build, range ? e.origin : -everything,
                                           range ? e.origin + e.span : everything))
        throw ExportError::failed(*problem);
    const bool hasPicture = build.videoComposition.has_value();
    const bool hasSound = !build.composition->tracks(media::MediaType::audio).empty();
    if (!hasPicture && !hasSound) throw ExportError::nothingToExport();
    // A marked range that begins at or past the sequence's end holds nothing.
    if (range && !(range->duration > media::Time::zero())) throw ExportError::nothingToExport();

    // Destroyed unfinished when the export stops early: the encoder is abandoned, not drained.
    media::AssetWriter& writer = [&]() -> media::AssetWriter& {
        try {
            return e.writer.emplace(partial->path(), ExportCodecs::fileType(request.codec));
        } catch (const media::WriterError& error) {
            throw ExportError::failed(std::string("Could not start writing the file. ") + error.what());
        }
    }();
    bool withSound = false;
    try {
        if (hasPicture) {
            const media::VideoSettings settings = videoSettings(request, width, height);
            if (!writer.canAddVideoInput(settings)) throw ExportError::failed("Could not open the video encoder.");
            writer.addVideoInput(settings);
        }
        // Both sides are decided before either starts, so a side that cannot be written is never read.
        const media::AudioSettings sound = audioSettings(request.codec);
        withSound = hasSound && writer.canAddAudioInput(sound);
        if (withSound) writer.addAudioInput(sound);
    } catch (const media::WriterError& error) {
        throw ExportError::failed(error.what());
    }
    if (!hasPicture && !withSound) throw ExportError::nothingToExport();

    // Composed straight into the encoder's samples: a detour through 8-bit R'G'B' would cost a
    // conversion and leave rounding noise that the encoder spends bits and time on. Each frame is
    // composed on all cores already, so half as many frames at once as cores keep the encoders fed;
    // more would only hold more pictures and contend with the encoders for the cores.
    const int composing = std::max(2, usableCores() / 2);
    try {
        if (hasPicture)
            e.video.emplace(build.composition, *build.videoComposition, range, composing, writer.encoderPixelFormat());
        // A source cut short while it is read fails the export rather than leave silence in the movie.
        // The sound is read for as long as the picture, whatever the sound tracks reach.
        if (withSound)
            e.audio.emplace(build.composition, build.audioMix,
                            range.value_or(media::TimeRange(media::Time::zero(),
                                                            CompositionBuilder::mediaTime(build.duration))),
                            4800, true);
    } catch (const media::Error& error) {
        throw ExportError::failed(std::string("Could not start reading the sequence. ") + error.what());
    } catch (const std::exception&) { // threads that cannot be started, memory that runs out
        throw ExportError::failed("Could not start reading the sequence.");
    }
    for (const media::CompositionTrack& track : build.composition->tracks())
        for (const media::CompositionSegment& segment : track.segments())
            if (segment.source) e.sources.push_back(segment.source->assetPath.filename().string());
    std::sort(e.sources.begin(), e.sources.end());
    e.sources.erase(std::unique(e.sources.begin(), e.sources.end()), e.sources.end());
    // What the finished file has to hold: every stream begun here, the picture every frame its reader
    // reads, the sound the whole export's length.
    std::optional<double> pictureSeconds, soundSeconds;
    if (e.video)
        pictureSeconds = double(e.video->frameCount()) * build.videoComposition->frameDuration.toSeconds();
    if (e.audio) soundSeconds = range ? range->duration.toSeconds() : build.duration;
    try {
        // The file is opened here, before the encoding thread starts, so that nothing creates it
        // again once a cancelled export has removed it.
        writer.startWriting();
        writer.startSession(range ? range->start : media::Time::zero());
    } catch (const media::WriterError& error) {
        throw ExportError::failed(std::string("Could not start writing the file. ") + error.what());
    }
    e.reader = e.video ? &*e.video : nullptr;
    {
        std::lock_guard lock(mutex_);
        encoding_ = encoding;
    }
    struct Forget {
        SequenceExporter& exporter;
        ~Forget() {
            std::lock_guard lock(exporter.mutex_);
            exporter.encoding_.reset();
        }
    } forget{*this};
    // A cancel that came while the export was set up.
    if (isCancelled()) encoding->cancel();

    std::thread worker([encoding] {
        pthread_setname_np(pthread_self(), "ov-export");
        std::exception_ptr error;
        try {
            encoding->run();
        } catch (const media::WriterError& failure) {
            error = std::make_exception_ptr(ExportError::failed(failure.what()));
        } catch (...) {
            error = std::current_exception();
        }
        // Readers and writer go here, on this thread: an abandoned export's caller does not wait.
        {
            std::lock_guard lock(encoding->mutex);
            encoding->reader = nullptr;
        }
        encoding->video.reset();
        encoding->audio.reset();
        encoding->writer.reset();
        std::lock_guard lock(encoding->mutex);
        encoding->error = error;
        encoding->done = true;
        encoding->changed.notify_all();
    });
    {
        std::unique_lock lock(e.mutex);
        e.changed.wait(lock, [&] { return e.done || e.stop; });
        if (!e.done) {
            // Cancelled: the file goes now, the thread winds down on its own.
            lock.unlock();
            {
                std::lock_guard quiet(e.progressMutex);
                e.abandoned = true;
            }
            partial->discard();
            finishInBackground([thread = std::make_shared<std::thread>(std::move(worker))] { thread->join(); });
            throw ExportError::cancelled();
        }
    }
    worker.join();
    if (isCancelled()) throw ExportError::cancelled();
    if (e.error) std::rethrow_exception(e.error);
    const ReadBack check = readBack(partial->path(), pictureSeconds, soundSeconds, readBackLimit_);
    if (check.result == ReadBack::Result::flawed) throw ExportError::failed(check.message);
    partial->moveTo(request.outputURL);
    if (progress) progress(1.0);
    if (check.result == ReadBack::Result::unchecked) return check.message;
    return std::nullopt;
}

} // namespace osterveil
