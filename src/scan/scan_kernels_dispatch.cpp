// The choice of scan kernels for this CPU, made once.
#include "base/dispatch.hpp"
#include "scan/scan_kernels_impl.hpp"

#include <iterator>

namespace gridflip {
namespace {

// In the order of ScanPath. Measured on the CPUs in benchmarks/README.md, each beats the ones
// before it where it runs.
constexpr KernelPath<ScanKernels> scan_table[] = {
    {"portable", InstructionSet::baseline, &scan_detail::portable_kernels},
#if defined(__x86_64__)
    {"sse2", InstructionSet::sse2, &scan_detail::sse2_kernels},
    {"avx2", InstructionSet::avx2, &scan_detail::avx2_kernels},
#else
    {"sse2", InstructionSet::sse2, nullptr},
    {"avx2", InstructionSet::avx2, nullptr},
#endif
};
static_assert(std::size(scan_table) == std::size(scan_paths));

}  // namespace

const ScanKernels* scan_kernels(ScanPath path) noexcept {
  return kernel_path(scan_table, path).kernels;
}

bool scan_path_supported(ScanPath path) noexcept { return kernel_path_supported(scan_table, path); }

ScanPath selected_scan_path() noexcept {
  static const ScanPath path = last_supported_path<ScanPath>(scan_table);
  return path;
}

const ScanKernels& selected_scan_kernels() noexcept {
  static const ScanKernels& kernels = *scan_kernels(selected_scan_path());
  return kernels;
}

const char* scan_path_name(ScanPath path) noexcept { return kernel_path(scan_table, path).name; }

}  // namespace gridflip
