// The network settings pages. Each applies a form posted with action=set
// as the generic save handler does (a refused value changes nothing and
// names its field in "ErrMsg") and adds the variables of its page.
#pragma once

class HttpConnection;

// "DhcpHaveLease", "DhcpLease", "DhcpGotLease" while DHCP holds a lease. A
// form that changes the address, or switches off the protocol that set it,
// makes the web the address's source (`ip_setby` "http").
int ipv4Page(HttpConnection& connection);
// After a save the VLAN settings are applied to the interface.
int ip4VlanPage(HttpConnection& connection);
// "ipv6_addrlist_"N and its count: the main interface's addresses; and its
// routes as "ipv6_gatelist_"N.
int ipv6Page(HttpConnection& connection);
// "bonjour_current": the mDNS name in use.
int bonjourPage(HttpConnection& connection);
// The mail counters and states; "checknow" polls the mailbox at once.
int emailPage(HttpConnection& connection);
// The WLAN status, the last scan and the 802.1X root certificate.
int wlanPage(HttpConnection& connection);

// Gives these pages their rows of the page table.
void registerNetworkPages();
