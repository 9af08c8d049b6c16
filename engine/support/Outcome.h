// How a step of the engine ends. Each unit may throw inside itself; what
// crosses its door is an Outcome, never an exception.
#pragma once
#include <string>
#include <utility>

struct Outcome {
    enum class Kind { Done, Failed, Stopped };

    static Outcome Done() { return Outcome(Kind::Done, std::string(), std::string()); }
    // what: why, in words for the log; text: what the failure report carries
    // (empty: the step's generic text).
    static Outcome Failed(std::string what, std::string text = std::string())
    {
        return Outcome(Kind::Failed, std::move(what), std::move(text));
    }
    // The user asked to stop, or the window is gone.
    static Outcome Stopped() { return Outcome(Kind::Stopped, std::string(), std::string()); }

    bool IsDone() const { return kind == Kind::Done; }
    bool IsFailed() const { return kind == Kind::Failed; }
    bool IsStopped() const { return kind == Kind::Stopped; }

    Kind kind;
    std::string what;
    std::string text;

private:
    Outcome(Kind k, std::string w, std::string t) : kind(k), what(std::move(w)), text(std::move(t)) {}
};
