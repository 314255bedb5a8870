// Which files beaconscan decodes, and in what order.
#include "beaconscan/inputs.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.hpp"

namespace beacon {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::vector<std::string> paths_of(const std::vector<ScanInput>& inputs) {
    std::vector<std::string> paths;
    for (const ScanInput& in : inputs)
        paths.push_back(in.path);
    return paths;
}

TEST(ScanFiles, DirectoryTreesAreSortedAndOnlyWavFilesTaken) {
    TempDir dir;
    const fs::path root = dir.path() / "rec";
    fs::create_directories(root / "b" / "deep");
    fs::create_directories(root / "a");
    fs::create_directories(root / "empty");
    for (const char* f : {"z.wav", "b.wav", "B.WAV", "a.Wav", "notes.txt", "wav", ".wav.bak",
                          "b/deep/2.wav", "b/1.wav", "a/x.wav", "b/deep/readme"})
        test::write_file((root / f).string(), test::Bytes(10 + std::string(f).size(), 0));
    // A link to a file counts; a link to a directory (here a loop) is not
    // followed; a directory named like a WAV file is still a directory.
    fs::create_symlink(root / "z.wav", root / "link.wav");
    fs::create_directory_symlink(root, root / "b" / "loop");
    fs::create_directories(root / "dir.wav");
    test::write_file((root / "dir.wav" / "in.wav").string(), test::Bytes(3, 0));

    const std::string r = root.string();
    const std::vector<ScanInput> inputs = find_inputs({r});
    EXPECT_EQ(paths_of(inputs),
              (std::vector<std::string>{r + "/B.WAV", r + "/a/x.wav", r + "/a.Wav", r + "/b/1.wav",
                                        r + "/b/deep/2.wav", r + "/b.wav", r + "/dir.wav/in.wav",
                                        r + "/link.wav", r + "/z.wav"}));
    for (const ScanInput& in : inputs) {
        EXPECT_EQ(in.kind, ScanInput::Kind::file) << in.path;
        // The size is known for the progress estimate.
        EXPECT_EQ(in.bytes, fs::file_size(in.path)) << in.path;
    }
    // A trailing slash gives the same files.
    EXPECT_EQ(paths_of(find_inputs({r + "/"})).size(), inputs.size());
}

TEST(ScanFiles, PathsKeepTheirOrderAndAreOtherwiseTakenAsGiven) {
    TempDir dir;
    fs::create_directories(dir.path() / "d");
    test::write_file(dir.file("d/2.wav"), test::Bytes(4, 0));
    test::write_file(dir.file("d/1.wav"), test::Bytes(4, 0));
    test::write_file(dir.file("notes.txt"), test::Bytes(4, 0));
    const std::vector<ScanInput> inputs = find_inputs(
        {dir.file("notes.txt"), dir.file("d"), "-", dir.file("missing.wav"), dir.file("d/2.wav")});
    // A file named on the command line is decoded whatever its name; a
    // missing one fails when it is read.
    EXPECT_EQ(paths_of(inputs), (std::vector<std::string>{
                                    dir.file("notes.txt"), dir.file("d/1.wav"), dir.file("d/2.wav"),
                                    "-", dir.file("missing.wav"), dir.file("d/2.wav")}));
    EXPECT_EQ(inputs[3].kind, ScanInput::Kind::standard_input);
    EXPECT_EQ(inputs[4].kind, ScanInput::Kind::file);
    EXPECT_EQ(inputs[4].bytes, 0u);
}

}  // namespace
}  // namespace beacon
