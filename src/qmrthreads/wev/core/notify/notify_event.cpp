#include "core/notify/notify_event.h"

#include "core/task/task.h"

#include <atomic>
#include <cstring>

namespace {

std::atomic<NotifyEventIntake> eventIntake{nullptr};
std::atomic<int> runningNotifyTaskId{-1};
std::atomic<const TrapOps*> registeredTrapOps{nullptr};

template <size_t N>
void copyCut(char (&field)[N], const char* text) {
    if (!text) {
        field[0] = '\0';
        return;
    }
    size_t n = strnlen(text, N - 1);
    memcpy(field, text, n);
    field[n] = '\0';
}

}  // namespace

void fillNotifyEvent(NotifyEvent& event, uint32_t flags, int port, const char* manufacturer,
                     const char* product, const char* serial, const char* client) {
    event.flags = flags;
    event.port = port;
    copyCut(event.manufacturer, manufacturer);
    copyCut(event.product, product);
    copyCut(event.serial, serial);
    copyCut(event.client, client);
}

void setNotifyEventIntake(NotifyEventIntake intake) {
    eventIntake.store(intake);
}

int postNotifyEvent(uint32_t flags, int port, const char* manufacturer, const char* product,
                    const char* serial, const char* client) {
    NotifyEventIntake intake = eventIntake.load();
    return intake ? intake(flags, port, manufacturer, product, serial, client) : 0;
}

void setNotifyTaskId(int taskId) {
    runningNotifyTaskId.store(taskId);
}

int notifyTaskId() {
    return runningNotifyTaskId.load();
}

int postNotifyMessage(uint32_t flags) {
    int tid = runningNotifyTaskId.load();
    if (tid < 0) return 0;
    TaskMessage msg{0, MSG_NOTIFY_EVENT, static_cast<int32_t>(flags), 0};
    return postToTaskId(tid, &msg) == 0 ? 1 : 0;
}

void setTrapOps(const TrapOps* ops) {
    registeredTrapOps.store(ops);
}

const TrapOps* trapOps() {
    return registeredTrapOps.load();
}
