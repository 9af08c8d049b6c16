// A one-line progress bar redrawn in place, for a terminal only: in a log or a
// pipe it draws nothing, and callers print plain lines there instead.
#pragma once
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>

class ProgressBar {
public:
    ProgressBar(std::ostream& out, bool terminal) : m_out(out), m_terminal(terminal) {}
    ~ProgressBar() { Clear(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    bool Enabled() const { return m_terminal; }
    // The bar at done/total with the text after it; redrawn at most every
    // 100 ms unless it is full.
    void Show(std::uint64_t done, std::uint64_t total, const std::string& text);
    // Erases the bar, so an ordinary line can be printed; Show draws it again.
    void Clear();

private:
    std::ostream& m_out;
    bool m_terminal;
    std::size_t m_width = 0;  // of the line drawn, 0 when none is
    std::chrono::steady_clock::time_point m_last{};
};

// "12 MiB" and the like, for progress and summaries.
std::string HumanSize(std::uint64_t n);
