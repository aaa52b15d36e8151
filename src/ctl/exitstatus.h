#pragma once

// The client's exit statuses, as its manual page documents them.
enum class ExitStatus {
    Success = 0,
    Failure = 1,     // the daemon answered with a failure or a refusal
    Usage = 2,
    Unreachable = 3, // no system bus, or nobody owns the daemon's name
};

inline int exitCode(ExitStatus status)
{
    return static_cast<int>(status);
}
