#include "interrupt.h"

#include <unistd.h>

#include <atomic>

namespace filterhost {

namespace {

std::atomic<int> gInterrupts{0};
std::atomic<bool> gQuiet{false};
std::atomic<bool> gExitOnSecond{true};

void Note(const char* text, size_t length)
{
    if (write(STDERR_FILENO, text, length) < 0) {
    }
}

extern "C" void OnInterrupt(int)
{
    const int count = ++gInterrupts;
    if (count >= 2 && gExitOnSecond)
        _exit(kExitCancelled);
    if (count == 1 && !gQuiet) {
        static const char note[] = "\nfilterhost: cancelling (Ctrl-C again to quit at once)\n";
        Note(note, sizeof note - 1);
    }
}

}  // namespace

InterruptHandler::InterruptHandler(bool quiet, Second second)
{
    gQuiet = quiet;
    gExitOnSecond = second == Second::kExitAtOnce;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInt_);
    sigaction(SIGTERM, &action, &previousTerm_);
}

InterruptHandler::~InterruptHandler()
{
    sigaction(SIGINT, &previousInt_, nullptr);
    sigaction(SIGTERM, &previousTerm_, nullptr);
}

int Interrupts()
{
    return gInterrupts.load();
}

}  // namespace filterhost
