// The streaming resampler: pass-through at 12000 Hz, refused rates.
#include <random>

#include "stream/stream.hpp"
#include "stream_test_support.hpp"

namespace beacon::test {
namespace {

TEST(Resampler, PassesTwelveKilohertzThroughBitForBit) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> in(10007);
    for (double& x : in) x = u(rng);
    stream::Resampler r(12000);
    std::vector<double> out;
    for (std::size_t at = 0; at < in.size(); at += 1000) {
        const std::size_t n = std::min<std::size_t>(1000, in.size() - at);
        ASSERT_FALSE(r.process(std::span(in).subspan(at, n), out));
    }
    ASSERT_FALSE(r.finish(out));
    EXPECT_EQ(out, in);
    EXPECT_EQ(r.delay_out(), 0.0);
}

TEST(Resampler, RefusesRatesOutOfRange) {
    for (int rate : {0, 7999, 192001}) {
        stream::Resampler r(rate);
        std::vector<double> out;
        const std::vector<double> in(10, 0.0);
        const auto f = r.process(in, out);
        ASSERT_TRUE(f);
        EXPECT_EQ(f->text, "unsupported sample rate " + std::to_string(rate) +
                               " Hz (8000 to 192000 Hz)");
        EXPECT_TRUE(out.empty());
    }
}

}  // namespace
}  // namespace beacon::test
