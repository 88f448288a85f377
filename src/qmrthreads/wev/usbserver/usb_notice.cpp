#include "usbserver/usb_notice.h"

#include <cstdio>

#include "core/task/task.h"
#include "usbserver/usb_poll_record.h"

int postUsbNotice(int taskId, uint32_t opcode, int row, int port)
{
    if (taskId <= 0)
        return -1;
    TaskMessage msg{0, MSG_USB_NOTICE, static_cast<int32_t>(opcode), (row & 0xff) | (port & 0xff) << 8};
    return postToTaskId(taskId, &msg) == 0 ? 0 : -1;
}

int queueUsbNotice(UsbPollRecord* session, uint32_t opcode, int row, int port)
{
    if (session->noticeCount >= kUsbNoticeQueueSize) {
        ++session->droppedNotices;
        fprintf(stderr, "usb session: notice %u for row %d dropped, %d waiting\n", opcode, row,
                session->noticeCount);
        return -1;
    }
    session->notices[session->noticeCount++] = {static_cast<uint8_t>(opcode), static_cast<uint8_t>(row),
                                                static_cast<uint8_t>(port)};
    return 0;
}
