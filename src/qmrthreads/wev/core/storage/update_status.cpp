#include "core/storage/update_status.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace {

std::atomic<int> state{kUpdatePrenatal};
std::atomic<int> error{0};
std::atomic<int> progress{0};
std::mutex descriptionMutex;
char description[128];

void clearStatus()
{
    error.store(0);
    progress.store(0);
    setUpdateDescription("");
}

// Moves an idle status (Prenatal or Error) to the given state and clears
// it; false while an update is under way.
bool leaveIdle(int to)
{
    int current = state.load();
    do {
        if (current > kUpdateError)
            return false;
    } while (!state.compare_exchange_weak(current, to));
    clearStatus();
    return true;
}

} // namespace

int updateState() { return state.load(); }
int updateError() { return error.load(); }
int updateProgress() { return progress.load(); }
void setUpdateProgress(int percent) { progress.store(percent); }

bool claimUpdate()
{
    return leaveIdle(kUpdateAlive);
}

bool resetUpdateStatus()
{
    return leaveIdle(kUpdatePrenatal);
}

void setUpdateState(int newState, int newError)
{
    error.store(newError);
    state.store(newState);
}

void setUpdateDescription(const char* text)
{
    std::lock_guard<std::mutex> lock(descriptionMutex);
    snprintf(description, sizeof description, "%s", text ? text : "");
}

void copyUpdateDescription(char* out, size_t size)
{
    std::lock_guard<std::mutex> lock(descriptionMutex);
    snprintf(out, size, "%s", description);
}

char* updateStateText(char* buffer, int size)
{
    static const char* const names[] = {"Prenatal", nullptr, "Alive", "Verifying", "Working",
                                        "Waiting for Restart", "Restart"};
    if (size <= 0)
        return buffer;
    int current = state.load();
    int n;
    if (current == kUpdateError) {
        n = size > 32 ? snprintf(buffer, static_cast<size_t>(size), "Error:%d Done:%d", error.load(), progress.load())
                      : -1;
    } else {
        const char* name = current >= 0 && current <= kUpdateRestart ? names[current] : "Unexpected!?";
        n = snprintf(buffer, static_cast<size_t>(size), "%s", name);
    }
    if (n < 0 || n >= size)
        buffer[0] = '\0';
    return buffer;
}

bool updateWriting()
{
    int current = state.load();
    return current == kUpdateVerifying || current == kUpdateWorking;
}
