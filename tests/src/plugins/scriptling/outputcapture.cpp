#include "outputcapture.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace {

std::string makeTempFile(int* fd)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/capture-XXXXXX";
    *fd = mkstemp(&pattern[0]);
    if (*fd < 0)
        throw std::runtime_error("cannot create capture file");
    return pattern;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

OutputCapture::OutputCapture()
{
    std::fflush(stdout);
    std::fflush(stderr);
    int outFd = -1;
    int errFd = -1;
    m_outPath = makeTempFile(&outFd);
    m_errPath = makeTempFile(&errFd);
    m_savedOut = dup(STDOUT_FILENO);
    m_savedErr = dup(STDERR_FILENO);
    dup2(outFd, STDOUT_FILENO);
    dup2(errFd, STDERR_FILENO);
    close(outFd);
    close(errFd);
    m_active = true;
}

OutputCapture::~OutputCapture()
{
    stop();
}

void OutputCapture::stop()
{
    if (!m_active)
        return;
    m_active = false;
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(m_savedOut, STDOUT_FILENO);
    dup2(m_savedErr, STDERR_FILENO);
    close(m_savedOut);
    close(m_savedErr);
    m_out = slurp(m_outPath);
    m_err = slurp(m_errPath);
    unlink(m_outPath.c_str());
    unlink(m_errPath.c_str());
}

int countOf(const std::string& text, const std::string& needle)
{
    if (needle.empty())
        return 0;
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}
