#pragma once
// The module is built with hidden visibility; only its entries and unit globals
// are exported.
#define DFE_MODULE_EXPORT __attribute__((visibility("default")))
