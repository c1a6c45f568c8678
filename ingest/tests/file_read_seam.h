#pragma once
// What the ingest tests do while the service holds a file it has read (see file_read_seam.cpp).
#include <functional>
#include <string>

namespace corva::ingest::test {

// Called with the file's name after its header was read; empty for nothing.
std::function<void(const std::string&)>& whenFileRead();

// Sets the hook for the life of the object.
class OnFileRead {
public:
    explicit OnFileRead(std::function<void(const std::string&)> hook) { whenFileRead() = std::move(hook); }
    ~OnFileRead() { whenFileRead() = {}; }
    OnFileRead(const OnFileRead&) = delete;
    OnFileRead& operator=(const OnFileRead&) = delete;
};

}  // namespace corva::ingest::test
