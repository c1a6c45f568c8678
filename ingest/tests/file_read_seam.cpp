// The link seam of the ingest tests: this definition replaces the service's empty
// onFileRead in the test program, so that a test can act while a file is in hand,
// between the read of its header and its move into the store.
#include "file_read_seam.h"

namespace corva::ingest {

namespace test {
std::function<void(const std::string&)>& whenFileRead()
{
    static std::function<void(const std::string&)> hook;
    return hook;
}
}  // namespace test

void onFileRead(const std::string& name)
{
    if (auto& hook = test::whenFileRead())
        hook(name);
}

}  // namespace corva::ingest
