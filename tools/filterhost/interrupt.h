// Ctrl-C handling: the first interrupt asks the work to stop, a second one
// (for a plug-in that never tests for cancel) ends filterhost at once.
#pragma once

#include <signal.h>

namespace filterhost {

constexpr int kExitCancelled = 130;

// Installs the handler for SIGINT (and SIGTERM) while alive.
class InterruptHandler {
public:
    enum class Second { kExitAtOnce, kCount };
    // `quiet` leaves out the note printed on the first interrupt; with
    // kCount a second interrupt is only counted, for a caller that stops
    // its own children.
    explicit InterruptHandler(bool quiet, Second second = Second::kExitAtOnce);
    ~InterruptHandler();
    InterruptHandler(const InterruptHandler&) = delete;
    InterruptHandler& operator=(const InterruptHandler&) = delete;

private:
    struct sigaction previousInt_ {};
    struct sigaction previousTerm_ {};
};

// Interrupts received so far (0 when none).
int Interrupts();
inline bool CancelRequested()
{
    return Interrupts() > 0;
}

}  // namespace filterhost
