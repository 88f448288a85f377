// What the update pages show of a firmware update in each state: the
// message (a text of the program, translated by the page, with "%d" or
// "%s" where the percent or the description go), the percent shown, and
// where and when the page reloads.
#pragma once

struct UpdateProgressView {
    const char* message = "";
    bool withPercent = false;      // message takes the percent ("%d")
    bool withDescription = false;  // message takes the description ("%s")
    int percent = 0;               // what the page reports as done
    int donePercent = 0;           // the bar: at most 96
    const char* refreshTarget = nullptr;  // null: the page does not reload; "": the request's URL
    int refreshSeconds = 0;
};

// state: the update's state (0 idle .. 6 restart); percent: its progress.
// While it writes (4) the page never says more than 98, while it waits for
// the restart (5) 99, so 100 appears only once the box restarts.
UpdateProgressView describeUpdateProgress(int state, int percent);
