// What beaconscan decodes, in the order its records come out: the paths as
// given, each directory replaced by the WAV files of its tree in sorted
// order, and "-" for standard input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace beacon {

struct ScanInput {
    enum class Kind {
        file,  // a path to read (it may turn out not to exist)
        standard_input,
        bad_directory,  // a directory whose listing failed; `error` says why
    };
    Kind kind = Kind::file;
    std::string path;         // as given, or joined onto the directory given; "-" for stdin
    std::string error;        // for bad_directory
    std::uint64_t bytes = 0;  // file size where known, for progress estimates
};

// True for names that end in ".wav", in any case.
bool has_wav_extension(const std::string& name);

// Expands the command line's paths. A path that names a directory (or a
// link to one) is searched through its whole tree for regular files (or
// links to them) named *.wav; links to directories inside the tree are not
// followed. The files of one directory tree come out sorted by path,
// component by component, in byte order. Every other path is kept as it is,
// so that a missing file is reported when it is read.
std::vector<ScanInput> find_inputs(const std::vector<std::string>& paths);

}  // namespace beacon
