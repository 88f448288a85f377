// The flash partition list of the product record in procfs
// ("/proc/product_params": "mtd0_part<n>_name=" and "mtd0_part<n>_size=").
#pragma once

#include <cstdint>

constexpr int MTD_NAME_MAX = 32;

// Name (at most 32 characters; name must hold MTD_NAME_MAX + 1 bytes) and
// size in KB of partition n; both empty/0 when the file does not list it.
// 1 when the file could be opened, else 0.
int readMtdPartitions(int n, uint32_t* sizeKB, char* name);
