// The IP filter: with `protection` on, only senders that match an enabled
// address rule (`ip_filter_<n>`) or hardware rule (`hw_filter_<n>`) get in;
// everything else of the kind `protection_level` names is dropped. The rules
// live in the kernel's packet filter, table "filter", chain "INPUT".
//
// The chain holds nothing but this filter's rules: every apply replaces the
// whole chain in one commit, so a failure leaves the rules before it in
// force and a restart after a crash never adds a second set.
#pragma once

// The start-up step, with its test cycle: a newly enabled filter is armed
// as a test, and a start that finds the test still armed switches the filter
// off (the administrator locked out by it only has to restart the box). Each
// change of the cycle is saved at once. 1 when rules were installed.
int ipFilterApply();

// The rules of the current parameters, without the test cycle (after a
// change of the filter settings). 1 when rules were installed.
int ipFilterReapply();

// Empties the chain; 1 when the table could be opened and committed.
int ipFilterFlush();

// From now on a change of any filter setting re-applies the rules, once the
// start-up step has applied them.
void registerIpFilterEffects();
