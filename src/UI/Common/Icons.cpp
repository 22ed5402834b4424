#include "UI/Common/Icons.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QStandardPaths>

namespace osterveil::icons {

namespace {

// Pixmaps for the sizes the controls use, at one and two device pixels a point.
constexpr int kSides[] = {14, 16, 28, 32};

void paint(QPixmap& pixmap, const QColor& colour) {
    QPainter p(&pixmap);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(pixmap.rect(), colour);
}

} // namespace

void useSystemTheme() {
    QStringList paths = QIcon::themeSearchPaths();
    const QStringList system = QStandardPaths::locateAll(
        QStandardPaths::GenericDataLocation, QStringLiteral("icons"), QStandardPaths::LocateDirectory);
    for (const QString& folder : system)
        if (!paths.contains(folder)) paths.append(folder);
    QIcon::setThemeSearchPaths(paths);
    const QString chosen = QIcon::themeName();
    if (chosen.isEmpty() || chosen == QLatin1String("hicolor"))
        QIcon::setThemeName(QStringLiteral("Adwaita"));
}

QIcon symbol(const QString& name, const QColor& colour, QStyle::StandardPixmap fallback,
             const QStyle* style) {
    if (!QIcon::hasThemeIcon(name)) return style->standardIcon(fallback);
    const QIcon source = QIcon::fromTheme(name);
    QIcon icon;
    for (int side : kSides) {
        QPixmap pixmap = source.pixmap(QSize(side, side), 1.0);
        if (pixmap.isNull()) continue;
        paint(pixmap, colour);
        icon.addPixmap(pixmap);
    }
    return icon;
}

QIcon moveArrows(const QColor& colour) {
    QIcon icon;
    for (int side : kSides) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        const double s = side / 16.0;
        const QPointF c(side / 2.0, side / 2.0);
        p.setPen(QPen(colour, 1.4 * s, Qt::SolidLine, Qt::FlatCap));
        p.drawLine(QPointF(c.x(), 3 * s), QPointF(c.x(), side - 3 * s));
        p.drawLine(QPointF(3 * s, c.y()), QPointF(side - 3 * s, c.y()));
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        // One head drawn pointing up, turned to each side.
        for (int quarter = 0; quarter < 4; ++quarter) {
            p.save();
            p.translate(c);
            p.rotate(90.0 * quarter);
            QPainterPath head;
            head.moveTo(0, -7.5 * s);
            head.lineTo(3 * s, -4 * s);
            head.lineTo(-3 * s, -4 * s);
            head.closeSubpath();
            p.drawPath(head);
            p.restore();
        }
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace osterveil::icons
