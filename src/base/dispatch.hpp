// The one shape of every choice of vector code (the tile scan's kernels, the keystream's). A
// family lists its paths in an enum, so that each beats the ones before it where it runs, as
// measured, and describes each in a table of KernelPath, in the enum's order. By family name F,
// its dispatcher offers, each a one-line use of the functions below:
//   const FKernels* F_kernels(FPath)   the path's kernels, null when this build has none
//   bool F_path_supported(FPath)       this build has them and this CPU runs them
//   FPath selected_F_path()            the one the module uses: the last supported, chosen once
//   const FKernels& selected_F_kernels()
//   const char* F_path_name(FPath)
// Tests and measurements take the kernels of each path and call them directly; nothing
// switches the choice. Never fails.
#pragma once

#include "base/cpu_features.hpp"

#include <cstddef>

namespace gridflip {

template <class Kernels>
struct KernelPath {
  const char* name;
  InstructionSet needs;
  const Kernels* kernels;  // null when this build has none
};

template <class Kernels, std::size_t count, class Path>
const KernelPath<Kernels>& kernel_path(const KernelPath<Kernels> (&table)[count],
                                       Path path) noexcept {
  return table[static_cast<std::size_t>(path)];
}

template <class Kernels, std::size_t count, class Path>
bool kernel_path_supported(const KernelPath<Kernels> (&table)[count], Path path) noexcept {
  const KernelPath<Kernels>& entry = kernel_path(table, path);
  return entry.kernels != nullptr && cpu_runs(entry.needs);
}

// The last path of the table that is supported; the first when none is.
template <class Path, class Kernels, std::size_t count>
Path last_supported_path(const KernelPath<Kernels> (&table)[count]) noexcept {
  std::size_t chosen = 0;
  for (std::size_t path = 0; path < count; ++path) {
    if (kernel_path_supported(table, path)) chosen = path;
  }
  return static_cast<Path>(chosen);
}

}  // namespace gridflip
