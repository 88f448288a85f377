// The program's life: start-up in its fixed order, supervision, end sequence.
#pragma once

// Runs the box until it is told to stop; returns the exit code (0 ordinary,
// 1 software package installed, 2 cold restart or firmware image installed).
int runBox();
