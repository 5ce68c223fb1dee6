// The one shape of every choice of vector code (the tile scan's kernels, the keystream's): an
// enum of paths, listed so that each beats the ones before it where it runs, as measured; a
// struct of kernels; and, by family name F:
//   const FKernels* F_kernels(FPath)   the path's kernels, null when this build has none
//   bool F_path_supported(FPath)       this build has them and this CPU runs them
//   FPath selected_F_path()            the one the module uses, chosen once
//   const FKernels& selected_F_kernels()
//   const char* F_path_name(FPath)
// Tests and measurements take the kernels of each path and call them directly; nothing
// switches the choice. Never fails.
#pragma once

#include <cstddef>

namespace gridflip {

// The last of `paths` that `supported` accepts; the first when none does.
template <class Path, std::size_t count>
Path last_supported_path(const Path (&paths)[count], bool (*supported)(Path) noexcept) noexcept {
  Path chosen = paths[0];
  for (const Path candidate : paths) {
    if (supported(candidate)) chosen = candidate;
  }
  return chosen;
}

}  // namespace gridflip
