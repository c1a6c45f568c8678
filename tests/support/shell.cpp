#include "shell.h"

#include <sys/wait.h>

#include <cstdio>

namespace corva::test {

std::string shellOutput(const std::string& command, int* exitCode)
{
    std::string out;
    if (FILE* p = ::popen(command.c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        const int status = ::pclose(p);
        if (exitCode)
            *exitCode = WEXITSTATUS(status);
    }
    return out;
}

std::string shell(const std::string& command, int* exitCode)
{
    return shellOutput(command + " 2>&1", exitCode);
}

std::string quoted(const std::filesystem::path& path)
{
    return "'" + path.string() + "'";
}

std::string dcmdump(const std::filesystem::path& file, const std::string& options)
{
    return shellOutput("dcmdump " + (options.empty() ? std::string() : options + " ") + quoted(file));
}

std::vector<std::string> splitLines(const std::string& text, const std::string& separator)
{
    std::vector<std::string> out;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(separator, from)) != std::string::npos; from = at + separator.size())
        out.push_back(text.substr(from, at - from));
    if (from < text.size())
        out.push_back(text.substr(from));
    return out;
}

std::vector<std::filesystem::path> filesIn(const std::filesystem::path& folder)
{
    std::vector<std::filesystem::path> out;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        if (e.is_regular_file())
            out.push_back(e.path());
    return out;
}

}  // namespace corva::test
