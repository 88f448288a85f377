// The simulated host's URBs: submit, the device moving data, completion,
// reap and discard, with the kernel's memory rules: the caller's URB record
// and buffer are read at submit (OUT data is copied then) and written only
// at reap.
#include "platform/usbfs/sim/usb_sim_host.h"

#include "platform/usbfs/sim/usb_sim_control.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

namespace usbsim {

namespace {

// usbfs's default limit on the memory held by URB buffers.
constexpr size_t kBufferLimit = 16 * 1024 * 1024;
constexpr unsigned kAllowedFlags = USBDEVFS_URB_SHORT_NOT_OK | USBDEVFS_URB_ISO_ASAP |
                                   USBDEVFS_URB_BULK_CONTINUATION | USBDEVFS_URB_NO_FSBR |
                                   USBDEVFS_URB_ZERO_PACKET | USBDEVFS_URB_NO_INTERRUPT;
constexpr int kSetupSize = 8;
// A blocking reap gives up as a signal would interrupt it.
constexpr auto kBlockingReapLimit = std::chrono::seconds(60);
constexpr auto kBlockingReapStep = std::chrono::milliseconds(20);

const char* typeName(uint8_t type)
{
    switch (type) {
    case USBDEVFS_URB_TYPE_ISO:
        return "iso";
    case USBDEVFS_URB_TYPE_INTERRUPT:
        return "interrupt";
    case USBDEVFS_URB_TYPE_CONTROL:
        return "control";
    case USBDEVFS_URB_TYPE_BULK:
        return "bulk";
    default:
        return "type?";
    }
}

Setup setupOf(const uint8_t* bytes)
{
    return Setup{bytes[0], bytes[1], static_cast<uint16_t>(bytes[2] | bytes[3] << 8),
                 static_cast<uint16_t>(bytes[4] | bytes[5] << 8), static_cast<uint16_t>(bytes[6] | bytes[7] << 8)};
}

uint8_t queueKey(const SimUrb& urb)
{
    return urb.type == USBDEVFS_URB_TYPE_CONTROL ? 0 : urb.endpoint;
}

} // namespace

size_t Host::bufferedBytes() const
{
    size_t total = 0;
    for (const auto& entry : files_)
        for (const std::unique_ptr<SimUrb>& u : entry.second->urbs)
            total += static_cast<size_t>(u->bufferLength);
    return total;
}

int Host::submit(SimFile& file, void* arg)
{
    SimDevice& device = *file.device;
    if (!arg)
        return -EFAULT;
    const usbdevfs_urb* user = static_cast<const usbdevfs_urb*>(arg);
    std::unique_ptr<SimUrb> urb(new SimUrb);
    urb->file = &file;
    urb->user = static_cast<usbdevfs_urb*>(arg);
    urb->type = user->type;
    urb->endpoint = user->endpoint;
    urb->flags = user->flags;
    urb->userBuffer = user->buffer;
    urb->bufferLength = user->buffer_length;
    char detail[80];
    snprintf(detail, sizeof detail, "%s 0x%02x len %d", typeName(urb->type), urb->endpoint, urb->bufferLength);

    int result = 0;
    int error = 0;
    if (injected(device, "submit", &error))
        result = -error;
    else if ((urb->flags & ~kAllowedFlags) || urb->bufferLength < 0 || (urb->bufferLength > 0 && !urb->userBuffer))
        result = -EINVAL;
    else if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        if ((urb->endpoint & 0x7f) != 0)
            result = -ENOENT;
        else if (urb->bufferLength < kSetupSize)
            result = -EINVAL;
        else {
            Setup setup = setupOf(static_cast<const uint8_t*>(urb->userBuffer));
            if (setup.length + kSetupSize > urb->bufferLength)
                result = -EINVAL;
            else
                result = checkControlRecipient(file, setup);
            urb->in = (setup.requestType & 0x80) != 0;
            urb->bufferLength = kSetupSize + setup.length;
        }
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK || urb->type == USBDEVFS_URB_TYPE_INTERRUPT ||
               urb->type == USBDEVFS_URB_TYPE_ISO) {
        const EndpointInfo* info = nullptr;
        int number = device.interfaceOfEndpoint(urb->endpoint, &info);
        if (number < 0) {
            result = -ENOENT;
        } else {
            int kind = info->attributes & 3;
            if (urb->type == USBDEVFS_URB_TYPE_BULK && kind == 3)
                urb->type = USBDEVFS_URB_TYPE_INTERRUPT;  // single-shot interrupt transfers are allowed
            else if ((urb->type == USBDEVFS_URB_TYPE_BULK && kind != 2) ||
                     (urb->type == USBDEVFS_URB_TYPE_INTERRUPT && kind != 3) ||
                     (urb->type == USBDEVFS_URB_TYPE_ISO && kind != 1))
                result = -EINVAL;
            if (result == 0)
                result = checkInterface(file, number);
            urb->interfaceNumber = number;
            urb->in = (urb->endpoint & 0x80) != 0;
        }
    } else {
        result = -EINVAL;
    }
    if (result == 0 && bufferedBytes() + static_cast<size_t>(urb->bufferLength) > kBufferLimit)
        result = -ENOMEM;
    if (result < 0) {
        noteRequest(device, "submit", detail, result);
        return result;
    }
    // OUT data (and a control URB's setup packet) is the kernel's copy from now on.
    size_t copied = urb->type == USBDEVFS_URB_TYPE_CONTROL && urb->in ? kSetupSize
                    : urb->in                                          ? 0
                                                                       : static_cast<size_t>(urb->bufferLength);
    const uint8_t* source = static_cast<const uint8_t*>(urb->userBuffer);
    if (copied > 0)
        urb->data.assign(source, source + copied);
    SimUrb* u = urb.get();
    file.urbs.push_back(std::move(urb));
    device.endpoints[queueKey(*u)].pending.push_back(u);
    noteRequest(device, "submit", detail, 0);
    pump(device);
    return 0;
}

// One attempt of the device on the URB at the head of its endpoint's queue;
// true when the URB completed.
bool Host::service(SimDevice& device, SimUrb& urb)
{
    EndpointQueue& queue = device.endpoints[queueKey(urb)];
    char injection[16];
    snprintf(injection, sizeof injection, "urb:0x%02x", urb.endpoint);
    int error = 0;
    if (urb.type != USBDEVFS_URB_TYPE_CONTROL && injected(device, injection, &error) && error != 0) {
        if (error == EPIPE)
            queue.halted = true;
        complete(urb, -error);
        return true;
    }
    if (queue.halted && urb.type != USBDEVFS_URB_TYPE_CONTROL) {
        complete(urb, -EPIPE);
        return true;
    }
    int length = urb.bufferLength;
    int result = 0;
    if (urb.type == USBDEVFS_URB_TYPE_CONTROL) {
        Setup setup = setupOf(urb.data.data());
        std::vector<uint8_t> stage = deviceBuffer(setup.length);
        if (!urb.in && setup.length > 0)
            memcpy(stage.data(), urb.data.data() + kSetupSize, setup.length);
        result = deviceControl(device, setup, stage.data());
        if (result == kNak)
            return false;
        if (result >= 0 && urb.in) {
            result = std::min<int>(result, setup.length);
            urb.data.resize(kSetupSize);
            urb.data.insert(urb.data.end(), stage.begin(), stage.begin() + result);
        } else if (result >= 0) {
            result = setup.length;
        }
    } else if (urb.in) {
        // The device writes into the kernel's buffer of the URB, which the
        // reap copies out.
        urb.data.resize(length > 0 ? static_cast<size_t>(length) : 1);
        result = device.model->transferIn(urb.endpoint, urb.data.data(), length);
        if (result == kNak)
            return false;
        if (result >= 0) {
            result = std::min(result, length);
            urb.data.resize(static_cast<size_t>(result));
        }
    } else {
        static const uint8_t kNoData = 0;  // the address of a zero-length transfer's data
        const uint8_t* data = urb.data.empty() ? &kNoData : urb.data.data();
        result = device.model->transferOut(urb.endpoint, data, length);
        if (result == kNak)
            return false;
        if (result >= 0)
            result = length;
    }
    if (result < 0) {
        if (result == -EPIPE && urb.type != USBDEVFS_URB_TYPE_CONTROL)
            queue.halted = true;
        complete(urb, result);
        return true;
    }
    urb.actualLength = result;
    bool shortIn = urb.in && urb.type != USBDEVFS_URB_TYPE_CONTROL && result < length;
    complete(urb, shortIn && (urb.flags & USBDEVFS_URB_SHORT_NOT_OK) ? -EREMOTEIO : 0);
    return true;
}

// Lets the device work through its queues until nothing moves: OUT data can
// make room for IN data and the other way round.
void Host::pump(SimDevice& device)
{
    if (!device.plugged)
        return;
    bool progress = true;
    while (progress) {
        progress = false;
        for (auto& entry : device.endpoints) {
            std::deque<SimUrb*>& pending = entry.second.pending;
            while (!pending.empty()) {
                SimUrb* urb = pending.front();
                if (!service(device, *urb))
                    break;
                pending.pop_front();
                progress = true;
            }
        }
    }
}

void Host::complete(SimUrb& urb, int status)
{
    urb.status = status;
    urb.completed = true;
    urb.file->completions.push_back(&urb);
    updateReadiness(*urb.file);
    completion_.notify_all();
}

void Host::removePending(SimDevice& device, SimUrb& urb)
{
    auto it = device.endpoints.find(queueKey(urb));
    if (it == device.endpoints.end())
        return;
    std::deque<SimUrb*>& pending = it->second.pending;
    pending.erase(std::remove(pending.begin(), pending.end(), &urb), pending.end());
}

void Host::killPending(SimDevice& device, SimFile* onlyFile, int status)
{
    for (auto& entry : device.endpoints) {
        std::deque<SimUrb*>& pending = entry.second.pending;
        std::deque<SimUrb*> kept;
        for (SimUrb* urb : pending) {
            if (onlyFile && urb->file != onlyFile) {
                kept.push_back(urb);
                continue;
            }
            complete(*urb, status);
        }
        pending.swap(kept);
    }
}

int Host::reap(int fd, void* arg, bool wait, std::unique_lock<std::mutex>& lock)
{
    if (!arg)
        return -EFAULT;
    auto deadline = std::chrono::steady_clock::now() + kBlockingReapLimit;
    for (;;) {
        SimFile* file = fileFor(fd);
        if (!file)
            return -EBADF;
        SimDevice& device = *file->device;
        if (!file->completions.empty()) {
            SimUrb* urb = file->completions.front();
            file->completions.pop_front();
            usbdevfs_urb* user = urb->user;
            user->status = urb->status;
            user->actual_length = urb->actualLength;
            user->error_count = 0;
            user->start_frame = 0;
            if (urb->in && urb->actualLength > 0) {
                size_t offset = urb->type == USBDEVFS_URB_TYPE_CONTROL ? kSetupSize : 0;
                memcpy(static_cast<uint8_t*>(urb->userBuffer) + offset, urb->data.data() + offset,
                       static_cast<size_t>(urb->actualLength));
            }
            *static_cast<void**>(arg) = user;
            ++device.counts["reap"];
            file->urbs.remove_if([urb](const std::unique_ptr<SimUrb>& u) { return u.get() == urb; });
            updateReadiness(*file);
            return 0;
        }
        if (!device.plugged)
            return -ENODEV;
        if (!wait)
            return -EAGAIN;
        if (std::chrono::steady_clock::now() >= deadline)
            return -EINTR;
        completion_.wait_for(lock, kBlockingReapStep);
        // Commands from outside may be what completes the URB.
        lock.unlock();
        applyQueuedCommandsSoon();
        lock.lock();
    }
}

int Host::discard(SimFile& file, void* arg)
{
    SimDevice& device = *file.device;
    int error = 0;
    int result = -EINVAL;
    if (injected(device, "discard", &error)) {
        result = -error;
    } else {
        for (const std::unique_ptr<SimUrb>& u : file.urbs) {
            if (u->user == arg && !u->completed) {
                removePending(device, *u);
                complete(*u, -ENOENT);
                result = 0;
                break;
            }
        }
    }
    noteRequest(device, "discard", "", result);
    return result;
}

} // namespace usbsim
