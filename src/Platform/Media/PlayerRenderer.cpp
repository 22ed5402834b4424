#include "Platform/Media/PlayerRenderer.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <string>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "Platform/Audio/Output.hpp"
#include "Platform/Foundation/Background.hpp"
#include "Platform/Foundation/Cores.hpp"
#include "Platform/Media/PlayerSound.hpp"
#include "Platform/Media/PlayerSources.hpp"

namespace osterveil::media::detail {

namespace {

using Clock = std::chrono::steady_clock;

static_assert(PlayerRenderer::defaultPictureBudget == PictureBudget::defaultBytes);

// After a tolerant seek, the exact picture follows once no newer seek came for this long.
constexpr auto kRefineAfter = std::chrono::milliseconds(150);
// Once reading rests this long after it let memory go, the heap's free pages go back to the system (the
// C library keeps the pictures' freed blocks for reuse otherwise). Not sooner: the next decoder would
// fault those pages in again, which costs a seek about 10 ms at 1080p.
constexpr auto kGiveBackAfter = std::chrono::seconds(10);

// A play that starts on the picture already on screen, or from a press of play, waits this long at most
// for its next picture before its clock and sound start: long enough that the picture is on time where it
// can be, short enough that a busy machine still sounds a press at once. The picture joins the sound once
// read, as a late one goes up after the picture on screen has stood still a moment.
constexpr auto kNextPictureWait = std::chrono::milliseconds(50);

// A picture on screen for less than this when reverse play starts is passed over.
constexpr double kReverseSlack = 0.0001;

// A picture composed (or converted) on a thread of its own, beside the decoding of the next, and handed
// to `settle` as soon as it is done. Let go before it is done, it ends on its own at the lowest priority
// and its thread is joined in the background: a new request, or the end of the player, waits for no
// picture of the old one, nor shares the machine with it.
class Composing {
  public:
    // A failure to compose shows black, of `size`, rather than stopping playback.
    Composing(std::function<PixelBuffer()> finish, Size size, std::function<void(PixelBuffer)> settle)
        : running_(std::make_shared<Running>()) {
        thread_ = std::thread([finish = std::move(finish), settle = std::move(settle), size, running = running_] {
            {
                std::lock_guard lock(running->mutex);
                running->thread = gettid();
            }
            PixelBuffer picture;
            try {
                picture = finish();
            } catch (const std::exception&) {
                picture = blackPicture(int(size.width), int(size.height));
            }
            settle(std::move(picture));
            std::lock_guard lock(running->mutex);
            running->done = true;
        });
    }
    Composing(Composing&&) = default;
    Composing& operator=(Composing&& other) {
        letGo();
        thread_ = std::move(other.thread_);
        running_ = std::move(other.running_);
        return *this;
    }
    ~Composing() { letGo(); }

    // Its picture is settled: joining it waits for nothing.
    bool done() const {
        std::lock_guard lock(running_->mutex);
        return running_->done;
    }
    void join() { thread_.join(); }

  private:
    void letGo() {
        if (!thread_.joinable()) return;
        {
            // Not once it is done: its id may be another thread's by then.
            std::lock_guard lock(running_->mutex);
            if (running_->thread > 0 && !running_->done)
                setpriority(PRIO_PROCESS, id_t(running_->thread), 19);
        }
        finishInBackground([thread = std::make_shared<std::thread>(std::move(thread_))] { thread->join(); });
    }

    struct Running {
        std::mutex mutex;
        pid_t thread = 0;
        bool done = false;
    };
    std::thread thread_;
    std::shared_ptr<Running> running_;
};

// Gives the pages of the heap's free blocks back to the system.
void giveBackFreePages() {
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

} // namespace

struct PlayerRenderer::Impl {
    std::function<void()> wake;
    Opened opened;
    SourceMaker makeSource;

    std::mutex mutex;
    std::condition_variable renderChanged;
    std::condition_variable soundChanged;
    PlayerRequest current;
    Clock::time_point requestedAt;
    std::deque<QueuedFrame> queue;
    std::uint64_t soundReady = 0; // the generation whose sound is queued (or needs none)
    bool soundPlays = false;      // and whether it has any
    bool stopping = false;
    bool soundEnded = false;
    bool wakePending = false;
    std::atomic<double> clock{std::numeric_limits<double>::quiet_NaN()};
    std::atomic<std::int64_t> skipped{0};
    PictureBudget budget;

    // The pictures of a play being composed, in reading order. Each joins the queue once it and those
    // before it are composed, whatever reading does by then: a jump to a key frame of heavy footage, or
    // a slow disk, may hold reading for longer than a picture is on screen.
    struct Composed {
        std::uint64_t serial = 0;
        QueuedFrame frame;
        bool done = false;
        int direction = 1;
        Stretch stretch;
        Clock::time_point started;
        double decoded = 0; // wall seconds its decoding took
    };
    std::deque<Composed> composing;
    std::uint64_t lastSerial = 0;
    // What each picture took from the start of its reading to the queue, for the pace of reading.
    struct Queued {
        Stretch stretch;
        double seconds = 0, decoded = 0;
        bool late = false;
    };
    std::vector<Queued> queued;

    std::thread renderThread;
    std::thread soundThread;
    // The reading thread's name, which the threads it starts share.
    std::string readerName;

    Impl(std::function<void()> w, Opened op, SourceMaker make)
        : wake(std::move(w)), opened(std::move(op)), makeSource(make ? std::move(make) : detail::makeSource) {}

    // Under the lock.
    void wakeUp() {
        if (wakePending || !wake) return;
        wakePending = true;
        wake();
    }

    void push(QueuedFrame f, const PlayerRequest& from) {
        std::lock_guard lock(mutex);
        if (f.generation != current.generation) {
            // Seeks coming faster than pictures: the picture of a superseded one still goes up, so
            // scrubbing shows the nearest picture there is rather than none until the pointer rests;
            // likewise an edit's preview that a newer one replaced while it was composed.
            if (from.mode != PlayerRequest::Mode::still || current.mode != PlayerRequest::Mode::still ||
                (from.item != current.item && !current.keepsPicture))
                return;
            f.generation = current.generation;
        }
        queue.push_back(std::move(f));
        wakeUp();
    }

    // Under the lock: the composed pictures at the front of `composing` join the queue.
    void deliverComposed() {
        bool any = false;
        while (!composing.empty() && composing.front().done) {
            Composed c = std::move(composing.front());
            composing.pop_front();
            if (c.frame.generation != current.generation) continue;
            if (const double now = clock.load(); std::isfinite(now) && !c.frame.end)
                queued.push_back({c.stretch, std::chrono::duration<double>(Clock::now() - c.started).count(),
                                  c.decoded, c.direction * (now - c.frame.due) > 0});
            queue.push_back(std::move(c.frame));
            any = true;
        }
        if (any) wakeUp();
        renderChanged.notify_all();
    }
    void settle(std::uint64_t serial, PixelBuffer picture) {
        std::lock_guard lock(mutex);
        const auto it = std::find_if(composing.begin(), composing.end(),
                                     [&](const Composed& c) { return c.serial == serial; });
        if (it == composing.end()) return; // composed for a request since replaced
        it->frame.picture = std::move(picture);
        it->done = true;
        deliverComposed();
    }

    void render(const std::shared_ptr<Impl>& self);
    void feedSound(audio::Output& output);
};

void PlayerRenderer::Impl::render(const std::shared_ptr<Impl>& self) {
    struct InFlight {
        double due = 0, time = 0;
        bool end = false;
        Stretch stretch;
        Clock::time_point started;
        double decoded = 0; // wall seconds its decoding took
        bool exact = true;  // not decoded while catching up
    };
    std::uint64_t handled = 0, opening = 0;
    PlayerRequest r;
    std::shared_ptr<const PlayerItem> item;
    std::unique_ptr<FrameSource> source;
    // The threads composing the play's pictures (see `composing`).
    std::deque<Composing> composers;
    // Playing: the next picture on the item's frame grid, stepping by `stride` in `direction`.
    std::int64_t next = 0, stride = 1, frames = 0;
    int direction = 1;
    bool first = true, ended = false, prefetching = false;
    // The first picture of the stretch to come, to read ahead, and the last one read ahead (−1: none).
    std::int64_t warmAt = -1, warmed = -1;
    ReadingPace pace;
    // Still: the picture is owed; a tolerant one is refined later.
    bool stillOwed = false;
    bool refine = false;
    Clock::time_point refineAt{};

    const auto frameTime = [&](std::int64_t k) {
        const Time& fd = item->frameDuration();
        return Time(fd.value() * k, fd.timescale());
    };
    const auto frameIndex = [&](double seconds) {
        const Time t = Time::seconds(seconds);
        const Time& fd = item->frameDuration();
        const __int128 num = __int128(t.value()) * fd.timescale(), den = __int128(t.timescale()) * fd.value();
        return std::int64_t(num / den);
    };
    // The picture at the very end of the item is its last one.
    const auto pictureTime = [&](double seconds) {
        return frames > 0 ? std::min(Time::seconds(seconds), frameTime(frames - 1)) : Time::seconds(seconds);
    };
    // Reads one picture now; a failure shows black rather than stopping playback. One given up for a
    // newer request is none.
    const auto readNow = [&](const Time& t, const Time& before, const Time& after,
                             bool& exact) -> PixelBuffer {
        try {
            Prepared p = source->prepare(t, before, after);
            exact = p.exact;
            return p.finish();
        } catch (const ReadingSuperseded&) {
            return {};
        } catch (const std::exception&) {
            exact = true;
            return source->black();
        }
    };

    // Takes a place among the pictures composing for the play, in reading order; an end is done at once.
    const auto compose = [&](const InFlight& job, bool done) {
        std::lock_guard guard(mutex);
        Composed c{++lastSerial, QueuedFrame{handled, job.due, job.time, {}, job.end, job.exact}, done,
                   direction, job.stretch, job.started, job.decoded};
        composing.push_back(std::move(c));
        if (done) deliverComposed();
        return lastSerial;
    };

    for (;;) {
        std::unique_lock lock(mutex);
        for (;;) {
            if (stopping) {
                lock.unlock();
                composers.clear();
                return;
            }
            if (current.generation != handled) break;
            if (r.mode == PlayerRequest::Mode::still) {
                if (stillOwed) break;
                if (refine) {
                    if (Clock::now() >= refineAt) break;
                    renderChanged.wait_until(lock, refineAt);
                    continue;
                }
            } else if (r.mode == PlayerRequest::Mode::play) {
                if (!queued.empty() ||
                    (!ended && composing.size() < composingPictures &&
                     queue.size() + composing.size() < queueCapacity) ||
                    (prefetching && composing.empty()) || warmAt >= 0)
                    break;
            }
            if (budget.released) {
                if (renderChanged.wait_for(lock, kGiveBackAfter) == std::cv_status::timeout && !stopping &&
                    current.generation == handled) {
                    budget.released = false;
                    lock.unlock();
                    giveBackFreePages();
                    lock.lock();
                }
                continue;
            }
            renderChanged.wait(lock);
        }

        if (current.generation != handled) {
            PlayerRequest fresh = current;
            handled = fresh.generation;
            composing.clear();
            queued.clear();
            lock.unlock();
            composers.clear(); // pictures still composing for the old request end on their own
            if (!fresh.item && fresh.opening != 0) {
                // A file to open: read here, never on the GUI thread. Until the player asks again with
                // the item, there is nothing to read.
                if (fresh.opening != opening) {
                    opening = fresh.opening;
                    std::shared_ptr<const PlayerItem> file;
                    try {
                        file = PlayerItem::file(fresh.file);
                    } catch (const std::exception&) {
                    }
                    // Not once the player is gone.
                    std::lock_guard guard(mutex);
                    if (opened) opened(opening, std::move(file));
                }
                fresh.mode = PlayerRequest::Mode::idle;
            }
            if (fresh.item != item) {
                item = fresh.item;
                try {
                    if (item)
                        source = makeSource(*item, std::move(source), budget);
                    else
                        letGo(std::move(source));
                } catch (const std::exception&) {
                    source.reset(); // an unreadable picture stream: the item plays without picture
                }
                // What it reads ahead is waited for only while nothing newer is asked.
                if (source)
                    source->abandonWhen([this, &handled] {
                        std::lock_guard guard(mutex);
                        return stopping || current.generation != handled;
                    });
                if (!source) {
                    budget.released = true;
                    budget.held = 0;
                    budget.decoders = 0;
                }
            }
            r = fresh;
            refine = false;
            if (item) {
                const double fd = item->frameDuration().toSeconds();
                frames = static_cast<std::int64_t>(std::ceil(item->duration() / fd - 1e-9));
            }
            stillOwed = r.mode == PlayerRequest::Mode::still && source;
            if (r.mode == PlayerRequest::Mode::play) {
                direction = r.rate < 0 ? -1 : 1;
                stride = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::floor(std::abs(r.rate))));
                first = true;
                ended = false;
                prefetching = false;
                warmAt = warmed = -1;
                pace = ReadingPace{};
                if (item) next = frameIndex(std::clamp(r.time, 0.0, item->duration()));
            }
            if (source) source->setDirection(r.mode == PlayerRequest::Mode::play ? direction : 0);
            continue;
        }
        lock.unlock();

        if (r.mode == PlayerRequest::Mode::still) {
            if (!source) {
                stillOwed = false;
                continue;
            }
            bool exact = true;
            QueuedFrame f{handled, r.time, r.time, {}, false};
            if (stillOwed) {
                stillOwed = false;
                f.picture = readNow(pictureTime(r.time), Time::seconds(std::max(0.0, r.toleranceBefore)),
                                    Time::seconds(std::max(0.0, r.toleranceAfter)), exact);
                if (!exact) {
                    f.exact = false;
                    refine = true;
                    refineAt = Clock::now() + kRefineAfter;
                }
            } else {
                refine = false;
                f.picture = readNow(pictureTime(r.time), Time::zero(), Time::zero(), exact);
            }
            if (!f.picture.isNull()) push(std::move(f), r);
            continue;
        }

        // Playing: what the pictures composed took to the queue tells the pace; threads done with are
        // joined; then the next picture is read while there is room.
        std::vector<Queued> reports;
        {
            std::lock_guard guard(mutex);
            reports.swap(queued);
        }
        for (const Queued& q : reports)
            pace.queued(q.stretch, q.seconds, q.decoded, q.late);
        for (auto c = composers.begin(); c != composers.end();) {
            if (!c->done()) {
                ++c;
                continue;
            }
            c->join();
            c = composers.erase(c);
        }
        bool room = false, composed = false;
        {
            std::lock_guard guard(mutex);
            composed = composing.empty();
            room = !ended && composing.size() < composingPictures &&
                   queue.size() + composing.size() < queueCapacity;
        }
        // The first picture of the next stretch may take long (a decoder to open, a key frame far
        // before it): it is read ahead beside this one's, so that it neither starts late nor waits for a
        // stretch that cannot keep up. Not before reading here is ahead (the queue full), as it takes
        // its share of the machine, unless it is due soon.
        if (warmAt >= 0 &&
            warmsNow(warmAt, item->frameDuration().toSeconds(), clock.load(), std::abs(r.rate), room)) {
            warmed = warmAt;
            warmAt = -1;
            try {
                source->warm(frameTime(warmed));
            } catch (const std::exception&) {
            }
        } else if (room) {
            InFlight job;
            // Reading jumps to a key frame ahead for this picture, or passes over pictures to it.
            bool jumping = false, skipping = false;
            const double duration = item ? item->duration() : 0;
            if (first && !source) {
                // Nothing to show: only the end, when the clock gets there.
                job.end = true;
                job.due = direction > 0 ? duration : 0;
            } else if (first && !(r.pictureShown && direction > 0)) {
                job.due = job.time = std::clamp(r.time, 0.0, duration);
                if ((direction > 0 && job.due >= duration) || (direction < 0 && job.due <= 0)) job.end = true;
            } else {
                if (first) {
                    // The picture at the start is on screen: reading begins at the next.
                    next = frameIndex(std::clamp(r.time, 0.0, duration)) + stride;
                    first = false;
                }
                const double fd = item->frameDuration().toSeconds();
                const auto dueOf = [&](std::int64_t k) {
                    return direction > 0 ? double(k) * fd : double(k + 1) * fd;
                };
                const double now = clock.load();
                if (std::isfinite(now)) {
                    const NextPicture read = pictureToRead(*source, pace, next, stride, direction, frames,
                                                           item->frameDuration(), now, std::abs(r.rate));
                    const std::int64_t to = read.picture;
                    jumping = read.jumping;
                    skipped += std::abs(to - next) / stride;
                    skipping = to != next;
                    next = to;
                }
                if (next >= frames || next < 0) {
                    job.end = true;
                    job.due = direction > 0 ? duration : 0;
                } else {
                    job.due = dueOf(next);
                    job.time = double(next) * fd;
                }
            }
            if (job.end) {
                ended = true;
            } else {
                Time t = first ? pictureTime(job.time) : frameTime(next);
                std::int64_t k = first ? frameIndex(job.time) : next;
                if (first && direction < 0 && frames > 0) {
                    // Going back, a picture leaves the screen at its start: from the start of one (or
                    // a hair past it) the one before is the first to show.
                    k = std::min(frames - 1, frameIndex(std::max(0.0, job.due - kReverseSlack)));
                    t = frameTime(k);
                    job.time = t.toSeconds();
                }
                job.stretch = source->stretchAt(t);
                job.started = Clock::now();
                const double fd = item->frameDuration().toSeconds();
                const double rate = std::abs(r.rate);
                source->setCatchingUp(
                    decodesRoughly(pace, job.stretch, first, direction, rate, fd, skipping || jumping));
                std::optional<std::uint64_t> serial;
                try {
                    Prepared p = source->prepare(t, Time::zero(), Time::zero());
                    job.exact = p.exact;
                    job.decoded = std::chrono::duration<double>(Clock::now() - job.started).count();
                    // What reading it ahead took counts for the first picture of a stretch.
                    const bool opens = job.stretch != pace.stretch || !pace.lastRead;
                    pace.decoded(job.stretch, k, job.decoded, opens ? source->openingCost(t) : 0, jumping);
                    if (opens) pace.sourceFrames = source->sourceFramesPerFrame(t, item->frameDuration());
                    serial = compose(job, false);
                    composers.emplace_back(std::move(p.finish), source->pictureSize(),
                                           [self, at = *serial](PixelBuffer picture) {
                                               self->settle(at, std::move(picture));
                                           });
                } catch (const std::exception&) {
                    // Its place, if it has one, is settled: the pictures after it wait for it.
                    settle(serial ? *serial : compose(job, false), source->black());
                }
                next = k + direction * stride;
                const double now = clock.load();
                warmAt = pictureToWarm(*source, next, direction, frames, item->frameDuration(),
                                       std::isfinite(now) ? now : job.time, rate, warmed)
                             .value_or(-1);
            }
            if (job.end) compose(job, true);
            first = false;
            prefetching = direction < 0;
        } else if (prefetching && composed && source) {
            // Reading ahead backwards (a seek and a decode from a key frame) once the pictures in hand are
            // composed and queued, not while they are.
            try {
                prefetching = source->prefetch();
            } catch (const std::exception&) {
                prefetching = false;
            }
        }
    }
}

void PlayerRenderer::Impl::feedSound(audio::Output& output) {
    std::uint64_t handled = 0;
    SoundFeed feed(output);
    bool plays = false;
    for (;;) {
        PlayerRequest fresh;
        bool renewed = false;
        {
            std::unique_lock lock(mutex);
            const auto changed = [&] { return stopping || current.generation != handled; };
            if (feed.active())
                soundChanged.wait_for(lock, std::chrono::milliseconds(5), changed);
            else
                soundChanged.wait(lock, changed);
            if (stopping) return;
            if (current.generation != handled) {
                fresh = current;
                handled = fresh.generation;
                renewed = true;
            }
        }
        if (renewed)
            plays =
                feed.start(fresh.item, fresh.time, fresh.mode == PlayerRequest::Mode::play ? fresh.rate : 0);
        feed.fill();
        std::lock_guard lock(mutex);
        if (soundReady != handled && current.generation == handled) {
            soundReady = handled;
            soundPlays = plays;
            wakeUp();
        }
    }
}

PlayerRenderer::PlayerRenderer(std::shared_ptr<audio::Output> output, std::function<void()> wake,
                               Opened opened, SourceMaker makeSource)
    : impl_(std::make_shared<Impl>(std::move(wake), std::move(opened), std::move(makeSource))),
      output_(std::move(output)) {
    impl_->renderThread = std::thread([impl = impl_] {
        {
            std::lock_guard lock(impl->mutex);
            impl->readerName = nameThreadUniquely("ov-read");
        }
        impl->render(impl);
    });
    // The output is the sound thread's and the player's, never the reading thread's: that one may be left
    // below every other to end where it stands, and an output it held last would end there too, its lock
    // held by a thread the process's end may stop at any moment.
    impl_->soundThread = std::thread([impl = impl_, output = output_] {
        impl->feedSound(*output);
        std::lock_guard lock(impl->mutex);
        impl->soundEnded = true;
        impl->soundChanged.notify_all();
    });
}

PlayerRenderer::~PlayerRenderer() {
    std::string reader;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
        impl_->wake = nullptr;
        impl_->opened = nullptr;
        reader = impl_->readerName;
    }
    impl_->renderChanged.notify_all();
    impl_->soundChanged.notify_all();
    // The sound thread ends at once, and the output goes with the player, unless it is opening a file
    // that does not answer (a share whose server has gone): then the output is silenced and left to
    // the thread, which is joined in the background. The reading thread may be decoding a picture that
    // takes long (a key frame of 4K footage, a decoder opening): it ends on its own, with what it needs,
    // below everything else, and is joined in the background.
    bool soundEnded = false;
    {
        std::unique_lock lock(impl_->mutex);
        soundEnded = impl_->soundChanged.wait_for(lock, soundEndWait, [&] { return impl_->soundEnded; });
    }
    if (soundEnded) {
        impl_->soundThread.join();
    } else {
        output_->stop();
        finishInBackground(
            [thread = std::make_shared<std::thread>(std::move(impl_->soundThread))] { thread->join(); });
    }
    if (!reader.empty()) lowerThreadsNamed(reader);
    finishInBackground(
        [thread = std::make_shared<std::thread>(std::move(impl_->renderThread))] { thread->join(); });
}

void PlayerRenderer::request(PlayerRequest request) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->current = std::move(request);
        impl_->requestedAt = Clock::now();
        std::erase_if(impl_->queue,
                      [&](const QueuedFrame& f) { return f.generation != impl_->current.generation; });
    }
    impl_->clock = std::numeric_limits<double>::quiet_NaN();
    impl_->renderChanged.notify_all();
    impl_->soundChanged.notify_all();
}

void PlayerRenderer::setClock(double now) {
    impl_->clock = now;
}

bool PlayerRenderer::ready(std::uint64_t generation, bool& withSound) {
    std::lock_guard lock(impl_->mutex);
    impl_->wakePending = false;
    withSound = impl_->soundPlays;
    const bool picture = !impl_->queue.empty() && impl_->queue.front().generation == generation;
    const bool shown = impl_->current.generation == generation &&
                       (impl_->current.pictureShown || impl_->current.pressed) &&
                       Clock::now() - impl_->requestedAt >= kNextPictureWait;
    return impl_->soundReady == generation && (picture || shown);
}

std::optional<QueuedFrame> PlayerRenderer::takeDue(std::uint64_t generation, std::optional<double> now,
                                                   int direction, double frame, double stillFor,
                                                   std::int64_t& passed, bool first) {
    std::optional<QueuedFrame> taken;
    passed = 0;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->wakePending = false;
        auto& q = impl_->queue;
        while (!q.empty() && q.front().generation != generation)
            q.pop_front();
        // The pictures before the end, if it is queued.
        std::size_t pictures = 0;
        while (pictures < q.size() && !q[pictures].end && q[pictures].generation == generation)
            ++pictures;
        const bool endQueued = pictures < q.size() && q[pictures].end && q[pictures].generation == generation;
        PictureChoice choice;
        if (!now) {
            choice = {pictures > 0 ? pictures - 1 : 0, pictures > 0};
        } else {
            std::vector<double> dues(pictures);
            for (std::size_t i = 0; i < pictures; ++i)
                dues[i] = q[i].due;
            choice = choosePicture(dues, *now, direction, frame, stillFor, first);
        }
        // The end is due a little early.
        const bool endDue = endQueued && (!now || (direction >= 0 ? q[pictures].due <= *now + endSlack
                                                                  : q[pictures].due >= *now - endSlack));
        // At the end a late picture waits no longer.
        if (!choice.shows && endDue && choice.passed + 1 == pictures) ++choice.passed;
        for (std::size_t i = 0; i < choice.passed; ++i)
            q.pop_front();
        passed = std::int64_t(choice.passed);
        if (choice.shows || (endDue && choice.passed == pictures)) {
            // The last picture goes on screen before the end is taken.
            taken = std::move(q.front());
            q.pop_front();
        }
    }
    impl_->renderChanged.notify_all();
    return taken;
}

std::int64_t PlayerRenderer::skippedFrames() const {
    return impl_->skipped.load();
}

void PlayerRenderer::setPictureBudget(std::size_t bytes) {
    impl_->budget.bytes = bytes;
}

std::size_t PlayerRenderer::heldPictureBytes() const {
    return impl_->budget.held;
}

int PlayerRenderer::openDecoders() const {
    return impl_->budget.decoders;
}

} // namespace osterveil::media::detail
