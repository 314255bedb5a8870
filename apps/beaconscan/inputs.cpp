#include "beaconscan/inputs.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace beacon {
namespace {

namespace fs = std::filesystem;

std::uint64_t size_or_zero(const fs::path& p) {
    std::error_code ec;
    const std::uintmax_t n = fs::file_size(p, ec);
    return ec ? 0 : static_cast<std::uint64_t>(n);
}

// Adds the WAV files of the tree below `dir` to `files`, and a failed
// listing of it or of any directory inside to `bad`.
void walk(const fs::path& dir, std::vector<fs::path>& files,
          std::vector<std::pair<fs::path, std::string>>& bad) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    for (const fs::directory_iterator end; !ec && it != end; it.increment(ec)) {
        const fs::directory_entry& e = *it;
        std::error_code type_ec;
        if (e.is_symlink(type_ec)) {
            // Links to files count; links to directories could make loops.
            if (e.is_regular_file(type_ec) && has_wav_extension(e.path().filename().string()))
                files.push_back(e.path());
        } else if (e.is_directory(type_ec)) {
            walk(e.path(), files, bad);
        } else if (e.is_regular_file(type_ec) && has_wav_extension(e.path().filename().string())) {
            files.push_back(e.path());
        }
    }
    if (ec) bad.emplace_back(dir, ec.message());
}

}  // namespace

bool has_wav_extension(const std::string& name) {
    if (name.size() < 4) return false;
    std::string ext = name.substr(name.size() - 4);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return ext == ".wav";
}

std::vector<ScanInput> find_inputs(const std::vector<std::string>& paths) {
    std::vector<ScanInput> inputs;
    for (const std::string& given : paths) {
        if (given == "-") {
            inputs.push_back({ScanInput::Kind::standard_input, given, {}, 0});
            continue;
        }
        std::error_code ec;
        if (!fs::is_directory(given, ec)) {
            inputs.push_back({ScanInput::Kind::file, given, {}, size_or_zero(given)});
            continue;
        }
        std::vector<fs::path> files;
        std::vector<std::pair<fs::path, std::string>> bad;
        walk(given, files, bad);
        // A directory that could not be listed is reported where its files
        // would have come.
        std::vector<ScanInput> found;
        for (const fs::path& f : files)
            found.push_back({ScanInput::Kind::file, f.string(), {}, size_or_zero(f)});
        for (const auto& [dir, why] : bad)
            found.push_back({ScanInput::Kind::bad_directory, dir.string(), why, 0});
        std::stable_sort(found.begin(), found.end(), [](const ScanInput& a, const ScanInput& b) {
            return fs::path(a.path) < fs::path(b.path);
        });
        inputs.insert(inputs.end(), found.begin(), found.end());
    }
    return inputs;
}

}  // namespace beacon
