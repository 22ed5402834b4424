#include "Engine/FrameImages.hpp"

#include <QCoreApplication>
#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QTextLayout>
#include <charconv>
#include <cmath>
#include <optional>
#include <utility>

#include "Model/EnumText.hpp"
#include "Platform/Stills/StillReader.hpp"

namespace osterveil {

namespace FrameImages {
BoundedCache<std::string, std::shared_ptr<const ImageBox>>& cache() {
    static BoundedCache<std::string, std::shared_ptr<const ImageBox>> shared(64);
    return shared;
}
} // namespace FrameImages

namespace {

imaging::Bitmap toBitmap(const QImage& source) {
    const QImage img = source.convertToFormat(QImage::Format_RGBA8888_Premultiplied);
    return imaging::Bitmap::copy(img.constBits(), img.width(), img.height(), img.bytesPerLine(),
                                 imaging::ChannelOrder::rgba, imaging::AlphaMode::premultiplied);
}

} // namespace

std::optional<imaging::Bitmap> StillImageLoader::image(const std::filesystem::path& path, int maxPixel) {
    auto still = stills::load(path, std::max(maxPixel, 64));
    if (!still) return std::nullopt;
    return toBitmap(still->image);
}

QColor fromHex(const std::string& hex) {
    const QColor white(255, 255, 255);
    QString text = QString::fromStdString(hex).trimmed();
    if (text.startsWith('#')) text.remove(0, 1);
    if (text.size() != 6) return white;
    const std::string digits = text.toStdString();
    // Like the standard integer parser: an optional sign, then hexadecimal digits.
    std::size_t i = 0;
    bool negative = false;
    if (digits[0] == '+' || digits[0] == '-') {
        negative = digits[0] == '-';
        i = 1;
    }
    if (i >= digits.size()) return white;
    std::int64_t value = 0;
    auto [ptr, ec] = std::from_chars(digits.data() + i, digits.data() + digits.size(), value, 16);
    if (ec != std::errc{} || ptr != digits.data() + digits.size()) return white;
    if (negative) value = -value;
    const auto bits = static_cast<std::uint64_t>(value);
    return QColor(static_cast<int>((bits >> 16) & 0xFF), static_cast<int>((bits >> 8) & 0xFF),
                  static_cast<int>(bits & 0xFF));
}

namespace {

// Larger sides than this are refused: no render comes near them.
constexpr double kLargestCanvas = 16384;

// The pixels a title of a `width` × `height` frame is drawn on at `scale`, each side rounded half away
// from zero; none when it is not a usable size.
std::optional<std::pair<int, int>> canvasSize(double width, double height, double scale) {
    const double w = std::round(width * scale), h = std::round(height * scale);
    if (!std::isfinite(w) || !std::isfinite(h) || w < 2 || h < 2 || w > kLargestCanvas || h > kLargestCanvas)
        return std::nullopt;
    return std::pair{static_cast<int>(w), static_cast<int>(h)};
}

// Whether the canvas at `scale` is the frame itself, so the title is drawn unscaled.
bool drawnAtFrameSize(double width, double height, double scale) {
    return scale == 1 || canvasSize(width, height, scale) == canvasSize(width, height, 1);
}

} // namespace

std::string TitleRasterizer::cacheKey(const TitleStyle& style, double width, double height, double scale) {
    char size[64];
    auto res = std::to_chars(size, size + sizeof size, style.fontSize);
    std::string fontSize(size, res.ptr);
    if (fontSize.find_first_of(".en") == std::string::npos) fontSize += ".0";
    auto whole = [](double v) { return std::to_string(static_cast<std::int64_t>(std::trunc(v))); };
    std::string key = "title:" + style.text + "|" + style.fontName + "|" + fontSize + "|" + style.colorHex + "|" +
                      std::string(enumName(style.alignment)) + "|" + std::string(enumName(style.vertical)) + "|" +
                      whole(width) + "x" + whole(height);
    if (!drawnAtFrameSize(width, height, scale)) {
        const auto canvas = canvasSize(width, height, scale);
        key += canvas ? "@" + std::to_string(canvas->first) + "x" + std::to_string(canvas->second) : "@none";
    }
    return key;
}

namespace {

// Each menu name, its kind and the installed designs closest to it, nearest first. The packages that
// install them are in scripts/install-deps; DejaVu, always there, closes each list.
struct TitleFace {
    const char* name;
    QFont::StyleHint kind;
    std::vector<QString> lookalikes;
};

const std::vector<TitleFace>& titleFaces() {
    static const std::vector<TitleFace> faces{
        {"Helvetica Neue", QFont::SansSerif, {"Nimbus Sans", "DejaVu Sans"}},
        // Avenir's even, open humanist-geometric shapes.
        {"Avenir Next", QFont::SansSerif, {"Lato", "DejaVu Sans"}},
        // Geometric, with Futura's single-storey a.
        {"Futura", QFont::SansSerif, {"BetecknaGS", "URW Gothic", "DejaVu Sans"}},
        // A sturdy transitional serif with a large x-height.
        {"Georgia", QFont::Serif, {"C059", "DejaVu Serif"}},
        {"Gill Sans", QFont::SansSerif, {"Gillius ADF", "DejaVu Sans"}},
        // High-contrast Didone.
        {"Didot", QFont::Serif, {"GFS Didot", "P052", "DejaVu Serif"}},
    };
    return faces;
}

} // namespace

const std::vector<std::string>& TitleFonts::names() {
    static const std::vector<std::string> all = [] {
        std::vector<std::string> n;
        for (const TitleFace& face : titleFaces())
            n.emplace_back(face.name);
        return n;
    }();
    return all;
}

QString TitleFonts::family(const std::string& name) {
    const QString asked = QString::fromStdString(name);
    // Asks the database rather than matching its list of names: families installed by more than one
    // foundry are listed as "Name [foundry]".
    if (!asked.isEmpty() && QFontDatabase::hasFamily(asked)) return asked;
    for (const TitleFace& face : titleFaces()) {
        if (name != face.name) continue;
        for (const QString& lookalike : face.lookalikes)
            if (QFontDatabase::hasFamily(lookalike)) return lookalike;
    }
    return QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
}

QFont TitleFonts::font(const std::string& name) {
    QFont font(family(name));
    // Should even the stand-in go missing, the font matcher keeps to the same kind.
    for (const TitleFace& face : titleFaces())
        if (name == face.name) font.setStyleHint(face.kind);
    return font;
}

namespace {

Qt::Alignment horizontal(TitleAlignment a) {
    switch (a) {
    case TitleAlignment::left: return Qt::AlignLeft;
    case TitleAlignment::center: return Qt::AlignHCenter;
    case TitleAlignment::right: return Qt::AlignRight;
    }
    return Qt::AlignHCenter;
}

} // namespace

std::optional<imaging::Bitmap> TitleRasterizer::image(const TitleStyle& style, double W, double H, double scale) {
    if (!std::isfinite(W) || !std::isfinite(H) || !(scale > 0)) return std::nullopt;
    // Fonts exist only in a GUI application.
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return std::nullopt;
    const auto size = canvasSize(W, H, scale);
    if (!size) return std::nullopt;
    QImage canvas(size->first, size->second, QImage::Format_RGBA8888_Premultiplied);
    if (canvas.isNull()) return std::nullopt;
    canvas.fill(Qt::transparent);
    // 72 dots per inch, so that a point of the title's size is one pixel of the frame.
    canvas.setDotsPerMeterX(2835);
    canvas.setDotsPerMeterY(2835);

    QFont font = TitleFonts::font(style.fontName);
    if (style.fontSize > 0 && std::isfinite(style.fontSize)) font.setPointSizeF(style.fontSize);
    // Outlines as designed: hinting would fit the strokes to the pixels of each size differently.
    font.setHintingPreference(QFont::PreferNoHinting);
    const QColor color = fromHex(style.colorHex);

    QTextOption option(horizontal(style.alignment));
    // Words wrap at the box width; a word wider than the box breaks inside it rather than running
    // past the margin.
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    QString text = style.text.empty() ? QStringLiteral(" ") : QString::fromStdString(style.text);
    // A text layout breaks lines only at line separators; typed line breaks become those.
    text.replace(QStringLiteral("\r\n"), QString(QChar::LineSeparator));
    text.replace(QChar('\r'), QChar::LineSeparator);
    text.replace(QChar('\n'), QChar::LineSeparator);

    const double m = 0.08 * W;
    const double bw = std::max(W - 2 * m, 8.0);
    QTextLayout layout(text, font, &canvas);
    layout.setTextOption(option);
    layout.beginLayout();
    double suggested = 0;
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        // Lines stand a full line spacing apart: the font's leading as well as its ascent and descent.
        line.setLeadingIncluded(true);
        line.setLineWidth(bw);
        line.setPosition(QPointF(0, suggested));
        suggested += line.height();
    }
    layout.endLayout();

    const double bh = std::min(H - m, suggested);
    double y = m; // bottom edge, measured upwards from the bottom of the picture
    switch (style.vertical) {
    case TitleVertical::top: y = H - m - bh >= m ? H - m - bh : m; break;
    case TitleVertical::center: y = (H - bh) * 0.5 >= m ? (H - bh) * 0.5 : m; break;
    case TitleVertical::bottom: y = m; break;
    }
    const double boxHeight = std::max(bh, 1.0);
    const double top = H - (y + boxHeight); // in the canvas's y-down coordinates

    QPainter painter(&canvas);
    // Laid out on the frame and drawn scaled, so that every size breaks and places the lines alike.
    if (!drawnAtFrameSize(W, H, scale)) painter.scale(size->first / W, size->second / H);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(color);
    // Only the lines that fit the box are drawn, whole.
    for (int i = 0; i < layout.lineCount(); ++i) {
        const QTextLine line = layout.lineAt(i);
        if (line.y() + line.height() > boxHeight + 1e-6) break;
        line.draw(&painter, QPointF(m, top));
    }
    painter.end();
    return toBitmap(canvas);
}

} // namespace osterveil
