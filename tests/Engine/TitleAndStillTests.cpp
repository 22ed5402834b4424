#include <gtest/gtest.h>

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <unistd.h>

#include "Engine/FrameImages.hpp"
#include "EngineTestSupport.hpp"
#include "MediaFixtures.hpp"

using namespace osterveil;
using osterveil::testsupport::Fixture;
using osterveil::testsupport::MediaFixtures;

namespace {

// The bounding box of the pixels with any alpha, in y-down picture coordinates.
struct Box {
    int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;
    bool empty() const { return right < 0; }
};

Box inked(const imaging::Bitmap& b) {
    Box box;
    for (int y = 0; y < b.height(); ++y)
        for (int x = 0; x < b.width(); ++x)
            if (b.pixels()[y * b.bytesPerRow() + 4 * x + 3] > 0) {
                box.left = std::min(box.left, x);
                box.right = std::max(box.right, x);
                box.top = std::min(box.top, y);
                box.bottom = std::max(box.bottom, y);
            }
    return box;
}

// Runs of rows holding ink, top to bottom, as (first row, last row).
std::vector<std::pair<int, int>> inkedRows(const imaging::Bitmap& b) {
    std::vector<std::pair<int, int>> runs;
    for (int y = 0; y < b.height(); ++y) {
        bool ink = false;
        for (int x = 0; x < b.width() && !ink; ++x)
            ink = b.pixels()[y * b.bytesPerRow() + 4 * x + 3] > 0;
        if (!ink) continue;
        if (!runs.empty() && runs.back().second == y - 1)
            runs.back().second = y;
        else
            runs.emplace_back(y, y);
    }
    return runs;
}

void save(const imaging::Bitmap& b, const std::string& name) {
    const std::filesystem::path out = std::filesystem::path(OSTERVEIL_TEST_OUTPUT_DIR) / name;
    std::filesystem::create_directories(out.parent_path());
    // Over dark grey, so that the light default colour can be seen.
    QImage picture(b.width(), b.height(), QImage::Format_RGB32);
    picture.fill(QColor(40, 40, 40));
    QPainter painter(&picture);
    painter.drawImage(0, 0,
                      QImage(b.pixels(), b.width(), b.height(), static_cast<qsizetype>(b.bytesPerRow()),
                             QImage::Format_RGBA8888_Premultiplied));
    painter.end();
    picture.save(QString::fromStdString(out.string()));
}

} // namespace

TEST(FromHex, ParsesSixDigitsOrGivesWhite) {
    const QColor green(0, 255, 0);
    EXPECT_EQ(fromHex("#00ff00"), green);
    EXPECT_EQ(fromHex("00FF00"), green);
    EXPECT_EQ(fromHex("  #00ff00\n"), green);
    const QColor white(255, 255, 255);
    EXPECT_EQ(fromHex("#0f0"), white);
    EXPECT_EQ(fromHex(""), white);
    EXPECT_EQ(fromHex("#00ff0g"), white);
    EXPECT_EQ(fromHex("##00ff00"), white);
    // A sign counts as one of the six characters, like the standard integer parser takes it.
    EXPECT_EQ(fromHex("-00001"), QColor(255, 255, 255));
    EXPECT_EQ(fromHex("+0000F"), QColor(0, 0, 15));
}

TEST(TitleRasterizer, KeysHoldEveryInput) {
    TitleStyle s;
    s.vertical = TitleVertical::bottom;
    EXPECT_EQ(TitleRasterizer::cacheKey(s, 1920, 1080), "title:Title|Helvetica Neue|96.0|#F4F1EA|center|bottom|1920x1080");
    TitleStyle lower = s;
    lower.colorHex = "#f4f1ea";
    EXPECT_NE(TitleRasterizer::cacheKey(lower, 1920, 1080), TitleRasterizer::cacheKey(s, 1920, 1080));
    s.fontSize = 72.5;
    EXPECT_EQ(TitleRasterizer::cacheKey(s, 1919.9, 1080.7), "title:Title|Helvetica Neue|72.5|#F4F1EA|center|bottom|1919x1080");
}

TEST(TitleRasterizer, SizesAndEmptyText) {
    enginetest::ensureGuiApplication();
    TitleStyle s;
    EXPECT_FALSE(TitleRasterizer::image(s, 1, 1));
    EXPECT_FALSE(TitleRasterizer::image(s, 1.4, 100));
    auto tiny = TitleRasterizer::image(s, 1.5, 2);
    ASSERT_TRUE(tiny);
    EXPECT_EQ(tiny->width(), 2);
    EXPECT_EQ(tiny->height(), 2);
    s.text = "";
    auto blank = TitleRasterizer::image(s, 320, 180);
    ASSERT_TRUE(blank);
    EXPECT_TRUE(inked(*blank).empty());
}

TEST(TitleRasterizer, PlacesTheBoxByMarginAndPlacement) {
    enginetest::ensureGuiApplication();
    TitleStyle s;
    s.text = "Wide title text that wraps onto several lines within the box";
    s.fontSize = 60;
    s.vertical = TitleVertical::bottom;
    const auto bottom = TitleRasterizer::image(s, 1920, 1080);
    ASSERT_TRUE(bottom);
    const Box b = inked(*bottom);
    ASSERT_FALSE(b.empty());
    // Margin 0.08 × 1920 = 153.6 on every side; the box is 1612.8 wide.
    EXPECT_GE(b.left, 153);
    EXPECT_LE(b.right, 1920 - 153);
    EXPECT_LE(b.bottom, 1080 - 153);
    EXPECT_GT(b.bottom, 1080 - 153 - 80);
    s.vertical = TitleVertical::top;
    const Box t = inked(*TitleRasterizer::image(s, 1920, 1080));
    EXPECT_GE(t.top, 153);
    EXPECT_LT(t.top, 153 + 80);
    s.vertical = TitleVertical::center;
    const Box c = inked(*TitleRasterizer::image(s, 1920, 1080));
    EXPECT_NEAR((c.top + c.bottom) / 2.0, 540, 60);

    // Left alignment starts at the margin; the colour is the style's.
    s.alignment = TitleAlignment::left;
    s.colorHex = "#FF0000";
    const auto left = TitleRasterizer::image(s, 1920, 1080);
    EXPECT_LT(inked(*left).left, 153 + 20);
    bool red = false;
    for (int i = 0; i < left->width() * left->height() && !red; ++i) {
        const std::uint8_t* p = left->pixels() + 4 * i;
        red = p[3] == 255 && p[0] == 255 && p[1] == 0 && p[2] == 0;
    }
    EXPECT_TRUE(red);

    // A font that does not exist still draws, in the system font.
    s.fontName = "No Such Font 1234";
    EXPECT_FALSE(inked(*TitleRasterizer::image(s, 1920, 1080)).empty());
    // The inspector's fonts have installed look-alikes.
    s.fontName = "Futura";
    EXPECT_FALSE(inked(*TitleRasterizer::image(s, 1920, 1080)).empty());
}

TEST(StillImageLoader, ScalesAndTurnsUpright) {
    auto& fx = MediaFixtures::shared();
    const auto png = StillImageLoader::image(fx.path(Fixture::pngStill), 10);
    ASSERT_TRUE(png);
    EXPECT_EQ(std::max(png->width(), png->height()), 64);
    const auto full = StillImageLoader::image(fx.path(Fixture::pngStill), 4000);
    EXPECT_EQ(full->width(), 320);
    // EXIF orientation 6: stored 320×180, shown 180 wide and 320 high.
    const auto turned = StillImageLoader::image(fx.path(Fixture::jpegWithOrientation), 1000);
    ASSERT_TRUE(turned);
    EXPECT_EQ(turned->width(), 180);
    EXPECT_EQ(turned->height(), 320);
    EXPECT_FALSE(StillImageLoader::image(fx.path(Fixture::wavAudio), 100));
    EXPECT_FALSE(StillImageLoader::image("/no/such/file.png", 100));
}

// 16-bit PNG (interlaced or not) and TIFF (in strips or tiles, floating point too) are shrunk as they
// are read, never held whole at their depth: with Qt's readers allowed 1 MB, each of these pictures
// (2 to 5 MB whole) still loads, turned and coloured as Qt's readers show it whole. Floating-point
// samples stored plane by plane, which Qt's reader takes for interleaved ones, show what the same
// picture interleaved shows, or, where they cannot be read in pieces, are refused.
TEST(StillImageLoader, DeepPngAndTiffAreShrunkAsTheyAreRead) {
    namespace fs = std::filesystem;
    // Quadrants of red, green, blue and half-transparent white.
    const testsupport::StillColour quadrants = [](int x, int y) -> std::array<double, 4> {
        const bool right = x >= 320, low = y >= 240;
        if (right && low) return {1, 1, 1, 0.5};
        return {double(!right && !low), double(right && !low), double(low), 1};
    };
    auto& fx = MediaFixtures::shared();
    const std::vector<fs::path> stills = [&] {
        std::vector<fs::path> made;
        for (bool interlaced : {false, true}) {
            made.push_back(fx.scratch(interlaced ? "deep-adam7.png" : "deep.png"));
            testsupport::writeDeepPng(made.back(), 640, 480, false, interlaced, quadrants);
        }
        made.push_back(fx.scratch("deep-grey.png"));
        testsupport::writeDeepPng(made.back(), 640, 480, true, true, quadrants);
        made.push_back(fx.scratch("strips.tif"));
        testsupport::writeTiff(made.back(), 640, 480, {.bits = 8, .alpha = true, .rowsPerStrip = 7},
                               quadrants);
        made.push_back(fx.scratch("float-strips.tif"));
        testsupport::writeTiff(made.back(), 640, 480,
                               {.bits = 32, .floating = true, .alpha = true, .rowsPerStrip = 5}, quadrants);
        made.push_back(fx.scratch("half-tiles.tif"));
        testsupport::writeTiff(made.back(), 640, 480, {.bits = 16, .floating = true, .tileSide = 48},
                               quadrants);
        made.push_back(fx.scratch("float-planes.tif"));
        testsupport::writeTiff(
            made.back(), 640, 480,
            {.bits = 32, .floating = true, .alpha = true, .rowsPerStrip = 5, .planes = true}, quadrants);
        made.push_back(fx.scratch("half-plane-tiles.tif"));
        testsupport::writeTiff(made.back(), 640, 480,
                               {.bits = 16, .floating = true, .tileSide = 48, .planes = true}, quadrants);
        made.push_back(fx.scratch("tiles-turned.tif"));
        testsupport::writeTiff(made.back(), 640, 480,
                               {.bits = 16, .alpha = true, .tileSide = 64, .orientation = 6}, quadrants);
        return made;
    }();
    // What each shows as Qt's readers show it whole: itself, or its interleaved twin.
    const auto shownAs = [&](const fs::path& file) {
        const std::string name = file.filename().string();
        if (name == "float-planes.tif") return fx.scratch("float-strips.tif");
        if (name == "half-plane-tiles.tif") return fx.scratch("half-tiles.tif");
        return file;
    };
    // Qt's reading of the whole picture, premultiplied as the loader's, at a point given in eighths.
    const auto shown = [](const fs::path& file, int eighthX, int eighthY) {
        QImageReader reader(QString::fromStdString(file.string()));
        reader.setAutoTransform(true);
        const QImage whole = reader.read().convertToFormat(QImage::Format_RGBA8888_Premultiplied);
        const uchar* p = whole.constScanLine(whole.height() * eighthY / 8) + whole.width() * eighthX / 8 * 4;
        return std::array<int, 4>{p[0], p[1], p[2], p[3]};
    };
    ASSERT_TRUE(
        StillImageLoader::image(fx.path(Fixture::pngStill), 64)); // the readers' limit is set on first use
    std::vector<std::array<std::array<int, 4>, 4>> expected;
    for (const fs::path& file : stills) {
        expected.emplace_back();
        for (int q = 0; q < 4; ++q)
            expected.back()[std::size_t(q)] = shown(shownAs(file), 2 + q % 2 * 4, 2 + q / 2 * 4);
    }
    // Tiles too wide for a piece to hold their rows whole are read a band of their rows at a time, each
    // row in its place, as Qt's reader shows the picture whole.
    const fs::path wide = fx.scratch("wide-float-tiles.tif");
    testsupport::writeTiff(wide, 12000, 300, {.bits = 32, .floating = true, .tileSide = 256},
                           [](int x, int y) -> std::array<double, 4> {
                               return {(y % 37) / 36.0, (x % 101) / 100.0, ((x + y) % 7) / 6.0, 1};
                           });
    const auto banded = StillImageLoader::image(wide, 12000);
    const QImage reference = QImageReader(QString::fromStdString(wide.string()))
                                 .read()
                                 .convertToFormat(QImage::Format_RGBA8888_Premultiplied);
    ASSERT_TRUE(banded);
    ASSERT_EQ(QSize(banded->width(), banded->height()), reference.size());
    int misplaced = 0;
    for (int y = 0; y < reference.height(); ++y)
        for (int x = 0; x < reference.width(); ++x)
            for (int c = 0; c < 4; ++c)
                misplaced += std::abs(banded->pixels()[y * banded->bytesPerRow() + x * 4 + c] -
                                      reference.constScanLine(y)[x * 4 + c]) > 2;
    EXPECT_EQ(misplaced, 0);
    // Planes each in one strip too large to be read a piece at a time: refused, not misread whole.
    const fs::path oneStrip = fx.scratch("float-planes-one-strip.tif");
    testsupport::writeTiff(oneStrip, 3000, 2000,
                           {.bits = 32, .floating = true, .rowsPerStrip = 0, .planes = true}, quadrants);
    EXPECT_FALSE(StillImageLoader::image(oneStrip, 64));
    struct Limit {
        int before = QImageReader::allocationLimit();
        Limit() { QImageReader::setAllocationLimit(1); }
        ~Limit() { QImageReader::setAllocationLimit(before); }
    } limit;
    for (std::size_t i = 0; i < stills.size(); ++i) {
        const auto loaded = StillImageLoader::image(stills[i], 64);
        ASSERT_TRUE(loaded) << stills[i].filename();
        const bool turned = i == stills.size() - 1;
        EXPECT_EQ(loaded->width(), turned ? 48 : 64) << stills[i].filename();
        EXPECT_EQ(loaded->height(), turned ? 64 : 48) << stills[i].filename();
        for (int q = 0; q < 4; ++q) {
            const int x = loaded->width() * (2 + q % 2 * 4) / 8, y = loaded->height() * (2 + q / 2 * 4) / 8;
            const std::uint8_t* p = loaded->pixels() + y * loaded->bytesPerRow() + x * 4;
            for (int c = 0; c < 4; ++c)
                EXPECT_NEAR(p[c], expected[i][std::size_t(q)][std::size_t(c)], 2)
                    << stills[i].filename() << " quadrant " << q << " channel " << c;
        }
    }
}

// What libtiff says of a damaged TIFF reaches the program's log, one line for the file however often
// it is read (import, thumbnail, preview), and never standard error of its own accord.
TEST(StillImageLoader, ATiffsComplaintsReachTheLogOnceAndNotStandardError) {
    const std::filesystem::path file = MediaFixtures::shared().scratch("unknown-tag.tif");
    testsupport::writeTiff(file, 64, 48, {}, [](int, int) {
        return std::array<double, 4>{0.2, 0.5, 0.8, 1};
    });
    // The orientation tag (274) given a number nobody knows, out of order: libtiff warns at every
    // opening, and Qt's reader and the loader open the file several times for each reading.
    std::fstream bytes(file, std::ios::in | std::ios::out | std::ios::binary);
    const auto read = [&](std::streamoff at, int size) {
        std::uint32_t v = 0;
        bytes.seekg(at);
        bytes.read(reinterpret_cast<char*>(&v), size);
        return v;
    };
    const std::uint32_t directory = read(4, 4);
    bool renamed = false;
    for (std::uint32_t i = 0; i < read(directory, 2); ++i) {
        const std::streamoff entry = directory + 2 + 12 * i;
        if (read(entry, 2) != 274) continue;
        const std::uint16_t unknown = 65000;
        bytes.seekp(entry);
        bytes.write(reinterpret_cast<const char*>(&unknown), 2);
        renamed = true;
    }
    bytes.close();
    ASSERT_TRUE(renamed);

    enginetest::LogCapture log("media");
    std::fflush(stderr);
    const std::filesystem::path printed = MediaFixtures::shared().scratch("unknown-tag.stderr");
    const int terminal = dup(STDERR_FILENO);
    const int capture = open(printed.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(capture, STDERR_FILENO);
    close(capture);
    const bool loaded = StillImageLoader::image(file, 64) && StillImageLoader::image(file, 480) &&
                        StillImageLoader::image(file, 1920);
    std::fflush(stderr);
    dup2(terminal, STDERR_FILENO);
    close(terminal);
    EXPECT_TRUE(loaded);
    EXPECT_EQ(std::filesystem::file_size(printed), 0u);
    ASSERT_EQ(log.lines.size(), 1u);
    // The file, then what libtiff said of it (where, and what).
    EXPECT_EQ(log.lines[0].rfind(file.string() + ": TIFF", 0), 0u) << log.lines[0];
}

// Typed line breaks start new lines a full line spacing apart; a word wider than the box breaks
// inside the margins instead of running out of the picture.
TEST(TitleRasterizer, LineBreaksWrappingAndLongWords) {
    enginetest::ensureGuiApplication();
    TitleStyle s;
    s.fontName = "C059"; // a face with a leading of its own (8 pixels at this size)
    s.fontSize = 40;
    s.vertical = TitleVertical::center;
    s.text = "First line\nSecond line";
    const auto two = TitleRasterizer::image(s, 640, 360);
    ASSERT_TRUE(two);
    save(*two, "title-two-lines.png");
    const auto rows = inkedRows(*two);
    ASSERT_EQ(rows.size(), 2u);
    QFont font("C059");
    font.setPixelSize(40);
    const QFontMetricsF metrics(font);
    ASSERT_GT(metrics.leading(), 4);
    EXPECT_NEAR(rows[1].first - rows[0].first, metrics.height() + metrics.leading(), 1.5);
    s.text = "First line\r\nSecond line";
    EXPECT_EQ(inkedRows(*TitleRasterizer::image(s, 640, 360)).size(), 2u);
    s.text = "First lineSecond line";
    EXPECT_EQ(inkedRows(*TitleRasterizer::image(s, 640, 360)).size(), 1u);

    // Margin 0.08 × 640 = 51.2: the box is 537.6 wide, far narrower than the word.
    s.text = "Pneumonoultramicroscopicsilicovolcanoconiosis";
    s.alignment = TitleAlignment::left;
    const auto word = TitleRasterizer::image(s, 640, 360);
    ASSERT_TRUE(word);
    save(*word, "title-long-word.png");
    const Box box = inked(*word);
    EXPECT_GE(box.left, 51);
    EXPECT_LE(box.right, 640 - 51);
    EXPECT_EQ(inkedRows(*word).size(), 2u);
}

// Few of the font menu's families exist on Linux: each name draws in its closest installed design of
// the same kind (the packages scripts/install-deps installs), and the title picture, which the monitor
// and exports both show, is the one drawn in that design.
TEST(TitleFonts, EachMenuNameDrawsInTheClosestInstalledDesignOfItsKind) {
    enginetest::ensureGuiApplication();
    const std::vector<std::pair<std::string, QString>> lookalikes{
        {"Helvetica Neue", "Nimbus Sans"}, {"Avenir Next", "Lato"}, {"Futura", "BetecknaGS"},
        {"Georgia", "C059"},                {"Gill Sans", "Gillius ADF"}, {"Didot", "GFS Didot"}};
    std::vector<std::string> menu;
    for (const auto& [name, family] : lookalikes)
        menu.push_back(name);
    EXPECT_EQ(TitleFonts::names(), menu);

    const auto picture = [](const std::string& font) {
        TitleStyle s;
        s.text = "Rag Quiet Afternoon";
        s.fontName = font;
        s.fontSize = 72;
        const auto image = TitleRasterizer::image(s, 640, 360);
        EXPECT_TRUE(image.has_value()) << font;
        if (image) save(*image, "title-fonts/" + font + ".png");
        return image ? std::vector<std::uint8_t>(image->pixels(), image->pixels() + image->bytesPerRow() * 360)
                     : std::vector<std::uint8_t>();
    };
    for (const auto& [name, family] : lookalikes) {
        // Where the family itself is installed, it is used as it is.
        if (QFontDatabase::hasFamily(QString::fromStdString(name))) continue;
        EXPECT_EQ(TitleFonts::family(name), family) << name;
        EXPECT_TRUE(QFontInfo(TitleFonts::font(name)).family().startsWith(family)) << name;
        EXPECT_EQ(picture(name), picture(family.toStdString())) << name;
    }
    // A stored name outside the menu that is not installed draws in the system's sans family.
    EXPECT_EQ(TitleFonts::family("No Such Family Anywhere"),
              QFontDatabase::systemFont(QFontDatabase::GeneralFont).family());
}
