#pragma once

// What the player reads pictures from: a file's picture stream or a composition's; not part of the
// media layer's interface.

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>

#include "Platform/Media/PixelBuffer.hpp"
#include "Platform/Media/PlayerDecoders.hpp"
#include "Platform/Media/PlayerItem.hpp"
#include "Platform/Media/PlayerPacing.hpp"

namespace osterveil::media::detail {

// Pictures composed at once while playing: decoding the next overlaps composing the last.
inline constexpr std::size_t composingPictures = 3;

PixelBuffer blackPicture(int width, int height);

// Thrown by a source that gave up waiting for what it reads ahead because reading was given something
// else to do: the picture it was reading is not wanted any more.
struct ReadingSuperseded : std::exception {
    const char* what() const noexcept override { return "reading superseded"; }
};

// What reading one picture needs: the decoding is done on the reading thread; `finish` (composing or
// converting) may run elsewhere.
struct Prepared {
    std::function<PixelBuffer()> finish;
    bool exact = true;
};

// An item's picture as the reading thread reads it; used from that thread alone.
class FrameSource : public StretchMap {
  public:
    virtual Prepared prepare(const Time& t, const Time& before, const Time& after) = 0;
    virtual void setDirection(int direction) = 0;
    // Reading is behind the clock while playing forward.
    virtual void setCatchingUp(bool on) = 0;
    // One step of reading ahead backwards from the last prepared picture; false when there is none.
    virtual bool prefetch() = 0;
    // The size of its pictures, and a black one of that size.
    virtual Size pictureSize() const = 0;
    PixelBuffer black() const { return blackPicture(int(pictureSize().width), int(pictureSize().height)); }
    // Decodes the picture at `t`, the first of a stretch to come, so that reading finds it ready there.
    virtual void warm(const Time&) {}
    // Whatever of that is under way stops at once, below everything else, and ends on its own.
    virtual void stopWarming() {}
    // Reading that waits for what was read ahead gives it up, throwing `ReadingSuperseded`, once this
    // tells that it is not wanted any more (asked from time to time while it waits).
    void abandonWhen(std::function<bool()> superseded) { superseded_ = std::move(superseded); }
    // What reading ahead the first picture of the stretch of `t` took, when it was (wall seconds; else 0):
    // about what a jump to a key frame takes there.
    virtual double openingCost(const Time&) const { return 0; }

  protected:
    bool superseded() const { return superseded_ && superseded_(); }

  private:
    std::function<bool()> superseded_;
};

// The source of `item`'s picture, none when it has none; a composition's takes over `before`'s decoders
// of the sources it reads. What is left of `before` is let go.
std::unique_ptr<FrameSource> makeSource(const PlayerItem& item, std::unique_ptr<FrameSource> before,
                                        PictureBudget& budget);
// Closes a source that is done with in the background: its decoders of large pictures take a while to
// close, and a new item, or the end of a player, waits for none of it, nor shares the machine with what
// it reads ahead, which stops at once. It touches nothing but its own.
void letGo(std::unique_ptr<FrameSource> source);

} // namespace osterveil::media::detail
