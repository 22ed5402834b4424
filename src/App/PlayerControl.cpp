#include "App/PlayerControl.hpp"

namespace osterveil {

PlayerItem PlayerItem::composition(std::shared_ptr<const CompositionBuild> build) {
    PlayerItem item;
    item.build_ = std::move(build);
    return item;
}

PlayerItem PlayerItem::mediaFile(std::filesystem::path file) {
    PlayerItem item;
    item.file_ = std::move(file);
    return item;
}

const media::PlayerFrame& PlayerControl::currentFrame() const {
    static const media::PlayerFrame none;
    return none;
}

} // namespace osterveil
