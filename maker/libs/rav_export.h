#pragma once
// Marks the entry points a shared library of this folder exports; every
// other symbol stays hidden (and the version script keeps it so).
#define RAV_EXPORT extern "C" __attribute__((visibility("default")))
