// Headerless input: the raw reader is a frame reader on the opened descriptor.
#include "stream/pcm.hpp"

namespace beacon::stream {

std::optional<RawEncoding> parse_raw_encoding(std::string_view name) {
    if (name == "s16le") return RawEncoding::s16le;
    if (name == "s24le") return RawEncoding::s24le;
    if (name == "s32le") return RawEncoding::s32le;
    if (name == "f32le") return RawEncoding::f32le;
    return std::nullopt;
}

Opened<Reader> open_raw(const std::string& path, RawEncoding enc, int rate, int channels) {
    Opened<Reader> r;
    if (rate <= 0 || channels <= 0 || channels > 65535) {
        r.failure = Failure{"invalid raw format: " + std::to_string(rate) + " Hz, " +
                            std::to_string(channels) + " channels"};
        return r;
    }
    bool owned = false;
    const int fd = detail::open_input(path, owned, r.failure);
    if (fd < 0) return r;
    r.reader = std::make_unique<detail::FdFrameReader>(fd, owned, detail::sample_format(enc), rate,
                                                       channels);
    return r;
}

}  // namespace beacon::stream
