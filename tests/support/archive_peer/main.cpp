// corva_test_archive: a storage archive for the tests that answers as it is told.
#include <csignal>
#include <iostream>
#include <stdexcept>

#include "archive_policy.h"
#include "archive_server.h"

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);  // a sender that goes away must not end the archive
    using namespace corva::test::archive;
    try {
        const Policy policy = parsePolicy(std::vector<std::string>(argv + 1, argv + argc));
        return ArchiveServer(policy).run();
    } catch (const std::invalid_argument& e) {
        std::cerr << "corva_test_archive: " << e.what() << "\n" << usage();
        return 2;
    }
}
