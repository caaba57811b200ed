#pragma once
// Everything the toolkit offers to the screens is visible across the shared-library
// boundary; the module itself is built with hidden visibility.
#define DFE_TOOLKIT_API __attribute__((visibility("default")))
