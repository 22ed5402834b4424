#pragma once

// Shared by the media layer's readers; not part of its interface.

#include <filesystem>

extern "C" {
#include <libavformat/avformat.h>
}

namespace osterveil::media::detail {

// Opens `path` for demuxing the same way for every reader of the media layer, so that the decoders
// read a file as the asset did: only a regular file (a FIFO or a device would block or never end),
// only through the file protocol (a name such as "http:x.mov" stays a file name), and only among the
// containers of movies and sound (an image sequence, or a playlist that opens further files or URLs,
// is not media for an editor, and with a free choice a file could read as one of them to a decoder
// after reading as sound to the asset). `context` may come allocated, carrying an interrupt callback;
// it is freed on failure, as by `avformat_open_input`, whose result is returned. With `rawClock`, packet
// times are read as stored (see `AssetTrack::rawClock`).
int openInput(AVFormatContext*& context, const std::filesystem::path& path, bool rawClock = false);

// Whether the container's header already says everything a track needs, so that no packet has to be
// read or decoded (for PCM sound FFmpeg would otherwise decode up to five seconds of it): for every
// stream, or for stream `index` alone.
bool headerIsComplete(const AVFormatContext& context, int index = -1);

// Makes stream `index` ready to decode as the asset read it: the header's word is taken where it says
// enough, as when the asset was opened; otherwise the stream alone is probed, passing over the others,
// which the caller's demuxer will not read. A probe decodes a first picture (a sound decoder's probe
// would decode one as well), tens of milliseconds before an export or playback can start. False when
// `index` is not a stream of `context` or the file cannot be read.
bool prepareToDecode(AVFormatContext& context, int index);

// How many samples of stream `index` the demuxer took off its packets' times for the codec's own delay:
// Matroska's demuxer does so for Opus (its pre-skip), as its muxer did not, so that the sound would play
// early by that much; 0 for every other stream.
int delayTakenOffTimes(const AVFormatContext& context, int index);

// Whether a seek in `context` lands on the last packet before the time asked for, of whatever kind,
// rather than on a key frame (transport and program streams). The index such a demuxer builds while
// it searches holds the packets it met there, whatever their kind, as key frames.
bool seeksByPacketTime(const AVFormatContext& context);

} // namespace osterveil::media::detail
