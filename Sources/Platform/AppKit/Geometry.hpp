#pragma once
// Points, sizes and rectangles in points, origin at the bottom left as the platform counts them.
namespace appkit {

using CGFloat = double;

struct NSPoint {
    CGFloat x = 0;
    CGFloat y = 0;
    bool operator==(const NSPoint&) const = default;
};

struct NSSize {
    CGFloat width = 0;
    CGFloat height = 0;
    bool operator==(const NSSize&) const = default;
};

struct NSRect {
    NSPoint origin;
    NSSize size;
    NSRect() = default;
    NSRect(CGFloat x, CGFloat y, CGFloat width, CGFloat height) : origin{x, y}, size{width, height} {}
    bool operator==(const NSRect&) const = default;
};

// A grey by white level (0 black, 1 white) and alpha; the only colours the system draws with.
struct NSColor {
    CGFloat white = 0;
    CGFloat alpha = 0;
    static NSColor clear() { return {0, 0}; }
    static NSColor whiteColor() { return {1, 1}; }
    NSColor withAlphaComponent(CGFloat a) const { return {white, a}; }
    bool operator==(const NSColor&) const = default;
};

}  // namespace appkit
