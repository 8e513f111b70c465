#include "Desktop/GtkWindowServer.hpp"

#include <cairo.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>

namespace desktop {

namespace {

GdkRectangle primaryMonitorGeometry() {
    GdkRectangle geometry{0, 0, 0, 0};
    GdkDisplay* display = gdk_display_get_default();
    if (!display) return geometry;
    GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
    if (!monitor && gdk_display_get_n_monitors(display) > 0) monitor = gdk_display_get_monitor(display, 0);
    if (monitor) gdk_monitor_get_geometry(monitor, &geometry);
    return geometry;
}

void roundedRectangle(cairo_t* cr, double x, double y, double width, double height, double radius) {
    radius = std::clamp(radius, 0.0, std::min(width, height) / 2);
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + width - radius, y + radius, radius, -M_PI / 2, 0);
    cairo_arc(cr, x + width - radius, y + height - radius, radius, 0, M_PI / 2);
    cairo_arc(cr, x + radius, y + height - radius, radius, M_PI / 2, M_PI);
    cairo_arc(cr, x + radius, y + radius, radius, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

// A layer in the coordinates of its parent (origin bottom-left), drawn into a parent of `parentHeight`.
void drawLayer(cairo_t* cr, const appkit::CALayer& layer, double originX, double originY, double parentHeight) {
    const double x = originX + layer.frame.origin.x;
    const double y = originY + parentHeight - layer.frame.origin.y - layer.frame.size.height;
    const double width = layer.frame.size.width, height = layer.frame.size.height;
    if (layer.backgroundColor) {
        roundedRectangle(cr, x, y, width, height, layer.cornerRadius);
        cairo_set_source_rgba(cr, layer.backgroundColor->white, layer.backgroundColor->white, layer.backgroundColor->white,
                              layer.backgroundColor->alpha);
        cairo_fill(cr);
    }
    for (const auto& sublayer : layer.sublayers) drawLayer(cr, *sublayer, x, y, height);
    if (layer.borderWidth > 0 && layer.borderColor) {
        const double inset = layer.borderWidth / 2;
        roundedRectangle(cr, x + inset, y + inset, width - 2 * inset, height - 2 * inset, layer.cornerRadius - inset);
        cairo_set_source_rgba(cr, layer.borderColor->white, layer.borderColor->white, layer.borderColor->white,
                              layer.borderColor->alpha);
        cairo_set_line_width(cr, layer.borderWidth);
        cairo_stroke(cr);
    }
}

void drawView(cairo_t* cr, const appkit::NSView& view, double originX, double originY, double parentHeight) {
    const double x = originX + view.frame.origin.x;
    const double y = originY + parentHeight - view.frame.origin.y - view.frame.size.height;
    if (auto* effect = dynamic_cast<const appkit::NSVisualEffectView*>(&view)) {
        // The heads-up material: a light frosted fill behind the content, so dark bars read well.
        const double radius = view.layer ? view.layer->cornerRadius : 0;
        roundedRectangle(cr, x, y, view.frame.size.width, view.frame.size.height, radius);
        cairo_set_source_rgba(cr, 0.93, 0.93, 0.93, effect->material == appkit::NSVisualEffectView::Material::hudWindow ? 0.88 : 0.95);
        cairo_fill(cr);
    }
    if (view.layer) {
        appkit::CALayer placed = *view.layer;
        placed.frame = appkit::NSRect(0, 0, view.frame.size.width, view.frame.size.height);
        drawLayer(cr, placed, x, y, view.frame.size.height);
    }
    for (const auto& subview : view.subviews) drawView(cr, *subview, x, y, view.frame.size.height);
}

class GtkPanel : public appkit::NSPanel {
public:
    GtkPanel(appkit::NSRect contentRect, appkit::NSWindowStyleMask styleMask, appkit::NSBackingStoreType backing, bool defer)
        : NSPanel(contentRect, styleMask, backing, defer) {
        // A popup window is override-redirect: no decoration, above the others, never focused.
        window_ = gtk_window_new(GTK_WINDOW_POPUP);
        g_object_ref_sink(window_);
        gtk_window_set_title(GTK_WINDOW(window_), "Quorvel");
        gtk_window_set_decorated(GTK_WINDOW(window_), FALSE);
        gtk_window_set_keep_above(GTK_WINDOW(window_), TRUE);
        gtk_window_set_accept_focus(GTK_WINDOW(window_), FALSE);
        gtk_window_set_skip_taskbar_hint(GTK_WINDOW(window_), TRUE);
        gtk_window_set_type_hint(GTK_WINDOW(window_), GDK_WINDOW_TYPE_HINT_NOTIFICATION);
        gtk_widget_set_app_paintable(window_, TRUE);
        GdkScreen* screen = gtk_widget_get_screen(window_);
        if (GdkVisual* rgba = gdk_screen_get_rgba_visual(screen); rgba && gdk_screen_is_composited(screen))
            gtk_widget_set_visual(window_, rgba);
        gtk_window_set_default_size(GTK_WINDOW(window_), static_cast<gint>(contentRect.size.width),
                                    static_cast<gint>(contentRect.size.height));
        gtk_widget_set_size_request(window_, static_cast<gint>(contentRect.size.width), static_cast<gint>(contentRect.size.height));
        g_signal_connect(window_, "draw", G_CALLBACK(draw), this);
        g_signal_connect(window_, "realize", G_CALLBACK(realized), this);
        g_signal_connect(window_, "size-allocate", G_CALLBACK(shape), this);
    }

    ~GtkPanel() override {
        stopRedraw();
        gtk_widget_destroy(window_);
        g_object_unref(window_);
    }

    void orderFrontRegardless() override {
        NSPanel::orderFrontRegardless();
        const GdkRectangle monitor = primaryMonitorGeometry();
        // The platform counts y from the bottom of the screen.
        const int x = monitor.x + static_cast<int>(std::lround(contentRect.origin.x));
        const int y = monitor.y + monitor.height - static_cast<int>(std::lround(contentRect.origin.y + contentRect.size.height));
        gtk_window_move(GTK_WINDOW(window_), x, y);
        gtk_widget_show(window_);
        if (GdkWindow* native = gtk_widget_get_window(window_)) gdk_window_raise(native);
        startRedraw();
    }

    void orderOut() override {
        NSPanel::orderOut();
        stopRedraw();
        gtk_widget_hide(window_);
    }

private:
    static void realized(GtkWidget* widget, gpointer) {
        // Clicks fall through to whatever lies below.
        cairo_region_t* nothing = cairo_region_create();
        gtk_widget_input_shape_combine_region(widget, nothing);
        cairo_region_destroy(nothing);
    }

    // Without a compositor nothing is translucent: the window itself takes the content's rounded shape.
    static void shape(GtkWidget* widget, GdkRectangle*, gpointer data) {
        auto* self = static_cast<GtkPanel*>(data);
        if (gdk_screen_is_composited(gtk_widget_get_screen(widget)) || !self->contentView || !self->contentView->layer) {
            gtk_widget_shape_combine_region(widget, nullptr);
            return;
        }
        const int width = static_cast<int>(self->contentRect.size.width), height = static_cast<int>(self->contentRect.size.height);
        cairo_surface_t* mask = cairo_image_surface_create(CAIRO_FORMAT_A1, width, height);
        cairo_t* cr = cairo_create(mask);
        roundedRectangle(cr, 0, 0, width, height, self->contentView->layer->cornerRadius);
        cairo_fill(cr);
        cairo_destroy(cr);
        cairo_region_t* region = gdk_cairo_region_create_from_surface(mask);
        gtk_widget_shape_combine_region(widget, region);
        cairo_region_destroy(region);
        cairo_surface_destroy(mask);
    }

    static gboolean draw(GtkWidget* widget, cairo_t* cr, gpointer data) {
        auto* self = static_cast<GtkPanel*>(data);
        const bool translucent = gdk_screen_is_composited(gtk_widget_get_screen(widget));
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        if (translucent && !self->isOpaque)
            cairo_set_source_rgba(cr, 0, 0, 0, 0);
        else
            cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);  // without a compositor the corners cannot be clear
        cairo_paint(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
        if (self->contentView) {
            if (self->contentView->layer && self->contentView->layer->masksToBounds) {
                roundedRectangle(cr, 0, 0, self->contentRect.size.width, self->contentRect.size.height,
                                 self->contentView->layer->cornerRadius);
                cairo_clip(cr);
            }
            drawView(cr, *self->contentView, 0, 0, self->contentRect.size.height);
        }
        return TRUE;
    }

    void startRedraw() {
        if (redraw_) return;
        redraw_ = g_timeout_add(
            1000 / 30,
            [](gpointer data) -> gboolean {
                gtk_widget_queue_draw(static_cast<GtkPanel*>(data)->window_);
                return G_SOURCE_CONTINUE;
            },
            this);
    }

    void stopRedraw() {
        if (redraw_) g_source_remove(redraw_);
        redraw_ = 0;
    }

    GtkWidget* window_ = nullptr;
    guint redraw_ = 0;
};

}  // namespace

std::optional<appkit::NSScreen> GtkWindowServer::mainScreen() const {
    const GdkRectangle geometry = primaryMonitorGeometry();
    if (geometry.width <= 0 || geometry.height <= 0) return std::nullopt;
    return appkit::NSScreen{appkit::NSRect(0, 0, geometry.width, geometry.height)};
}

std::shared_ptr<appkit::NSPanel> GtkWindowServer::makePanel(appkit::NSRect contentRect, appkit::NSWindowStyleMask styleMask,
                                                            appkit::NSBackingStoreType backing, bool defer) {
    return std::make_shared<GtkPanel>(contentRect, styleMask, backing, defer);
}

}  // namespace desktop
