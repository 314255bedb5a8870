// What the waterfall and the chart share in drawing with cairo: a surface
// that ends as a PNG or SVG file (written through our own stream so that a
// failure can say why), text placed by an anchor, axis ticks at round
// values, and the colours.
#pragma once

#include <cairo.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "plot/plot.hpp"

namespace beacon::plot::detail {

enum class Format { png, svg };

// By the suffix, in any case: ".png" or ".svg"; none for anything else.
std::optional<Format> format_of(const std::string& path);

struct SurfaceFree {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextFree {
    void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceFree>;
using ContextPtr = std::unique_ptr<cairo_t, ContextFree>;

// A picture of width x height on a white ground, saved to `path` by finish().
class Canvas {
  public:
    // Check ok() before drawing: the SVG file is created here, and a surface
    // may fail for lack of memory.
    Canvas(Format format, const std::string& path, int width, int height);
    ~Canvas();
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    const PlotResult& status() const { return status_; }
    bool ok() const { return status_.ok(); }
    cairo_t* cr() const { return cr_.get(); }

    // A rectangle of a PNG canvas given as indices into `colours`
    // (0x00RRGGBB words), `width` indices a row from its top: laid over what
    // cairo drew when the file is written. Quicker than drawing it, as its
    // pixels need no search for their palette index; cairo must draw
    // nothing there.
    struct IndexedRect {
        int x = 0, y = 0, width = 0, height = 0;
        std::vector<std::uint8_t> indices;
        std::vector<std::uint32_t> colours;
    };
    void set_indexed(IndexedRect rect) { indexed_ = std::move(rect); }
    // Writes the file; the canvas is spent afterwards.
    PlotResult finish();

  private:
    struct Sink;
    Format format_;
    std::string path_;
    std::unique_ptr<Sink> sink_;
    SurfacePtr surface_;
    ContextPtr cr_;
    PlotResult status_;
    std::optional<IndexedRect> indexed_;
};

void set_colour(cairo_t* cr, const Rgb& c, double alpha = 1.0);

// Text anchored at (x, y): ax 0 left, 0.5 centre, 1 right; ay 0 top, 0.5
// middle, 1 baseline. Returns its advance width.
double text(cairo_t* cr, double x, double y, const std::string& s, double size, double ax,
            double ay, bool bold = false);
double text_width(cairo_t* cr, const std::string& s, double size, bool bold = false);

// Round values (1, 2 or 5 times a power of ten) from lo to hi, about
// `target` of them.
std::vector<double> nice_ticks(double lo, double hi, int target);
double nice_step(double span, int target);
// A tick value as text, with as many decimals as the step needs.
std::string tick_label(double value, double step);

}  // namespace beacon::plot::detail
