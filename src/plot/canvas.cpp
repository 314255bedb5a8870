#include "plot/canvas.hpp"

#include <cairo-svg.h>
#include <fontconfig/fontconfig.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace beacon::plot::detail {

std::optional<Format> format_of(const std::string& path) {
    const auto dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return std::nullopt;
    std::string suffix = path.substr(dot + 1);
    for (char& c : suffix)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (suffix == "png") return Format::png;
    if (suffix == "svg") return Format::svg;
    return std::nullopt;
}

// The file being written, under a temporary name until it is complete, so
// that a reader never sees half a picture; the first write error's errno.
struct Canvas::Sink {
    std::string part;
    std::FILE* file = nullptr;
    int error = 0;

    static cairo_status_t write(void* closure, const unsigned char* data, unsigned int length) {
        auto* s = static_cast<Sink*>(closure);
        if (s->error != 0) return CAIRO_STATUS_WRITE_ERROR;
        if (std::fwrite(data, 1, length, s->file) != length) {
            s->error = errno != 0 ? errno : EIO;
            return CAIRO_STATUS_WRITE_ERROR;
        }
        return CAIRO_STATUS_SUCCESS;
    }
    ~Sink() {
        if (file != nullptr) {
            std::fclose(file);
            std::remove(part.c_str());
        }
    }
};

namespace {

PlotResult failure(PlotStatus status, std::string detail) {
    return {status, std::move(detail)};
}

PlotResult cannot(const char* what, const std::string& path, int err) {
    return failure(PlotStatus::write_failed,
                   std::string("cannot ") + what + " '" + path + "': " + std::strerror(err));
}

// A colour with each channel rounded to `bits` bits (and widened back, so
// that black and white stay what they are).
std::uint32_t reduce(std::uint32_t c, int bits) {
    if (bits == 8) return c & 0xffffffu;
    const int drop = 8 - bits, top = (1 << bits) - 1;
    std::uint32_t out = 0;
    for (int shift = 16; shift >= 0; shift -= 8) {
        const int v = static_cast<int>((c >> shift) & 0xffu);
        const int q = std::min((v + (1 << (drop - 1))) >> drop, top);
        out |= static_cast<std::uint32_t>((q << drop) | (q >> (bits - drop))) << shift;
    }
    return out;
}

// The picture as palette indices, when it has at most 256 colours with each
// channel rounded to `bits` bits, `rect` (if any) laid over it. The
// waterfall's spectrogram is a dozen colours; what else there is are the
// anti-aliased edges of text and marks, for which 5 bits a channel are
// plenty. One byte a pixel instead of three makes the file smaller and its
// compression several times quicker.
bool to_palette(cairo_surface_t* surface, const Canvas::IndexedRect* rect, int bits,
                std::vector<std::uint8_t>& indices, std::vector<std::uint8_t>& palette) {
    const int w = cairo_image_surface_get_width(surface);
    const int h = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    constexpr std::size_t SLOTS = 1024;  // open addressing, 256 colours at most
    constexpr std::uint32_t EMPTY = 0xffffffffu;
    std::vector<std::uint32_t> key(SLOTS, EMPTY);
    std::vector<std::uint8_t> index(SLOTS);
    indices.resize(static_cast<std::size_t>(w) * h);
    palette.clear();
    int colours = 0;
    // The palette index of a colour as drawn, added when new; false when the
    // palette is full.
    auto find = [&](std::uint32_t raw, std::uint8_t& out) {
        const std::uint32_t c = reduce(raw, bits);
        std::size_t slot = (c * 2654435761u) >> 22;
        while (key[slot] != c && key[slot] != EMPTY)
            slot = (slot + 1) % SLOTS;
        if (key[slot] != c) {
            if (colours == 256) return false;
            key[slot] = c;
            index[slot] = static_cast<std::uint8_t>(colours++);
            palette.insert(palette.end(),
                           {static_cast<std::uint8_t>(c >> 16), static_cast<std::uint8_t>(c >> 8),
                            static_cast<std::uint8_t>(c)});
        }
        out = index[slot];
        return true;
    };
    std::vector<std::uint8_t> rect_index;
    int rx0 = w, rx1 = w, ry0 = h, ry1 = h;  // the rectangle, clipped to the picture
    bool same_index = true;
    if (rect != nullptr) {
        rect_index.resize(rect->colours.size());
        for (std::size_t i = 0; i < rect->colours.size(); ++i)
            if (!find(rect->colours[i] & 0xffffffu, rect_index[i])) return false;
        // Its colours come first: their indices are the rectangle's own
        // unless rounding merged two.
        for (std::size_t i = 0; i < rect_index.size(); ++i)
            same_index = same_index && rect_index[i] == i;
        rx0 = std::clamp(rect->x, 0, w);
        rx1 = std::clamp(rect->x + rect->width, rx0, w);
        ry0 = std::clamp(rect->y, 0, h);
        ry1 = std::clamp(rect->y + rect->height, ry0, h);
    }
    std::uint32_t last = EMPTY;  // runs of one colour are the rule
    std::uint8_t last_index = 0;
    for (int y = 0; y < h; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(data + y * stride);
        std::uint8_t* out = indices.data() + static_cast<std::size_t>(y) * w;
        const bool in_rect = y >= ry0 && y < ry1;
        for (int x = 0; x < w; ++x) {
            if (in_rect && x == rx0) {
                const std::uint8_t* from = rect->indices.data() +
                                           static_cast<std::size_t>(y - rect->y) * rect->width +
                                           (rx0 - rect->x);
                if (same_index) {
                    std::memcpy(out + x, from, static_cast<std::size_t>(rx1 - x));
                    x = rx1;
                } else {
                    for (; x < rx1; ++x)
                        out[x] = rect_index[*from++];
                }
                if (x == w) break;
            }
            const std::uint32_t raw = row[x] & 0xffffffu;
            if (raw != last) {
                if (!find(raw, last_index)) return false;
                last = raw;
            }
            out[x] = last_index;
        }
    }
    return true;
}

// Paints the rectangle into the surface, for when the picture is written
// by cairo in full colour.
void paint_rect(cairo_surface_t* surface, const Canvas::IndexedRect& rect) {
    const int w = cairo_image_surface_get_width(surface);
    const int h = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    unsigned char* data = cairo_image_surface_get_data(surface);
    for (int y = std::max(rect.y, 0); y < std::min(rect.y + rect.height, h); ++y)
        for (int x = std::max(rect.x, 0); x < std::min(rect.x + rect.width, w); ++x)
            reinterpret_cast<std::uint32_t*>(data + y * stride)[x] =
                rect.colours[rect.indices[static_cast<std::size_t>(y - rect.y) * rect.width +
                                          (x - rect.x)]];
    cairo_surface_mark_dirty(surface);
}

// libpng reports errors by jumping back from its error handler; this one
// prints nothing (the default writes to stderr).
[[noreturn]] void png_failed(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void png_warned(png_structp, png_const_charp) {}

// Writes an 8-bit palette PNG, rows unfiltered and compressed with
// run-length matches only: the picture is mostly noise, which no deeper
// search compresses much better (measured: 7% fewer bytes at twice the
// time). Returns 0 or the errno of a failed write (EIO when unknown).
int write_indexed_png(std::FILE* file, int width, int height, const std::uint8_t* indices,
                      const std::vector<std::uint8_t>& palette) {
    png_color colours[256];
    const int n = static_cast<int>(palette.size() / 3);
    for (int i = 0; i < n; ++i)
        colours[i] = {palette[3 * i], palette[3 * i + 1], palette[3 * i + 2]};
    png_structp png =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_failed, png_warned);
    if (png == nullptr) return ENOMEM;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return ENOMEM;
    }
    errno = 0;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return errno != 0 ? errno : EIO;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_PLTE(png, info, colours, n);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_compression_strategy(png, Z_RLE);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y)
        png_write_row(png, const_cast<png_bytep>(indices + static_cast<std::size_t>(y) * width));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return 0;
}

PlotResult from_cairo(cairo_status_t st) {
    if (st == CAIRO_STATUS_NO_MEMORY) return failure(PlotStatus::out_of_memory, "out of memory");
    return failure(PlotStatus::bad_argument, std::string("cairo: ") + cairo_status_to_string(st));
}

}  // namespace

Canvas::Canvas(Format format, const std::string& path, int width, int height)
    : format_(format), path_(path), sink_(std::make_unique<Sink>()) {
    sink_->part = path + ".part";
    errno = 0;
    sink_->file = std::fopen(sink_->part.c_str(), "wb");
    if (sink_->file == nullptr) {
        status_ = cannot("create", path, errno != 0 ? errno : EIO);
        return;
    }
    if (format == Format::png)
        surface_.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
    else
        surface_.reset(
            cairo_svg_surface_create_for_stream(&Sink::write, sink_.get(), width, height));
    if (cairo_surface_status(surface_.get()) != CAIRO_STATUS_SUCCESS) {
        status_ = from_cairo(cairo_surface_status(surface_.get()));
        return;
    }
    cr_.reset(cairo_create(surface_.get()));
    if (cairo_status(cr_.get()) != CAIRO_STATUS_SUCCESS) {
        status_ = from_cairo(cairo_status(cr_.get()));
        return;
    }
    cairo_set_source_rgb(cr_.get(), 1, 1, 1);
    cairo_paint(cr_.get());
}

Canvas::~Canvas() = default;

PlotResult Canvas::finish() {
    if (!ok()) return status_;
    const cairo_status_t drawn = cairo_status(cr_.get());
    cr_.reset();
    if (drawn != CAIRO_STATUS_SUCCESS) return from_cairo(drawn);
    cairo_status_t st;
    if (format_ == Format::png) {
        cairo_surface_flush(surface_.get());
        std::vector<std::uint8_t> indices, palette;
        bool indexed = false;
        for (int bits : {8, 6, 5, 4})
            if (!indexed)
                indexed = to_palette(surface_.get(), indexed_ ? &*indexed_ : nullptr, bits, indices,
                                     palette);
        if (indexed) {
            const int err = write_indexed_png(
                sink_->file, cairo_image_surface_get_width(surface_.get()),
                cairo_image_surface_get_height(surface_.get()), indices.data(), palette);
            if (err != 0) {
                surface_.reset();
                return cannot("write", path_, err);
            }
            st = CAIRO_STATUS_SUCCESS;
        } else {
            if (indexed_) paint_rect(surface_.get(), *indexed_);
            st = cairo_surface_write_to_png_stream(surface_.get(), &Sink::write, sink_.get());
        }
    } else {
        cairo_surface_finish(surface_.get());  // the SVG is written out here
        st = cairo_surface_status(surface_.get());
    }
    surface_.reset();
    if (sink_->error != 0) return cannot("write", path_, sink_->error);
    if (st != CAIRO_STATUS_SUCCESS) return from_cairo(st);
    std::FILE* f = sink_->file;
    sink_->file = nullptr;
    errno = 0;
    if (std::fclose(f) != 0) {
        const int err = errno != 0 ? errno : EIO;
        std::remove(sink_->part.c_str());
        return cannot("write", path_, err);
    }
    if (std::rename(sink_->part.c_str(), path_.c_str()) != 0) {
        const int err = errno;
        std::remove(sink_->part.c_str());
        return cannot("create", path_, err);
    }
    return {};
}

void set_colour(cairo_t* cr, const Rgb& c, double alpha) {
    cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha);
}

namespace {
void select_font(cairo_t* cr, double size, bool bold) {
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
}
}  // namespace

double text_width(cairo_t* cr, const std::string& s, double size, bool bold) {
    select_font(cr, size, bold);
    cairo_text_extents_t e;
    cairo_text_extents(cr, s.c_str(), &e);
    return e.x_advance;
}

double text(cairo_t* cr, double x, double y, const std::string& s, double size, double ax,
            double ay, bool bold) {
    select_font(cr, size, bold);
    cairo_text_extents_t e;
    cairo_text_extents(cr, s.c_str(), &e);
    cairo_font_extents_t fe;
    cairo_font_extents(cr, &fe);
    // ay: 0 puts the capitals' top at y, 0.5 centres them, 1 sets the baseline.
    const double cap = fe.ascent * 0.72;
    cairo_move_to(cr, x - ax * e.x_advance, y + (1.0 - ay) * cap);
    cairo_show_text(cr, s.c_str());
    return e.x_advance;
}

double nice_step(double span, int target) {
    if (!(span > 0) || target < 1) return 1.0;
    const double raw = span / target;
    const double p = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * p >= raw) return m * p;
    return 10.0 * p;
}

std::vector<double> nice_ticks(double lo, double hi, int target) {
    std::vector<double> ticks;
    const double step = nice_step(hi - lo, target);
    for (double k = std::ceil(lo / step - 1e-9); k * step <= hi + 1e-9 * step; k += 1.0)
        ticks.push_back(k * step == 0.0 ? 0.0 : k * step);  // no "-0"
    return ticks;
}

std::string tick_label(double value, double step) {
    const int decimals = step >= 1.0 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", std::clamp(decimals, 0, 6), value);
    return buf;
}

}  // namespace beacon::plot::detail

namespace beacon::plot {

void release_caches() {
    cairo_debug_reset_static_data();
    FcFini();
}

}  // namespace beacon::plot
