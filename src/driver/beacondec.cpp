// beacondec: decodes the PI4 beacon frames of one WAV recording.
#include <cstdio>

#include "audio/audio.hpp"
#include "driver/cmdline.hpp"

int main(int argc, char** argv) {
    using namespace beacon;
    RunSettings settings;
    const int scan = scan_command_line(argc, argv, settings, stdout, stderr);
    if (scan != SCAN_CONTINUE) return scan;
    fill_timestamp(settings);

    wav_data wav;
    if (wav_read(settings.wav_path, wav) != 0) {
        std::fprintf(stderr, "beacondec: failed to read '%s'\n", settings.wav_path);
        return 1;
    }
    wav_free(wav);
    return 1;
}
