#pragma once
// The try file beside an input file counts the processing attempts made on it.
#include <filesystem>
#include <string>

namespace corva::ingest {

class IngestLog;

// The count from the first line; a damaged or unreadable try file is logged ("ReadTry")
// and yields 0, so counting starts again.
int readTry(const std::filesystem::path& file, IngestLog& log);
// Replaces the whole content with " <count> " and a line break, followed by a marker
// line when one is given. Failures are logged ("WriteTry").
bool writeTry(const std::filesystem::path& file, int count, IngestLog& log, const std::string& marker = {});
// The marker line below the count ("in hand" while the file is worked on, "crashed"
// when the service died on it); empty when there is none.
std::string readTryMarker(const std::filesystem::path& file);

// Written while a file is worked on and replaced when the attempt is over: a try file
// still marked so at start-up belongs to the file in hand when the service ended.
inline constexpr const char* InHandMarker = "in hand";

}  // namespace corva::ingest
