// A built program run as a separate process, as a person or a host runs it.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace testrun {

struct Ran {
    int status = -1;  // the exit status; -1 when it did not exit
    std::string out;  // standard output and standard error, as they came
};

// `command` through the shell, its standard error with its standard output.
inline Ran run(const std::string& command)
{
    Ran ran;
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return ran;
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) ran.out.append(buf, n);
    const int rc = pclose(p);
    ran.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return ran;
}

}  // namespace testrun
