#pragma once
// The constants of the quarantine package format (described in
// maker/vaultix/vaultix.h), shared by the writer (libvaultix32.so) and the
// reader (maker/vaultix/vaultix_reader.h) so the two never disagree.

#include <cstddef>
#include <cstdint>

inline constexpr char kVaultixMagic[8] = {'Z', 'V', 'A', 'U', 'L', 'T', '1', '\n'};
// Bounds every writer keeps and every reader checks.
inline constexpr uint32_t kVaultixMaxValues = 256;
inline constexpr size_t kVaultixMaxName = 255;
inline constexpr uint32_t kVaultixMaxValue = 64 * 1024;
inline constexpr uint32_t kVaultixNumberLength = 4;
inline constexpr uint32_t kVaultixDateLength = 7;
