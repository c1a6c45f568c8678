#pragma once
// What the ingest service leaves behind when it dies on a file: the try file of the
// file in hand is marked "crashed" by the fatal-signal handler, so that the next start
// sets that file aside instead of taking it first again and dying again.
#include <filesystem>

namespace corva::ingest::crash {

// The marker line a fatal signal writes below the try count.
inline constexpr const char* CrashedMarker = "crashed";

// Installs the handler for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT on a stack of
// its own (a stack overflow leaves none). The handler writes the note, then lets the
// signal end the process as it would have.
void installHandlers();

// The file now in hand: its try file and the count written there. Async-signal-safe
// to use from the handler; arm() and disarm() run on the service's thread.
void arm(const std::filesystem::path& tryFile, int count);
void disarm();

}  // namespace corva::ingest::crash
