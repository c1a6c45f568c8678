#pragma once
// The try file beside an input file counts the processing attempts made on it.
#include <filesystem>

namespace corva::ingest {

class IngestLog;

// The count from the first line; a damaged or unreadable try file is logged ("ReadTry")
// and yields 0, so counting starts again.
int readTry(const std::filesystem::path& file, IngestLog& log);
// Replaces the whole content with " <count> " and a line break. Failures are logged ("WriteTry").
bool writeTry(const std::filesystem::path& file, int count, IngestLog& log);

}  // namespace corva::ingest
