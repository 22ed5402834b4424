#pragma once

#include <QColor>
#include <QIcon>
#include <QStyle>

// The controls' glyphs: monochrome symbols of the installed freedesktop icon theme, painted in the
// colour the control asks for, as the editor's palette wants them on its dark panels.
namespace osterveil::icons {

// Looks for themes in the system's data folders too (some platform plugins name none) and takes
// Adwaita when the platform chooses no theme of its own.
void useSystemTheme();

// The theme's `name` glyph (a "-symbolic" one: a single shape on transparency) in `colour`; the
// style's standard icon, as it is, where the theme has no such glyph.
QIcon symbol(const QString& name, const QColor& colour, QStyle::StandardPixmap fallback, const QStyle* style);

// Four arrows pointing out from a cross, for moving things about: no theme carries one.
QIcon moveArrows(const QColor& colour);

} // namespace osterveil::icons
