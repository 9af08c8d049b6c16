#include "install/Journal.h"
#include <windows.h>
#include "rules/PathRules.h"
#include "support/WindowsNames.h"

const char kJournalCommitLine[] = "C\r\n";

namespace {
const char kFormatLine[] = "V 2";
const char kUnknownDigest[] = "-";
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

// A digest field: 32 lower-case hex digits, or unknown.
bool DecodeDigest(const std::string& field, std::string& md5)
{
    md5.clear();
    if (field == kUnknownDigest) return true;
    if (field.size() != 32) return false;
    for (char c : field)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    md5 = field;
    return true;
}

std::vector<std::string> SplitTabs(const std::string& text)
{
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
        const size_t tab = text.find('\t', start);
        fields.push_back(text.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

// A step line: its kind, then exactly the fields of that kind.
JournalFault DecodeStep(char kind, const std::string& rest, JournalPlan& plan)
{
    const std::vector<std::string> f = SplitTabs(rest);
    const size_t wanted = kind == 'D' ? 1 : kind == 'A' ? 3 : kind == 'K' ? 4 : 0;
    if (wanted == 0 || f.size() != wanted) return JournalFault::NotAStep;
    JournalStep step{ static_cast<StepKind>(kind), f[0], wanted > 1 ? f[1] : std::string() };
    if (step.dest.empty() || (wanted > 1 && step.local.empty())) return JournalFault::NotAStep;
    if (wanted > 2 && !DecodeDigest(f[2], step.newMd5)) return JournalFault::NotAStep;
    if (wanted > 3 && !DecodeDigest(f[3], step.keptMd5)) return JournalFault::NotAStep;
    plan.steps.push_back(std::move(step));
    return JournalFault::None;
}

// One line after the run's: a step, or the commit.
JournalFault DecodeLine(const std::string& line, JournalPlan& plan)
{
    if (plan.committed) return JournalFault::StepsAfterCommit;
    const std::string rest = line.size() > 2 ? line.substr(2) : std::string();
    if (line[0] == 'C' && rest.empty()) {
        plan.committed = true;
        return JournalFault::None;
    }
    return DecodeStep(line[0], rest, plan);
}

std::string DigestField(const std::string& md5) { return md5.empty() ? kUnknownDigest : md5; }
} // namespace

std::string JournalDigest(const std::string& hex)
{
    std::string md5 = hex;
    for (char& c : md5) c = FoldAsciiCase(c);
    std::string checked;
    return DecodeDigest(md5, checked) ? checked : std::string();
}

void NumberKeptCopies(std::vector<JournalStep>& steps)
{
    int n = 0;
    for (JournalStep& s : steps)
        if (s.kind == StepKind::Keep) s.kept = n++;
}

std::string EncodeJournalPlan(const JournalPlan& plan)
{
    std::string text = std::string(kFormatLine) + "\r\nR " + plan.run + "\r\n";
    for (const JournalStep& s : plan.steps) {
        text += static_cast<char>(s.kind);
        text += " " + s.dest;
        if (s.kind != StepKind::Folder) text += "\t" + s.local + "\t" + DigestField(s.newMd5);
        if (s.kind == StepKind::Keep) text += "\t" + DigestField(s.keptMd5);
        text += "\r\n";
    }
    return text;
}

JournalFault DecodeJournal(const std::string& text, JournalPlan& plan)
{
    plan = JournalPlan();
    int line = 0;
    for (size_t pos = 0; pos < text.size(); ++line) {
        const size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) break;  // cut short by a kill: the commit never happened
        const std::string content = text.substr(pos, end - pos);
        pos = end + 2;
        if (!LooksLikeAStep(content)) return line == 0 ? JournalFault::NoRun : JournalFault::NotAStep;
        if (line == 0) {
            if (content == kFormatLine) continue;
            return content[0] == 'R' ? JournalFault::OldFormat : JournalFault::NoRun;
        }
        if (line == 1) {
            if (content[0] != 'R' || !ValidRun(content.size() > 2 ? content.substr(2) : std::string()))
                return JournalFault::NoRun;
            plan.run = content.substr(2);
            continue;
        }
        const JournalFault fault = DecodeLine(content, plan);
        if (fault != JournalFault::None) return fault;
    }
    if (plan.run.empty()) return JournalFault::NoRun;
    NumberKeptCopies(plan.steps);
    return JournalFault::None;
}

const char* DescribeJournalFault(JournalFault fault)
{
    switch (fault) {
    case JournalFault::None: return "nothing";
    case JournalFault::OldFormat: return "it was written by an earlier version, without the digests that prove a file is the run's";
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
