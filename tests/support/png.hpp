// Reading the pictures back: a PNG through cairo, its pixels' colours and
// brightness; and cairo's caches freed when the tests end.
#pragma once

#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "plot/plot.hpp"

namespace beacon::test {

class Png {
  public:
    explicit Png(const std::string& path)
        : surface_(cairo_image_surface_create_from_png(path.c_str()), cairo_surface_destroy) {}
    bool ok() const { return cairo_surface_status(surface_.get()) == CAIRO_STATUS_SUCCESS; }
    int width() const { return cairo_image_surface_get_width(surface_.get()); }
    int height() const { return cairo_image_surface_get_height(surface_.get()); }
    plot::Rgb at(double x, double y) const {
        const int xi = static_cast<int>(std::floor(x)), yi = static_cast<int>(std::floor(y));
        const unsigned char* row = cairo_image_surface_get_data(surface_.get()) +
                                   yi * cairo_image_surface_get_stride(surface_.get());
        const std::uint32_t p = reinterpret_cast<const std::uint32_t*>(row)[xi];
        return {((p >> 16) & 0xff) / 255.0, ((p >> 8) & 0xff) / 255.0, (p & 0xff) / 255.0};
    }

  private:
    std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)> surface_;
};

// After the last test, what cairo and fontconfig keep is freed, so that
// the leak checker of the sanitizer build sees nothing.
class ReleaseCaches : public testing::Environment {
  public:
    void TearDown() override { plot::release_caches(); }
};
inline testing::Environment* const release_caches_at_exit =
    testing::AddGlobalTestEnvironment(new ReleaseCaches);

inline double luminance(const plot::Rgb& c) {
    return 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b;
}

inline double distance(const plot::Rgb& a, const plot::Rgb& b) {
    return std::max({std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
}

}  // namespace beacon::test
