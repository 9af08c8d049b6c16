#include "Progress.h"
#include <ostream>
#include <sstream>

namespace {
const int kCells = 24;
}

void ProgressBar::Show(std::uint64_t done, std::uint64_t total, const std::string& text)
{
    if (!m_terminal) return;
    const auto now = std::chrono::steady_clock::now();
    const bool full = total == 0 || done >= total;
    if (m_width != 0 && !full && now - m_last < std::chrono::milliseconds(100)) return;
    m_last = now;
    const int pct = total ? static_cast<int>(done * 100 / total) : 100;
    const int filled = total ? static_cast<int>(done * kCells / total) : kCells;
    std::string line = "  [" + std::string(filled, '#') + std::string(kCells - filled, '.') + "] ";
    line += (pct < 10 ? "  " : pct < 100 ? " " : "") + std::to_string(pct) + "%  " + text;
    // Padding erases what a longer line left; no escape sequences, so any console shows it.
    const std::size_t width = line.size();
    if (line.size() < m_width) line.append(m_width - line.size(), ' ');
    m_out << '\r' << line << std::flush;
    m_width = width;
}

void ProgressBar::Clear()
{
    if (!m_terminal || m_width == 0) return;
    m_out << '\r' << std::string(m_width, ' ') << '\r' << std::flush;
    m_width = 0;
}

std::string HumanSize(std::uint64_t n)
{
    std::ostringstream s;
    if (n < 10 * 1024) s << n << " B";
    else if (n < 10ull * 1024 * 1024) s << (n >> 10) << " KiB";
    else s << (n >> 20) << " MiB";
    return s.str();
}
