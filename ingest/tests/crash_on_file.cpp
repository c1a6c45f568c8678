// The link seam of the crash-recovery test: this definition replaces the service's
// empty one in the test's copy of Ingrado, which dies with SIGSEGV on the file named by
// INGRADO_TEST_CRASH_ON. The shipped Ingrado never contains it.
#include <signal.h>

#include <cstdlib>
#include <string>

namespace corva::ingest {

void onFileInHand(const std::string& name)
{
    const char* crashOn = std::getenv("INGRADO_TEST_CRASH_ON");
    if (crashOn && *crashOn && name == crashOn)
        ::raise(SIGSEGV);
}

}  // namespace corva::ingest
