// What must exist before the start-up code runs, in the order the pieces
// depend on each other: the identity records (product, software package,
// firmware), then every parameter with its default (the catalogue reads the
// product record first). The objects built after these (the network
// interface objects, the board device, the update task's image header) are
// made by their own modules on first use, after this has run.
#pragma once

// Idempotent and thread-safe; the start-up code calls it first thing.
void staticSetUp();
