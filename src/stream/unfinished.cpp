// Readers still to come on this branch; they fail cleanly until then.
#include "stream/stream.hpp"

namespace beacon::stream {

Opened<Reader> open_audio_file(const std::string& path) {
    return {nullptr, Failure{"cannot read '" + path + "': WAV/FLAC input not built yet"}};
}

Opened<Reader> open_alsa(const std::string& device, int, int) {
    return {nullptr, Failure{"cannot open audio device '" + device + "': ALSA input not built yet"}};
}

}  // namespace beacon::stream
