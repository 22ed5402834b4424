#pragma once

#include <QColor>
#include <QRectF>

class QPainter;

// The bin's small pictograms, drawn with lines in one colour, centred in the given box.
namespace osterveil::BinSymbols {

enum class Symbol { film, waveform, photo, warning, plus, listBullet, grid };

void draw(QPainter& painter, Symbol symbol, const QRectF& box, const QColor& color);

} // namespace osterveil::BinSymbols
