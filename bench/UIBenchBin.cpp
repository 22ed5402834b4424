#include <benchmark/benchmark.h>

#include <QApplication>

#include "App/EditorModel.hpp"
#include "App/ProjectDocument.hpp"
#include "EditorModelTestAccess.hpp"
#include "FakePlayer.hpp"
#include "UI/Bin/MediaBinView.hpp"
#include "UI/Bin/ProjectPanel.hpp"

using namespace osterveil;

namespace {

// A bin of 1,000 media items, scrolled half-way, shown at a typical bin size.
struct BigBin {
    BigBin() {
        Project p = ProjectDocument::newProject();
        for (int i = 0; i < 1000; ++i) {
            MediaItem m{
                .id = Uuid::make(), .name = "Shot " + std::to_string(i) + ".mov", .duration = 4.0 + i % 30};
            m.codec = "H.264";
            m.path = "/nowhere/shot" + std::to_string(i) + ".mov";
            p.media.push_back(m);
        }
        document.setProject(p);
        model.followDocument(&document);
        QCoreApplication::processEvents();
        panel.resize(360, 600);
        panel.show();
        QCoreApplication::processEvents();
    }
    ProjectDocument document;
    EditorModel model{std::make_unique<testsupport::FakePlayer>(),
                      std::make_unique<testsupport::FakePlayer>()};
    ProjectPanel panel{model};
};

// One item's thumbnail arriving: the model's announcement, the panel's refresh and the repaint of what
// is in view. Arg: 1 for the icon view, 0 for the list.
void BM_BinRefreshAfterThumbnail(benchmark::State& state) {
    BigBin bin;
    bin.model.setProjectShowsIcons(state.range(0) == 1);
    QCoreApplication::processEvents();
    MediaBinView& view = *bin.panel.binView();
    view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum() / 2);
    const int shown = view.itemAt(view.viewport()->rect().center());
    const Uuid id = view.items()[std::size_t(std::max(shown, 0))].id;
    QImage thumb(480, 270, QImage::Format_RGB32);
    int hue = 0;
    for (auto _ : state) {
        thumb.fill(QColor::fromHsv(hue, 160, 160));
        hue = (hue + 37) % 360;
        EditorModelTestAccess{bin.model}.setThumbnail(id, thumb);
        QCoreApplication::processEvents();
        view.viewport()->repaint();
    }
}
BENCHMARK(BM_BinRefreshAfterThumbnail)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

} // namespace
