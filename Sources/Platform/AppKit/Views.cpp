#include "Platform/AppKit/Views.hpp"

namespace appkit {

CALayer& NSView::makeLayerBacked() {
    wantsLayer = true;
    if (!layer) {
        layer = std::make_shared<CALayer>();
        layer->frame = NSRect(0, 0, frame.size.width, frame.size.height);
    }
    return *layer;
}

}  // namespace appkit
