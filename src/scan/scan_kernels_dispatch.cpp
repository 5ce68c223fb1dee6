// The choice of scan kernels for this CPU, made once.
#include "base/cpu_features.hpp"
#include "base/dispatch.hpp"
#include "scan/scan_kernels_impl.hpp"

namespace gridflip {

bool scan_path_supported(ScanPath path) noexcept {
  if (scan_kernels(path) == nullptr) return false;
  return path != ScanPath::avx2 || cpu_runs_avx2();
}

const ScanKernels* scan_kernels(ScanPath path) noexcept {
  switch (path) {
    case ScanPath::portable:
      return &scan_detail::portable_kernels;
#if defined(__x86_64__)
    case ScanPath::sse2:
      return &scan_detail::sse2_kernels;
    case ScanPath::avx2:
      return &scan_detail::avx2_kernels;
#else
    default:
      break;
#endif
  }
  return nullptr;
}

// The last supported path in scan_paths wins: measured on the CPUs in benchmarks/README.md,
// each beats the ones before it where it runs.
ScanPath selected_scan_path() noexcept {
  static const ScanPath path = last_supported_path(scan_paths, scan_path_supported);
  return path;
}

const ScanKernels& selected_scan_kernels() noexcept {
  static const ScanKernels& kernels = *scan_kernels(selected_scan_path());
  return kernels;
}

const char* scan_path_name(ScanPath path) noexcept {
  switch (path) {
    case ScanPath::portable:
      return "portable";
    case ScanPath::sse2:
      return "sse2";
    case ScanPath::avx2:
      return "avx2";
  }
  return "unknown";
}

}  // namespace gridflip
