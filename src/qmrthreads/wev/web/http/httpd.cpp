#include "web/http/httpd.h"

#include "web/http/http_connection.h"
#include "web/http/page_table.h"

#include "core/net/connection.h"
#include "core/params/param_handles.h"
#include "core/product/product_info.h"
#include "core/task/start_state.h"

#include <cstdio>
#include <new>
#include <sys/epoll.h>

namespace {

constexpr int kHttpdStack = 20480;

} // namespace

std::vector<int> httpListenerSlots(int ports, bool mgmt, bool mgmtAny, bool mgmtUntagged)
{
    std::vector<int> slots;
    int count = mgmt || mgmtAny ? ports + 2 : 1;
    if (count > kHttpListenerSlots)
        count = kHttpListenerSlots;
    if (!mgmt || mgmtUntagged)
        slots.push_back(0);
    if (mgmtAny) {
        for (int slot = 1; slot <= count - 2; ++slot)
            slots.push_back(slot);
    }
    if (mgmt)
        slots.push_back(count - 1);
    return slots;
}

Httpd::Httpd(int httpPort, int httpsPort, NetInterface* iface)
    : Task("HTTPD"), httpPort_(httpPort), httpsPort_(httpsPort), iface_(iface)
{
    if (httpPort < 0 && httpsPort < 0)
        perror("HTTPD stopps, no ports are specified?!");
}

Httpd::~Httpd()
{
    closeListeners();
    const WebSessionOps* sessions = webSessionOps();
    if (started_ && sessions && sessions->save)
        sessions->save();
}

uint32_t Httpd::onMessage(TaskMessage* msg)
{
    if (msg->code & MSG_NETWORK_CHANGED)
        reopen_.store(1);
    return msg->code & ~MSG_NETWORK_CHANGED;
}

int Httpd::openListeners()
{
    std::vector<int> slots = httpListenerSlots(static_cast<int>(productInfo().usb_ports_phy),
                                               params::ip4vlan_mgmt()->isOn(), params::ip4vlan_mgmt_any()->isOn(),
                                               params::ip4vlan_mgmt_untag()->isOn());
    for (int slot : slots) {
        for (bool tls : {false, true}) {
            int port = tls ? httpsPort_ : httpPort_;
            if (port <= 0)
                continue;
            Connection* c = createTcpServer(this, port, iface_, slot);
            if (!c)
                continue;
            auto* l = new (std::nothrow) Listener;
            if (!l) {
                fprintf(stderr, "%s:%d memerr\n", "httpd", __LINE__);
                c->closeSession();
                continue;
            }
            l->connection = c;
            l->tls = tls;
            l->source = EventSource{this, onListenerEvent, c->fd};
            if (addEventSource(&l->source, EPOLLIN) != 0) {
                c->closeSession();
                delete l;
                continue;
            }
            listeners_.push_back(l);
        }
    }
    return static_cast<int>(listeners_.size());
}

void Httpd::closeListeners()
{
    for (Listener* l : listeners_) {
        removeEventSource(l->connection->fd);
        l->connection->closeSession();
        delete l;
    }
    listeners_.clear();
}

int Httpd::acceptConnection(int fd)
{
    Listener* listener = nullptr;
    for (Listener* l : listeners_) {
        if (l->connection->fd == fd)
            listener = l;
    }
    if (!listener)
        return 0;
    Connection* c = acceptReady(listener->connection);
    if (!c)
        return 0;
    if (HttpConnection::liveCount() >= HttpConnection::kMaxLive && !HttpConnection::dropOldestWaiting()) {
        c->closeSession();
        return 0;
    }
    auto* task = new (std::nothrow) HttpConnection(c, listener->tls);
    if (!task) {
        fprintf(stderr, "%s:%d memerr\n", "httpd", __LINE__);
        c->closeSession();
        return 0;
    }
    if (task->start(kConnectionStack, 0) < 0) {
        delete task;
        return 0;
    }
    return 1;
}

int Httpd::onListenerEvent(EventSource* source, uint32_t)
{
    auto* self = static_cast<Httpd*>(source->owner);
    if (self)
        self->acceptConnection(source->fd);
    return 0;
}

void Httpd::run()
{
    if (httpPort_ < 0 && httpsPort_ < 0)
        return;
    const WebSessionOps* sessions = webSessionOps();
    if (sessions && sessions->restore)
        sessions->restore();
    started_ = true;
    openListeners();
    reopen_.store(0);
    for (;;) {
        pollEvents(-1);
        if (reopen_.exchange(0)) {
            closeListeners();
            openListeners();
            ++reopens_;
        }
    }
}

int startHttpd(NetInterface* iface)
{
    auto* task = new (std::nothrow) Httpd(httpPort(), httpsPort(), iface);
    if (!task)
        return -1;
    int id = task->start(kHttpdStack, 0);
    if (id < 0)
        delete task;
    return id;
}
