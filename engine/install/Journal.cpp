#include "install/Journal.h"
#include <windows.h>
#include "rules/PathRules.h"
#include "support/WindowsNames.h"

const char kJournalCommitLine[] = "C\r\n";

namespace {
// Kept copies go into buckets of this many, so that moving one aside never
// means searching a folder of thousands (Wine looks a new name up in the
// whole folder).
const int kKeptPerBucket = 256;

bool ValidRun(const std::string& run)
{
    if (run.empty() || run.size() > 40) return false;
    for (char c : run)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-')) return false;
    return true;
}

bool LooksLikeAStep(const std::string& line) { return !line.empty() && (line.size() == 1 || line[1] == ' '); }

// One line after the first: a step, or the commit.
JournalFault DecodeLine(const std::string& line, JournalPlan& plan)
{
    if (plan.committed) return JournalFault::StepsAfterCommit;
    const char kind = line[0];
    const std::string rest = line.size() > 2 ? line.substr(2) : std::string();
    if (kind == 'C' && rest.empty()) {
        plan.committed = true;
        return JournalFault::None;
    }
    const size_t tab = rest.find('\t');
    const bool hasLocal = tab != std::string::npos;
    if (!(kind == 'D' && !hasLocal) && !((kind == 'K' || kind == 'A') && hasLocal)) return JournalFault::NotAStep;
    plan.steps.push_back({ static_cast<StepKind>(kind), rest.substr(0, tab), hasLocal ? rest.substr(tab + 1) : std::string() });
    return JournalFault::None;
}
} // namespace

void NumberKeptCopies(std::vector<JournalStep>& steps)
{
    int n = 0;
    for (JournalStep& s : steps)
        if (s.kind == StepKind::Keep) s.kept = n++;
}

std::string EncodeJournalPlan(const JournalPlan& plan)
{
    std::string text = "R " + plan.run + "\r\n";
    for (const JournalStep& s : plan.steps) {
        text += static_cast<char>(s.kind);
        text += " " + s.dest;
        if (!s.local.empty()) text += "\t" + s.local;
        text += "\r\n";
    }
    return text;
}

JournalFault DecodeJournal(const std::string& text, JournalPlan& plan)
{
    plan = JournalPlan();
    bool first = true;
    for (size_t pos = 0; pos < text.size();) {
        const size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) break;  // cut short by a kill: the commit never happened
        const std::string line = text.substr(pos, end - pos);
        pos = end + 2;
        if (!LooksLikeAStep(line)) return JournalFault::NotAStep;
        if (first) {
            if (line[0] != 'R' || !ValidRun(line.size() > 2 ? line.substr(2) : std::string())) return JournalFault::NoRun;
            plan.run = line.substr(2);
            first = false;
            continue;
        }
        const JournalFault fault = DecodeLine(line, plan);
        if (fault != JournalFault::None) return fault;
    }
    if (first) return JournalFault::NoRun;
    NumberKeptCopies(plan.steps);
    return JournalFault::None;
}

const char* DescribeJournalFault(JournalFault fault)
{
    switch (fault) {
    case JournalFault::None: return "nothing";
    case JournalFault::NoRun: return "it does not name its run";
    case JournalFault::NotAStep: return "a line is not a step";
    case JournalFault::StepsAfterCommit: return "steps follow its commit";
    }
    return "unknown";
}

RunPaths::RunPaths(const std::string& tempDir, const std::string& appDir) : m_temp(tempDir), m_app(appDir) {}

std::string RunPaths::KeptName(const JournalStep& step)
{
    return std::to_string(step.kept / kKeptPerBucket) + "\\" + step.dest;
}

std::string RunPaths::Kept(const std::string& run, const JournalStep& step) const
{
    return JoinPath(KeptFolder(run), KeptName(step));
}

const char* RunPaths::OutsideItsFolders(const JournalPlan& plan, const TempFolderPlace& temp) const
{
    const std::string kept = KeptFolder(plan.run);
    for (const JournalStep& s : plan.steps) {
        if (UnsafeInstallName(s.dest.c_str(), temp)) return s.dest.c_str();
        if (s.kind != StepKind::Folder && !IsSafeRelativeName(s.local.c_str(), &IsAnsiLeadByte)) return s.local.c_str();
        if (m_temp.size() + s.local.size() + 8 >= MAX_PATH || Installed(s.dest).size() + 1 >= MAX_PATH ||
            kept.size() + s.dest.size() + 16 >= MAX_PATH)
            return s.dest.c_str();
    }
    return nullptr;
}
