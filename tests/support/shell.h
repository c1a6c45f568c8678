#pragma once
// Command lines of the tests run through sh (DCMTK's dcmdump, dciodvfy, unzip), and the
// plain folder listings they are checked against.
#include <filesystem>
#include <string>
#include <vector>

namespace corva::test {

// Runs a command line; its standard output and standard error, and its exit status.
std::string shell(const std::string& command, int* exitCode = nullptr);
// Runs a command line; its standard output only (standard error stays the test's own).
std::string shellOutput(const std::string& command, int* exitCode = nullptr);

// A path in single quotes for a command line.
std::string quoted(const std::filesystem::path& path);

// dcmdump of a file with the given options (e.g. "-q +L"); its standard output.
std::string dcmdump(const std::filesystem::path& file, const std::string& options = {});

// The lines of a text (a command's output, a log), without the separators and without
// an empty last one.
std::vector<std::string> splitLines(const std::string& text, const std::string& separator = "\n");

// The regular files directly in a folder, in directory order.
std::vector<std::filesystem::path> filesIn(const std::filesystem::path& folder);

}  // namespace corva::test
