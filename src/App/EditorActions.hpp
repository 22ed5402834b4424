#pragma once

#include <functional>

namespace osterveil {

// What the menus may do to one editor window: one closure per menu command, built by the window over
// its own model (`EditorWindow::actions`). The menus call exactly one member per item and never see
// the model. Copies share their closures.
struct EditorActions {
    using Action = std::function<void()>;

    Action importMedia;
    Action importPremiereXML;
    Action exportMedia;
    Action split;
    Action liftDelete;
    Action rippleDelete;
    Action addTitle;
    Action sequenceSettings;
    Action zoomIn;
    Action zoomOut;
    Action zoomFit;
    Action link;
    Action unlink;
    Action shortcuts;
    Action selectAll;
    Action insert;
    Action overwrite;
    Action ripplePrevious;
    Action rippleNext;
    Action addMarker;
    Action nextMarker;
    Action previousMarker;
    Action nest;
    Action slipLeft;
    Action slipRight;
    Action slideLeft;
    Action slideRight;
    Action rollLeft;
    Action rollRight;
};

} // namespace osterveil
