#pragma once

#include "App/ProjectDocument.hpp"

namespace osterveil::bench {

// 2,000 clips: 1,000 two-second pictures on V1 with a gap after each, their linked sound on A1, and
// one clip alone on V3 (`dragged`) to drag across them.
inline Project dragAcross2000Clips(const Uuid& dragged) {
    Project p = ProjectDocument::newProject();
    for (int i = 0; i < 1000; ++i) {
        TimelineClip c;
        c.mediaID = Uuid::make();
        c.name = "A001_C" + std::to_string(i) + "_0715XY.mov";
        c.start = i * 3.0;
        c.duration = 2.0;
        c.linkGroup = Uuid::make();
        c.id = Uuid::make();
        p.sequence.tracks.mut(0).clips.push_back(c);
        c.id = Uuid::make();
        p.sequence.tracks.mut(3).clips.push_back(c);
    }
    TimelineClip clip;
    clip.id = dragged;
    clip.start = 1.0;
    clip.duration = 2.0;
    p.sequence.tracks.mut(2).clips.push_back(clip);
    return p;
}

} // namespace osterveil::bench
