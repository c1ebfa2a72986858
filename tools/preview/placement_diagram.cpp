#include "tools/preview/placement_diagram.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace lightvol_preview {

namespace {

struct Colour {
    uint8_t r, g, b;
};

constexpr Colour kGrid{222, 222, 222};
constexpr Colour kAxis{150, 150, 150};
constexpr Colour kVolumeFill{214, 228, 250};
constexpr Colour kVolumeLine{40, 90, 200};
constexpr Colour kTexelPoint{20, 40, 120};
constexpr Colour kRequested{235, 120, 20};
constexpr Colour kScaled{90, 90, 90};
constexpr Colour kFocus{200, 25, 25};
constexpr Colour kText{60, 60, 60};

// Margins around the plot: numbers go to the left and below.
constexpr int32_t kLeft = 44;
constexpr int32_t kBottom = 20;
constexpr int32_t kPad = 10;

// Glyphs of 3 x 5 pixels, one row per entry, the high bit at the left.
struct Glyph {
    char c;
    uint8_t rows[5];
};
constexpr Glyph kGlyphs[] = {
    {'0', {7, 5, 5, 5, 7}}, {'1', {2, 6, 2, 2, 7}}, {'2', {7, 1, 7, 4, 7}}, {'3', {7, 1, 7, 1, 7}},
    {'4', {5, 5, 7, 1, 1}}, {'5', {7, 4, 7, 1, 7}}, {'6', {7, 4, 7, 5, 7}}, {'7', {7, 1, 1, 1, 1}},
    {'8', {7, 5, 7, 5, 7}}, {'9', {7, 5, 7, 1, 7}}, {'-', {0, 0, 7, 0, 0}}, {'.', {0, 0, 0, 0, 2}},
};
constexpr int32_t kGlyphScale = 2;
constexpr int32_t kAdvance = 4 * kGlyphScale;

class Canvas {
public:
    explicit Canvas(RgbImage& image) : image_(image) {}

    void put(int64_t x, int64_t y, Colour c) {
        if (x < 0 || y < 0 || x >= image_.width || y >= image_.height) return;
        uint8_t* p = &image_.rgb[(static_cast<size_t>(y) * image_.width + x) * 3];
        p[0] = c.r;
        p[1] = c.g;
        p[2] = c.b;
    }

    void fill(int64_t x0, int64_t y0, int64_t x1, int64_t y1, Colour c) {
        for (int64_t y = std::max<int64_t>(y0, 0); y <= std::min<int64_t>(y1, image_.height - 1);
             ++y)
            for (int64_t x = std::max<int64_t>(x0, 0); x <= std::min<int64_t>(x1, image_.width - 1);
                 ++x)
                put(x, y, c);
    }

    // A line `thickness` pixels wide; dashes of `dash` pixels when dash > 0.
    void line(double xa, double ya, double xb, double yb, Colour c, int32_t thickness,
              int32_t dash = 0) {
        const double length = std::hypot(xb - xa, yb - ya);
        const int64_t steps = std::max<int64_t>(1, static_cast<int64_t>(std::ceil(length * 2)));
        for (int64_t s = 0; s <= steps; ++s) {
            const double t = static_cast<double>(s) / static_cast<double>(steps);
            if (dash > 0 && static_cast<int64_t>(t * length / dash) % 2 == 1) continue;
            const int64_t x = std::lround(xa + (xb - xa) * t - (thickness - 1) * 0.5);
            const int64_t y = std::lround(ya + (yb - ya) * t - (thickness - 1) * 0.5);
            fill(x, y, x + thickness - 1, y + thickness - 1, c);
        }
    }

    void rect(double xa, double ya, double xb, double yb, Colour c, int32_t thickness,
              int32_t dash = 0) {
        line(xa, ya, xb, ya, c, thickness, dash);
        line(xb, ya, xb, yb, c, thickness, dash);
        line(xb, yb, xa, yb, c, thickness, dash);
        line(xa, yb, xa, ya, c, thickness, dash);
    }

    static int32_t text_width(const char* text) {
        return static_cast<int32_t>(std::strlen(text)) * kAdvance - kGlyphScale;
    }

    // Text whose top-left corner is (x, y).
    void text(int64_t x, int64_t y, const char* text, Colour c) {
        for (const char* p = text; *p; ++p, x += kAdvance) {
            for (const Glyph& g : kGlyphs) {
                if (g.c != *p) continue;
                for (int32_t row = 0; row < 5; ++row)
                    for (int32_t col = 0; col < 3; ++col)
                        if (g.rows[row] & (4 >> col))
                            fill(x + col * kGlyphScale, y + row * kGlyphScale,
                                 x + (col + 1) * kGlyphScale - 1, y + (row + 1) * kGlyphScale - 1,
                                 c);
            }
        }
    }

private:
    RgbImage& image_;
};

// The box scaled about the focus to `cells` x cell_size on one axis, as
// placement does before it snaps.
void scaled_axis(float box_lo, float box_hi, float focus, int32_t cells, float cell_size, float& lo,
                 float& hi) {
    const float s = static_cast<float>(cells) * cell_size / (box_hi - box_lo);
    lo = (box_lo - focus) * s + focus;
    hi = (box_hi - focus) * s + focus;
}

void format_number(double v, char* out, size_t size) {
    std::snprintf(out, size, "%.4g", std::fabs(v) < 1e-9 ? 0.0 : v);
}

}  // namespace

PlacementWindow placement_window(const SceneFrame& frame, const LightMapInfo& info, int32_t width,
                                 int32_t height, float cell_size, int32_t pixels_per_cell) {
    const double cell = cell_size;
    const double vx0 = info.origin.x, vy1 = info.origin.y;
    const double vx1 = vx0 + width * cell, vy0 = vy1 - height * cell;
    float sx0, sx1, sy0, sy1;
    scaled_axis(frame.box_min.x, frame.box_max.x, frame.focus.x, width, cell_size, sx0, sx1);
    scaled_axis(frame.box_min.y, frame.box_max.y, frame.focus.y, height, cell_size, sy0, sy1);
    const double xs[] = {vx0, vx1, frame.box_min.x, frame.box_max.x, sx0, sx1, frame.focus.x};
    const double ys[] = {vy0, vy1, frame.box_min.y, frame.box_max.y, sy0, sy1, frame.focus.y};
    PlacementWindow w;
    w.x0 = std::floor(*std::min_element(std::begin(xs), std::end(xs)) / cell - 1) * cell;
    w.x1 = std::ceil(*std::max_element(std::begin(xs), std::end(xs)) / cell + 1) * cell;
    w.y0 = std::floor(*std::min_element(std::begin(ys), std::end(ys)) / cell - 1) * cell;
    w.y1 = std::ceil(*std::max_element(std::begin(ys), std::end(ys)) / cell + 1) * cell;
    const double cells_x = std::round((w.x1 - w.x0) / cell);
    const double cells_y = std::round((w.y1 - w.y0) / cell);
    // Not-a-number placements give no picture rather than an enormous one.
    if (!(cells_x > 0 && cells_y > 0 && cells_x < 1e6 && cells_y < 1e6)) return {};
    w.width = static_cast<int64_t>(cells_x) * pixels_per_cell + kLeft + kPad + 1;
    w.height = static_cast<int64_t>(cells_y) * pixels_per_cell + kBottom + kPad + 1;
    return w;
}

RgbImage placement_diagram(const SceneFrame& frame, const LightMapInfo& info, int32_t width,
                           int32_t height, float cell_size, int32_t pixels_per_cell) {
    const PlacementWindow w =
        placement_window(frame, info, width, height, cell_size, pixels_per_cell);
    RgbImage image;
    image.width = static_cast<int32_t>(w.width);
    image.height = static_cast<int32_t>(w.height);
    image.rgb.assign(static_cast<size_t>(image.width) * image.height * 3, 255);
    if (w.width == 0) return image;
    Canvas canvas(image);
    const double cell = cell_size;
    const double ppc = pixels_per_cell;
    auto px = [&](double x) { return kLeft + (x - w.x0) / cell * ppc; };
    auto py = [&](double y) { return kPad + (w.y1 - y) / cell * ppc; };
    const int64_t cells_x = std::lround((w.x1 - w.x0) / cell);
    const int64_t cells_y = std::lround((w.y1 - w.y0) / cell);

    // The placed volume's area first, the grid over it.
    const double vx0 = info.origin.x, vy1 = info.origin.y;
    const double vx1 = vx0 + width * cell, vy0 = vy1 - height * cell;
    canvas.fill(std::lround(px(vx0)), std::lround(py(vy1)), std::lround(px(vx1)),
                std::lround(py(vy0)), kVolumeFill);
    for (int64_t k = 0; k <= cells_x; ++k) {
        const double x = w.x0 + static_cast<double>(k) * cell;
        const bool axis = std::fabs(x) < cell * 1e-3;
        canvas.line(px(x), py(w.y0), px(x), py(w.y1), axis ? kAxis : kGrid, 1);
    }
    for (int64_t k = 0; k <= cells_y; ++k) {
        const double y = w.y0 + static_cast<double>(k) * cell;
        const bool axis = std::fabs(y) < cell * 1e-3;
        canvas.line(px(w.x0), py(y), px(w.x1), py(y), axis ? kAxis : kGrid, 1);
    }

    // World coordinates of grid lines, spaced at least 40 pixels apart.
    const int64_t every = std::max<int64_t>(1, static_cast<int64_t>(std::ceil(40.0 / ppc)));
    char number[32];
    for (int64_t k = 0; k <= cells_x; ++k) {
        const int64_t grid_index = std::llround(w.x0 / cell) + k;
        if (grid_index % every != 0) continue;
        format_number(static_cast<double>(grid_index) * cell, number, sizeof number);
        const double x = px(w.x0 + static_cast<double>(k) * cell);
        canvas.text(std::lround(x - Canvas::text_width(number) / 2.0), image.height - kBottom + 6,
                    number, kText);
    }
    for (int64_t k = 0; k <= cells_y; ++k) {
        const int64_t grid_index = std::llround(w.y0 / cell) + k;
        if (grid_index % every != 0) continue;
        format_number(static_cast<double>(grid_index) * cell, number, sizeof number);
        const double y = py(w.y0 + static_cast<double>(k) * cell);
        canvas.text(kLeft - 6 - Canvas::text_width(number), std::lround(y - 5), number, kText);
    }

    // The requested box, and the same box scaled about the focus.
    canvas.rect(px(frame.box_min.x), py(frame.box_min.y), px(frame.box_max.x), py(frame.box_max.y),
                kRequested, 3);
    float sx0, sx1, sy0, sy1;
    scaled_axis(frame.box_min.x, frame.box_max.x, frame.focus.x, width, cell_size, sx0, sx1);
    scaled_axis(frame.box_min.y, frame.box_max.y, frame.focus.y, height, cell_size, sy0, sy1);
    canvas.rect(px(sx0), py(sy0), px(sx1), py(sy1), kScaled, 2, 6);

    // The placed volume's outline and the points of its texels.
    canvas.rect(px(vx0), py(vy0), px(vx1), py(vy1), kVolumeLine, 2);
    const int64_t dot = std::max<int64_t>(1, pixels_per_cell / 12);
    for (int32_t j = 0; j < height; ++j)
        for (int32_t i = 0; i < width; ++i) {
            const int64_t x = std::lround(px(vx0 + i * cell));
            const int64_t y = std::lround(py(vy1 - j * cell));
            canvas.fill(x - dot, y - dot, x + dot, y + dot, kTexelPoint);
        }

    // The focus, and an arrow along the movement's signs.
    const double fx = px(frame.focus.x), fy = py(frame.focus.y);
    const double arm = std::max(4.0, ppc * 0.3);
    canvas.line(fx - arm, fy - arm, fx + arm, fy + arm, kFocus, 3);
    canvas.line(fx - arm, fy + arm, fx + arm, fy - arm, kFocus, 3);
    const double mx = (frame.movement[0] > 0) - (frame.movement[0] < 0);
    const double my = (frame.movement[1] > 0) - (frame.movement[1] < 0);
    if (mx != 0 || my != 0) {
        const double n = std::hypot(mx, my);
        const double dx = mx / n, dy = -my / n;  // picture y grows downwards
        const double len = std::max(24.0, ppc * 1.5);
        const double tx = fx + dx * len, ty = fy + dy * len;
        canvas.line(fx, fy, tx, ty, kFocus, 3);
        const double head = std::max(8.0, ppc * 0.4);
        for (double side : {-1.0, 1.0}) {
            const double c = std::cos(2.6), s = std::sin(2.6) * side;
            canvas.line(tx, ty, tx + (dx * c - dy * s) * head, ty + (dx * s + dy * c) * head,
                        kFocus, 3);
        }
    }
    return image;
}

}  // namespace lightvol_preview
