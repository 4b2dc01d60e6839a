#ifndef OUTPUTCAPTURE_H
#define OUTPUTCAPTURE_H

#include <string>

// Redirects the process's standard output and standard error (the file
// descriptors, so output of loaded libraries is caught too) into temporary
// files until stop() or destruction.
class OutputCapture {
public:
    OutputCapture();
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Restores the descriptors and reads what was written.
    void stop();

    const std::string& out() const { return m_out; }
    const std::string& err() const { return m_err; }

private:
    int m_savedOut = -1;
    int m_savedErr = -1;
    std::string m_outPath;
    std::string m_errPath;
    std::string m_out;
    std::string m_err;
    bool m_active = false;
};

// Number of non-overlapping occurrences of needle in text.
int countOf(const std::string& text, const std::string& needle);

#endif // OUTPUTCAPTURE_H
