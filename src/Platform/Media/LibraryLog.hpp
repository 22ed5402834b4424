#pragma once

namespace osterveil::media {

// Sends what FFmpeg itself reports to the program's log (category "media"), errors only: its notes
// and warnings (encoder banners, demuxer guesses about odd files) are noise for an editor, and
// nothing of it goes to the terminal on its own. Each way into the libraries calls this first;
// only the first call does anything.
void routeLibraryLog();

} // namespace osterveil::media
