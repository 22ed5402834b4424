#include <algorithm>
#include <cmath>
#include <fstream>
#include <thread>

#include <QImage>
#include <QImageReader>
#include <gtest/gtest.h>

#include "Media/MediaProbe.hpp"
#include "Media/ThumbnailService.hpp"
#include "MediaFixtures.hpp"
#include "Platform/Media/Asset.hpp"
#include "Platform/Media/AudioDecoder.hpp"
#include "Platform/Media/MediaErrors.hpp"
#include "ToneWav.hpp"

using namespace osterveil;
using testsupport::Fixture;
using testsupport::MediaFixtures;
namespace fs = std::filesystem;

namespace {

fs::path fixture(Fixture f) {
    return MediaFixtures::shared().path(f);
}

fs::path scratch(const std::string& name) {
    return MediaFixtures::shared().scratch(name);
}

MediaItem probe(const fs::path& path, const std::optional<fs::path>& project = std::nullopt) {
    return MediaProbe::makeItem(path, project);
}

// The error a probe throws, or a failure when it succeeds.
std::optional<MediaError> probeError(const fs::path& path) {
    try {
        probe(path);
    } catch (const MediaError& e) {
        return e;
    }
    ADD_FAILURE() << path << " was accepted";
    return std::nullopt;
}

// The file name a refusal carries, or "" (and a failure) when the file was accepted.
std::string refused(const fs::path& path) {
    const auto e = probeError(path);
    return e ? e->fileName() : "";
}

fs::path copyTo(Fixture f, const fs::path& to) {
    fs::create_directories(to.parent_path());
    fs::copy_file(fixture(f), to, fs::copy_options::overwrite_existing);
    return to;
}

const StoredTransform identity{};

fs::path damagedFile(const std::string& name) {
    return fs::path(OSTERVEIL_TESTDATA) / "damaged" / name;
}

} // namespace

TEST(MediaProbe, UnsupportedFilesAreNamedWithTheirExtension) {
    std::ofstream(scratch("Shot List.txt")) << "scene 1, take 3\n";
    auto e = probeError(scratch("Shot List.txt"));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind(), MediaError::Kind::unsupported);
    EXPECT_EQ(e->fileName(), "Shot List.txt");
    EXPECT_EQ(e->errorDescription(), "Shot List.txt is not a video, audio, or still Osterveil can import.");
    EXPECT_STREQ(e->what(), e->errorDescription().c_str());

    // A container that holds neither picture nor sound, only an attachment.
    testsupport::writeMovie(scratch("attachment.mkv"),
                            testsupport::MovieRecipe{.container = "matroska",
                                                     .video = testsupport::VideoCodec::none,
                                                     .coverArt = true});
    EXPECT_EQ(probeError(scratch("attachment.mkv"))->fileName(), "attachment.mkv");
}

TEST(MediaProbe, DamagedAndRandomFilesAreUnsupportedNotFatal) {
    for (std::uint32_t seed = 0; seed < 6; ++seed) {
        const char* names[] = {"clip.mov", "clip.mp4", "song.mp3", "take.wav", "frame.png", "noise"};
        fs::path p = scratch(std::string("r") + std::to_string(seed) + "-" + names[seed]);
        testsupport::writeRandomBytes(p, 4096 + seed * 777, seed + 100);
        EXPECT_EQ(probeError(p)->fileName(), p.filename().string());
    }
    testsupport::writeTruncatedCopy(fixture(Fixture::h264MovieWithSound), scratch("half.mp4"), 0.5);
    EXPECT_EQ(probeError(scratch("half.mp4"))->fileName(), "half.mp4");
}

// A still or movie that never decodes is refused at the door instead of entering the project and
// drawing black: stills cut short (whatever their header says), and movies without a decodable picture.
TEST(MediaProbe, RawPictureStreamsAreRefused) {
    // Without a container no frame carries a time: such a file would import with no length and
    // every frame at 0. The sound of raw MP3 or AAC keeps its times and stays welcome.
    testsupport::writeMovie(scratch("camera.h264"), {.container = "h264"});
    testsupport::writeMovie(scratch("camera.m4v"),
                            {.container = "m4v", .video = testsupport::VideoCodec::mpeg4});
    for (const char* name : {"camera.h264", "camera.m4v"}) {
        const auto error = probeError(scratch(name));
        ASSERT_TRUE(error) << name;
        EXPECT_EQ(error->errorDescription(),
                  std::string(name) + " is not a video, audio, or still Osterveil can import.");
    }
    EXPECT_EQ(probe(fixture(Fixture::clickMp3)).kind, MediaKind::audio);
}

TEST(MediaProbe, LengthsComeFromTheContent) {
    // An MP3's encoder delay and a transport stream's 1.4 s start are not part of their lengths.
    EXPECT_NEAR(probe(fixture(Fixture::clickMp3)).duration, 3.0, 0.002);
    EXPECT_NEAR(probe(fixture(Fixture::flashTransportStream)).duration, 5.0, 0.04);
    // A transport stream whose sound outlasts its pictures ends with its last sound packet (AAC pads
    // its last frame), not where the demuxer's estimate of the sound's length ends.
    const fs::path longSound = scratch("long-sound.ts");
    testsupport::writeMovie(longSound, {.container = "mpegts",
                                        .width = 160,
                                        .height = 90,
                                        .audio = testsupport::AudioCodec::aac,
                                        .audioSeconds = 1.5});
    const double soundLength = probe(longSound).duration;
    EXPECT_GE(soundLength, 1.5);
    EXPECT_LE(soundLength, 1.5 + 2048.0 / 48000);
    // Transport streams of one MPEG-2 picture with MP2 as long, and of five H.264 pictures reordered
    // with AC-3 as long: each lasts its pictures (the demuxer estimates both streams' ends from the sound).
    struct Short {
        const char* name;
        testsupport::VideoCodec video;
        testsupport::AudioCodec audio;
        int frames;
    };
    for (const Short s :
         {Short{"one-picture.ts", testsupport::VideoCodec::mpeg2, testsupport::AudioCodec::mp2, 1},
          Short{"five-pictures.ts", testsupport::VideoCodec::h264, testsupport::AudioCodec::ac3, 5}}) {
        testsupport::writeMovie(scratch(s.name), {.container = "mpegts",
                                                  .video = s.video,
                                                  .width = 320,
                                                  .height = 240,
                                                  .framesPerSecond = 25,
                                                  .frames = s.frames,
                                                  .audio = s.audio,
                                                  .audioSeconds = s.frames / 25.0,
                                                  .reorderedPictures = 3});
        EXPECT_NEAR(probe(scratch(s.name)).duration, s.frames / 25.0, 0.002) << s.name;
    }

    if (!fs::is_directory(damagedFile("")))
        GTEST_SKIP() << "shared test data not found at " << damagedFile("");
    // Twelve frames whose AVI headers claim 317 years: the stream's own timing gives 12 × 7/3 s.
    const MediaItem avi = probe(damagedFile("declared-317-years-12-frames.avi"));
    EXPECT_NEAR(avi.duration, 28.0, 0.01);
    // A PCM file cut in the middle of a sample: every complete sample is read.
    const MediaItem wav = probe(damagedFile("truncated-mid-sample.wav"));
    EXPECT_NEAR(wav.duration, 4764.5 / 48000, 0.0001);
    media::AudioDecoder decoder(media::Asset::open(wav.path)->tracks(media::MediaType::audio).at(0));
    std::int64_t frames = 0;
    while (auto b = decoder.next())
        frames += b->frameCount();
    EXPECT_EQ(frames, 4764);
}

TEST(MediaProbe, FilesThatDoNotDecodeAreRefused) {
    const auto cut = [](Fixture f, const std::string& name, double keep) {
        testsupport::writeTruncatedCopy(fixture(f), scratch(name), keep);
        return scratch(name);
    };
    EXPECT_EQ(refused(cut(Fixture::pngStill, "cut-half.png", 0.5)), "cut-half.png");
    EXPECT_EQ(refused(cut(Fixture::pngStill, "cut-tail.png", 0.97)), "cut-tail.png");
    // Qt's JPEG reader fills a cut file with grey and reports success; the file is still refused.
    EXPECT_EQ(refused(cut(Fixture::jpegWithOrientation, "cut.jpg", 0.9)), "cut.jpg");
    EXPECT_EQ(refused(cut(Fixture::pngStill, "signature.png",
                          8.0 / double(fs::file_size(fixture(Fixture::pngStill))))),
              "signature.png");
    // Sound whose header claims 9,473 channels: the demuxer takes it, no decoder can.
    EXPECT_EQ(refused(fixture(Fixture::manyChannelsWav)), "channels.wav");

    const fs::path damaged = fs::path(OSTERVEIL_TESTDATA) / "damaged";
    if (!fs::is_directory(damaged)) GTEST_SKIP() << "shared test data not found at " << damaged;
    const auto png = probeError(damaged / "png-truncated-at-90-percent.png");
    EXPECT_EQ(png ? png->errorDescription() : "",
              "png-truncated-at-90-percent.png is not a video, audio, or still Osterveil can import.");
    EXPECT_EQ(refused(damaged / "hevc-no-decodable-picture.mp4"), "hevc-no-decodable-picture.mp4");
}

// The content decides what a file is when its extension says otherwise.
TEST(MediaProbe, ContentBeatsAWrongExtension) {
    MediaItem png = probe(copyTo(Fixture::pngStill, scratch("wrong/picture.mp4")));
    EXPECT_EQ(png.kind, MediaKind::image);
    EXPECT_EQ(png.codec, "Still 320\u00D7180");
    EXPECT_EQ(png.name, "picture");
    MediaItem movie = probe(copyTo(Fixture::h264Movie, scratch("wrong/movie.jpg")));
    EXPECT_EQ(movie.kind, MediaKind::video);
    EXPECT_EQ(movie.codec, "H.264");
    MediaItem sound = probe(copyTo(Fixture::wavAudio, scratch("wrong/sound.png")));
    EXPECT_EQ(sound.kind, MediaKind::audio);
    // Content that is no picture under a picture's name is still nothing to import.
    std::ofstream(scratch("wrong/notes.png")) << "scene 1, take 3\n";
    EXPECT_EQ(refused(scratch("wrong/notes.png")), "notes.png");
}

TEST(MediaProbe, UnreadableFilesPassOnTheAssetError) {
    try {
        probe(scratch("gone.mov"));
        ADD_FAILURE() << "a missing movie was accepted";
    } catch (const media::AssetError& e) {
        EXPECT_EQ(e.kind(), media::AssetError::Kind::cannotOpen);
        EXPECT_STREQ(e.what(), "The file couldn't be opened.");
    }
    // A missing still fails as an image the reader cannot open.
    EXPECT_EQ(probeError(scratch("gone.png"))->fileName(), "gone.png");
}

TEST(MediaProbe, StillsAreSizedWithoutDuration) {
    MediaItem png = probe(fixture(Fixture::pngStill));
    EXPECT_EQ(png.kind, MediaKind::image);
    EXPECT_EQ(png.name, "still");
    EXPECT_EQ(png.codec, "Still 320\u00D7180");
    EXPECT_EQ(png.width, 320);
    EXPECT_EQ(png.height, 180);
    EXPECT_EQ(png.duration, 0);
    EXPECT_EQ(png.nominalFrameRate, 0);
    EXPECT_FALSE(png.hasVideo);
    EXPECT_FALSE(png.hasAudio);
    EXPECT_EQ(png.transform, identity);
    EXPECT_FALSE(png.bookmark);
    EXPECT_EQ(png.path, fixture(Fixture::pngStill).string());

    // Found by its content under a name that says nothing.
    MediaItem renamed = probe(copyTo(Fixture::pngStill, scratch("export.dat")));
    EXPECT_EQ(renamed.kind, MediaKind::image);
    EXPECT_EQ(renamed.name, "export");

    // The stored pixel size; the orientation is applied when the still is drawn.
    MediaItem jpeg = probe(fixture(Fixture::jpegWithOrientation));
    EXPECT_EQ(jpeg.kind, MediaKind::image);
    EXPECT_EQ(jpeg.codec, "Still 320\u00D7180");
    EXPECT_EQ(jpeg.transform, identity);
    EXPECT_EQ(QImageReader(QString::fromStdString(jpeg.path)).transformation(),
              QImageIOHandler::TransformationRotate90);
}

// TIFF and WebP come through Qt's image-format plugins; stills in them import and draw like any other.
TEST(MediaProbe, TiffAndWebPStillsImportAndDraw) {
    QImage source(64, 48, QImage::Format_RGB32);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x)
            source.setPixel(x, y, qRgb(x * 4, y * 5, (x ^ y) * 3));
    for (const char* format : {"tiff", "webp"}) {
        const fs::path file = scratch(std::string("picture.") + format);
        // Lossless, so that what is drawn can be compared with what was written.
        ASSERT_TRUE(source.save(QString::fromStdString(file.string()), format, 100))
            << format << " cannot be written";
        const MediaItem item = probe(file);
        EXPECT_EQ(item.kind, MediaKind::image) << format;
        EXPECT_EQ(item.codec, "Still 64\u00D748") << format;
        const auto drawn = ThumbnailService::image(item, std::nullopt);
        ASSERT_TRUE(drawn) << format;
        ASSERT_EQ(drawn->size(), source.size());
        const QImage rgb = drawn->convertToFormat(QImage::Format_RGB32);
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x)
                ASSERT_EQ(rgb.pixel(x, y), source.pixel(x, y)) << format << " at " << x << "," << y;
    }
}

TEST(MediaProbe, PortraitRecordingReportsItsUprightSizeAndKeepsTheTransform) {
    MediaItem item = probe(fixture(Fixture::portraitMovie));
    EXPECT_EQ(item.kind, MediaKind::video);
    EXPECT_EQ(item.width, 180);
    EXPECT_EQ(item.height, 320);
    EXPECT_EQ(item.transform, (StoredTransform{0, 1, -1, 0, 180, 0}));
    EXPECT_EQ(item.codec, "H.264");
}

// Pictures whose pixels are not square report the size they are shown at, which a sequence made from
// them takes: a 16:9 PAL DVD (720 × 576, pixels 64:45 wide), an HDV recording (1440 × 1080, 4:3), and
// an MP4 saying its shape in the container and the stream.
TEST(MediaProbe, AnamorphicRecordingsReportTheSizeTheyAreShownAt) {
    using Size = std::pair<std::int64_t, std::int64_t>;
    const auto shown = [](const fs::path& file) {
        const MediaItem item = probe(file);
        return Size{item.width, item.height};
    };
    // Two MPEG-2 pictures at 25 fps, stored at this size with pixels of this shape.
    const auto mpeg2 = [&](const std::string& name, const std::string& container, int width, int height,
                           std::pair<int, int> aspect) {
        const fs::path file = scratch(name);
        testsupport::writeMovie(file, {.container = container,
                                       .video = testsupport::VideoCodec::mpeg2,
                                       .width = width,
                                       .height = height,
                                       .framesPerSecond = 25,
                                       .frames = 2,
                                       .sampleAspect = aspect});
        return shown(file);
    };
    EXPECT_EQ(mpeg2("dvd-16x9.vob", "vob", 720, 576, {64, 45}), (Size{1024, 576}));
    EXPECT_EQ(mpeg2("hdv.m2t", "mpegts", 1440, 1080, {4, 3}), (Size{1920, 1080}));
    EXPECT_EQ(shown(fixture(Fixture::anamorphicMovie)), (Size{256, 144}));
}

TEST(MediaProbe, MoviesWithAndWithoutSound) {
    MediaItem silent = probe(fixture(Fixture::h264Movie));
    EXPECT_EQ(silent.kind, MediaKind::video);
    EXPECT_EQ(silent.name, "h264");
    EXPECT_TRUE(silent.hasVideo);
    EXPECT_FALSE(silent.hasAudio);
    EXPECT_EQ(silent.duration, 1.0);
    EXPECT_EQ(silent.nominalFrameRate, 24.0);
    EXPECT_EQ(silent.width, 320);
    EXPECT_EQ(silent.height, 180);
    EXPECT_EQ(silent.transform, identity);

    MediaItem sound = probe(fixture(Fixture::h264MovieWithSound));
    EXPECT_TRUE(sound.hasVideo);
    EXPECT_TRUE(sound.hasAudio);
    EXPECT_EQ(sound.codec, "H.264");
    EXPECT_NE(sound.id, silent.id);

    MediaItem prores = probe(fixture(Fixture::proresMovieWithSound));
    EXPECT_EQ(prores.codec, "ProRes 422 HQ");
    EXPECT_TRUE(prores.hasAudio);

    MediaItem mkv = probe(fixture(Fixture::matroskaMovie));
    EXPECT_EQ(mkv.codec, "H.264");
    EXPECT_TRUE(mkv.hasAudio);

    // A DVD's program stream, MPEG-2 pictures with AC-3 sound: its streams come with its packets.
    const fs::path vob = MediaFixtures::shared().scratch("dvd.vob");
    testsupport::writeMovie(
        vob,
        {.container = "vob", .video = testsupport::VideoCodec::mpeg2, .audio = testsupport::AudioCodec::ac3});
    MediaItem dvd = probe(vob);
    EXPECT_EQ(dvd.kind, MediaKind::video);
    EXPECT_TRUE(dvd.hasAudio);
    EXPECT_EQ(dvd.width, 320);
    EXPECT_NEAR(dvd.duration, 1.0, 0.021);
}

TEST(MediaProbe, SoundOnlyFiles) {
    MediaItem wav = probe(fixture(Fixture::wavAudio));
    EXPECT_EQ(wav.kind, MediaKind::audio);
    EXPECT_EQ(wav.name, "tone");
    EXPECT_EQ(wav.codec, "Linear PCM");
    EXPECT_EQ(wav.width, 0);
    EXPECT_EQ(wav.height, 0);
    EXPECT_EQ(wav.duration, 1.0);
    EXPECT_EQ(wav.nominalFrameRate, 0);
    EXPECT_FALSE(wav.hasVideo);
    EXPECT_TRUE(wav.hasAudio);
    EXPECT_EQ(wav.transform, identity);

    // A cover picture does not make a song a video.
    MediaItem song = probe(fixture(Fixture::audioWithCoverArt));
    EXPECT_EQ(song.kind, MediaKind::audio);
    EXPECT_FALSE(song.hasVideo);
}

// Companded and ADPCM sound is named for what it is, not as linear PCM or plain "Audio".
TEST(MediaProbe, CompandedAndADPCMSoundHaveTheirOwnNames) {
    using testsupport::AudioCodec;
    const std::pair<AudioCodec, const char*> cases[] = {{AudioCodec::muLaw, "\u03BC-law"},
                                                        {AudioCodec::aLaw, "A-law"},
                                                        {AudioCodec::adpcmMS, "MS ADPCM"},
                                                        {AudioCodec::adpcmIMA, "IMA ADPCM"},
                                                        {AudioCodec::pcm16, "Linear PCM"}};
    for (const auto& [codec, name] : cases) {
        const fs::path wav = scratch("coded-" + std::string(name).substr(0, 2) + ".wav");
        testsupport::writeMovie(wav, {.container = "wav",
                                      .video = testsupport::VideoCodec::none,
                                      .audio = codec,
                                      .channels = 1,
                                      .audioSeconds = 0.25});
        const MediaItem item = probe(wav);
        EXPECT_EQ(item.kind, MediaKind::audio);
        EXPECT_EQ(item.codec, name);
    }
    EXPECT_EQ(MediaProbe::codecName(MediaProbe::fourCC("ima4")), "IMA 4:1");
}

TEST(MediaProbe, RelativePathsOnlyInsideTheProjectFolder) {
    fs::path project = scratch("Film/Film.osterveil");
    fs::path inFolder = copyTo(Fixture::wavAudio, scratch("Film/a.wav"));
    fs::path below = copyTo(Fixture::wavAudio, scratch("Film/Audio/Day 2/b.wav"));
    fs::path sibling = copyTo(Fixture::wavAudio, scratch("Film-old/c.wav"));
    fs::path outside = copyTo(Fixture::wavAudio, scratch("d.wav"));

    EXPECT_EQ(probe(inFolder, project).relativePath, "a.wav");
    EXPECT_EQ(probe(below, project).relativePath, "Audio/Day 2/b.wav");
    EXPECT_EQ(probe(sibling, project).relativePath, std::nullopt);
    EXPECT_EQ(probe(outside, project).relativePath, std::nullopt);
    EXPECT_EQ(probe(inFolder, std::nullopt).relativePath, std::nullopt);
    // Dot segments are resolved before comparing.
    EXPECT_EQ(probe(scratch("Film/../Film-old/c.wav"), project).relativePath, std::nullopt);
    EXPECT_EQ(probe(scratch("Film-old/../Film/a.wav"), project).relativePath, "a.wav");
    EXPECT_EQ(probe(scratch("Film-old/../Film/a.wav"), project).path, inFolder.string());

    // The item finds its file again through the project.
    MediaItem item = probe(below, project);
    EXPECT_EQ(item.resolveURL(project), below);
}

TEST(MediaProbe, CodecNames) {
    const std::pair<const char*, const char*> known[] = {
        {"apch", "ProRes 422 HQ"}, {"apcn", "ProRes 422"},
        {"apcs", "ProRes 422 LT"}, {"apco", "ProRes 422 Proxy"},
        {"ap4h", "ProRes 4444"},   {"ap4x", "ProRes 4444 XQ"},
        {"avc1", "H.264"},         {"hvc1", "HEVC"},
        {"hev1", "HEVC"},          {"jpeg", "JPEG"},
        {"lpcm", "Linear PCM"},    {"aac ", "AAC"},
        {"mp4a", "AAC"},           {"alac", "ALAC"}};
    for (auto [code, name] : known)
        EXPECT_EQ(MediaProbe::codecName(MediaProbe::fourCC(code)), name) << code;

    EXPECT_EQ(MediaProbe::codecName(MediaProbe::fourCC("vp09")), "vp09");
    EXPECT_EQ(MediaProbe::codecName(MediaProbe::fourCC(".mp3")), ".mp3");
    EXPECT_EQ(MediaProbe::codecName(MediaProbe::fourCC(" ab ")), "ab");
    EXPECT_EQ(MediaProbe::codecName(MediaProbe::fourCC("    ")), "");
    EXPECT_EQ(MediaProbe::codecName(1), "00000001");
    EXPECT_EQ(MediaProbe::codecName(0x7F616263), "7F616263");
    EXPECT_EQ(MediaProbe::codecName(0xFFFFFFFF), "FFFFFFFF");
}

TEST(MediaProbe, FourCharacterCodes) {
    EXPECT_EQ(MediaProbe::fourCC(""), 0u);
    EXPECT_EQ(MediaProbe::fourCC("avc1"), 0x61766331u);
    EXPECT_EQ(MediaProbe::fourCC("ab"), 0x6162u);
    EXPECT_EQ(MediaProbe::fourCC("apchXYZ"), MediaProbe::fourCC("apch"));
    EXPECT_EQ(MediaProbe::fourCC("\u00D7\u00D7"), 0xC397C397u); // UTF-8 bytes, not characters
}

TEST(MediaProbe, ProbesFromSeveralThreadsAtOnce) {
    const Fixture files[] = {Fixture::h264Movie, Fixture::proresMovieWithSound, Fixture::wavAudio,
                             Fixture::pngStill,  Fixture::portraitMovie,        Fixture::matroskaMovie};
    std::vector<MediaItem> expected;
    for (Fixture f : files)
        expected.push_back(probe(fixture(f)));
    std::vector<MediaItem> results(std::size(files) * 4);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] { results[i] = probe(fixture(files[i % std::size(files)])); });
    for (auto& t : threads)
        t.join();
    for (std::size_t i = 0; i < results.size(); ++i) {
        MediaItem r = results[i];
        r.id = expected[i % std::size(files)].id;
        EXPECT_EQ(r, expected[i % std::size(files)]);
    }
}

// A camera's 100-megapixel still imports with its size (the probe decodes it, scaled, to be sure it draws).
TEST(MediaProbe, AHundredMegapixelStillImports) {
    const fs::path camera = scratch("camera.png");
    testsupport::writeBlankPng(camera, 11648, 8736);
    const MediaItem item = probe(camera);
    EXPECT_EQ(item.kind, MediaKind::image);
    EXPECT_EQ(item.codec, "Still 11648\u00D78736");
}

// A picture beyond what is imported is refused for its size, from its header, without decoding its
// 400 million pixels first (seconds; bench_media times it): the header is all the file holds.
TEST(MediaProbe, AHugeStillIsJudgedFromItsHeaderAtOnce) {
    const fs::path huge = MediaFixtures::shared().scratch("huge.png");
    testsupport::writeBlankPng(huge, 20000, 20000, 1);
    const auto error = probeError(huge);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), MediaError::Kind::pictureTooLarge);
    EXPECT_EQ(error->errorDescription(),
              "huge.png is too large a picture: Osterveil imports stills of up to 250 megapixels.");
    // A TIFF whose picture is one compressed strip is decoded whole, and so held to fewer pixels.
    const fs::path strip = MediaFixtures::shared().scratch("one-strip.tif");
    testsupport::writeHollowTiff(strip, 10000, 8000);
    const auto whole = probeError(strip);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->errorDescription(),
              "one-strip.tif is too large a picture: Osterveil imports stills of up to 67 megapixels.");
    // Floating-point samples in strips, in planes or in large tiles are read a piece at a time too, so
    // held only to what a picture of 16 bytes a pixel may have: 110 megapixels are not refused for their
    // size, but for their missing data; 126 are, for their size.
    for (const auto& [name, layout] :
         {std::pair{"float-strips", testsupport::HollowTiff{.floating = true}},
          {"float-planes", {.floating = true, .planes = true}},
          {"float-tiles", {.floating = true, .tileSide = 512}},
          {"float-plane-tiles", {.floating = true, .planes = true, .tileSide = 512}}}) {
        const fs::path within = MediaFixtures::shared().scratch(std::string(name) + ".tif");
        testsupport::writeHollowTiff(within, 11000, 10000, layout);
        const auto hollow = probeError(within);
        ASSERT_TRUE(hollow);
        EXPECT_EQ(hollow->kind(), MediaError::Kind::unsupported) << name;
        const fs::path larger = MediaFixtures::shared().scratch(std::string("larger-") + name + ".tif");
        testsupport::writeHollowTiff(larger, 12000, 10500, layout);
        const auto refused = probeError(larger);
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->errorDescription(), "larger-" + std::string(name) +
                                                   ".tif is too large a picture: Osterveil imports "
                                                   "stills of up to 125 megapixels.");
    }
}

TEST(MediaProbe, SoundOfMoreChannelsThanTheMixTakesIsRefusedForThat) {
    const fs::path wav = scratch("desk.wav");
    testsupport::writeMovie(wav, {.container = "wav",
                                  .video = testsupport::VideoCodec::none,
                                  .audio = testsupport::AudioCodec::pcm16,
                                  .channels = 65,
                                  .audioSeconds = 0.1});
    const auto error = probeError(wav);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorDescription(),
              "desk.wav has 65 sound channels: Osterveil imports sound of up to 64 channels.");
}

// Every channel of an imported file is heard in the mix, and full scale in all of them at once stays
// within full scale: a multitrack recorder's WAV whose channels have no places, 5.1 with its LFE, and
// 7.1.4 with its four height channels. Channel c plays a full-scale square wave alone from c × 50 ms,
// then every channel plays it in phase, the loudest a mix of them can be.
TEST(MediaProbe, EveryChannelOfAnImportedFileIsHeardInTheMix) {
    constexpr std::int64_t burst = 2400;
    constexpr std::uint32_t layout51 = 0x3F;     // FL FR FC LFE BL BR
    constexpr std::uint32_t layout714 = 0x2D63F; // FL FR FC LFE BL BR SL SR TFL TFR TBL TBR
    for (auto [channels, mask] :
         {std::pair<int, std::uint32_t>{16, 0}, {9, 0}, {64, 0}, {6, layout51}, {12, layout714}}) {
        const std::string name = "channels-" + std::to_string(channels) + ".wav";
        const std::int64_t frames = burst * (channels + 1);
        testsupport::writeFloatWav(
            scratch(name), 48000, channels, frames,
            [&](std::int64_t i, int c) {
                const float square = i / 20 % 2 ? 1.0f : -1.0f;
                return i / burst == c || i / burst == channels ? square : 0.0f;
            },
            mask);
        const MediaItem item = probe(scratch(name));
        EXPECT_EQ(item.kind, MediaKind::audio) << name;
        media::AudioDecoder mix(media::Asset::load(scratch(name))->tracks(media::MediaType::audio).at(0),
                                48000, 2);
        std::vector<float> heard(std::size_t(frames) * 2);
        mix.read(0, frames, heard.data());
        float peak = 0;
        for (float v : heard)
            peak = std::max(peak, std::abs(v));
        EXPECT_LE(peak, 1.0f) << name;
        for (int c = 0; c < channels; ++c) {
            double power = 0;
            for (std::int64_t i = c * burst + 200; i < (c + 1) * burst - 200; ++i)
                power += double(heard[std::size_t(i) * 2]) * heard[std::size_t(i) * 2] +
                         double(heard[std::size_t(i) * 2 + 1]) * heard[std::size_t(i) * 2 + 1];
            // A quarter of an even share of full scale: far above nothing, whatever the layout.
            EXPECT_GT(std::sqrt(power / double(burst - 400)), 0.25 / channels)
                << name << ": channel " << c + 1 << " is not heard";
        }
        // The LFE (the fourth channel of both placed layouts) is heard 10 dB below the front left.
        if (mask != 0) {
            const auto left = [&](int c) {
                double power = 0;
                for (std::int64_t i = c * burst + 200; i < (c + 1) * burst - 200; ++i)
                    power += double(heard[std::size_t(i) * 2]) * heard[std::size_t(i) * 2];
                return std::sqrt(power);
            };
            EXPECT_NEAR(20 * std::log10(left(3) / left(0)), -10, 0.5) << name;
        }
    }
}

// A sample rate no recording uses is refused from the header, before a resampler is built for it
// (seconds for one of hundreds of megahertz).
TEST(MediaProbe, AnImpossibleSampleRateIsRefusedAtOnce) {
    const fs::path wav = scratch("rate.wav");
    testsupport::writeMovie(wav, {.container = "wav",
                                  .video = testsupport::VideoCodec::none,
                                  .audio = testsupport::AudioCodec::adpcmMS,
                                  .channels = 1,
                                  .audioSeconds = 0.05});
    {
        std::fstream f(wav, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(24); // the format chunk's sample rate, little-endian
        const std::uint32_t rate = 692002624;
        const char bytes[4] = {char(rate & 0xFF), char(rate >> 8 & 0xFF), char(rate >> 16 & 0xFF),
                               char(rate >> 24)};
        f.write(bytes, 4);
    }
    const auto error = probeError(wav);
    ASSERT_TRUE(error);
    EXPECT_EQ(
        error->errorDescription(),
        "rate.wav has sound sampled at 692002624 Hz: Osterveil imports sound sampled at up to 768 kHz.");
    // Nor does a build or a waveform that meets the file in a project start on it.
    const auto sound = media::Asset::open(wav)->tracks(media::MediaType::audio).at(0);
    EXPECT_THROW(media::AudioDecoder(sound, 48000, 2), media::AudioDecodeError);
}
