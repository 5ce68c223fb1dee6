// The mutate operation and the logic-tile mutation pass; the aborts of both are decided here.
#include "lib.hpp"

#include "circuit/access_guard.hpp"
#include "circuit/io_error_text.hpp"
#include "report/call_abort.hpp"
#include "scan/tile_scan.hpp"

#include <source_location>

namespace gridflip {

MutationPass::MutationPass(CircuitMap mapping, ByteList rows, ByteList columns,
                           ThreadRandom generator, float chance) noexcept
    : generator_(std::move(generator)),
      columns_(std::move(columns)),
      rows_(std::move(rows)),
      mapping_(std::move(mapping)),
      threshold_(flip_threshold(chance)) {}

void MutationPass::run() {
  // Nothing to visit, nothing to read: the view stays untouched, however large the file.
  if (rows_.empty() || columns_.empty()) return;
  struct Scan {
    MutationPass& pass;
    ScanStatus outcome = success;
  } scan{*this};
  // A file that shrinks under the view faults on the first page past its new end, and so does
  // a page that its file system cannot back. The scan holds no owner, so the guard may leave it
  // at the fault.
  const bool completed = run_with_access_guard(
      mapping_.base(), mapping_.length(),
      [](void* context) {
        auto& [pass, outcome] = *static_cast<Scan*>(context);
        DrawCursor cursor(pass.generator_);
        const std::span<std::uint8_t> bytes(pass.mapping_.base(), pass.mapping_.length());
        outcome = scan_logic_tiles(bytes, pass.rows_, pass.columns_, pass.threshold_, cursor);
        cursor.store();  // a scan stopped short keeps the draws made before it stopped
      },
      &scan);
  if (!completed) {
    // The cursor was left at the fault: drop the rest of the buffer so that no
    // word the aborted run may have drawn is handed out again.
    discard_buffer(generator_.generator());
    abort_call(describe_access_fault());
  }
  if (!scan.outcome.ok()) abort_call(describe_scan_fault(scan.outcome.error()));
}

std::string MutationPass::describe_access_fault() const {
  // Looked at after the fault, when a file that shrank may have grown back: a cause is named
  // only while it holds.
  const IoResult<std::uintmax_t> now = current_file_length(mapping_);
  if (now.ok() && now.value() < mapping_.length()) {
    return "Failed to access circuit: the file was truncated while it was mapped";
  }
  const IoResult<bool> full = file_system_full(mapping_);
  if (full.ok() && full.value()) {
    return "Failed to access circuit: the system could not read or store a page of the file "
           "(its file system may be full)";
  }
  return "Failed to access circuit: the system could not read or store a page of the file (it "
         "may have shrunk and grown back during the call, or its storage failed)";
}

void abort_with_io_error(std::string_view text, const IoError& error, std::source_location where) {
  std::string message(text);
  message += ": ";
  message += render_io_error(error);
  abort_call(std::move(message), where);
}

void mutate(CircuitPath path, ByteList rows, ByteList columns, float chance) {
  IoResult<UniqueFd> opened = open_circuit(path.bytes());
  path.release();  // right after the attempt, whatever its outcome
  if (!opened.ok()) abort_with_io_error("Failed to open circuit", opened.error());
  UniqueFd file = std::move(opened.value());

  const bool visits = !rows.empty() && !columns.empty();
  IoResult<CircuitMap> mapped =
      map_circuit(file, visits ? ViewUse::read_whole : ViewUse::untouched);
  if (!mapped.ok()) abort_with_io_error("Failed to mmap circuit", mapped.error());

  ThreadRandom generator = take_thread_random();
  file.close();  // the mapping keeps a descriptor of its own

  MutationPass pass(std::move(mapped.value()), std::move(rows), std::move(columns),
                    std::move(generator), chance);
  pass.run();
  // A failed flush may leave the flips short of storage: report it, not success.
  if (IoStatus flushed = flush_circuit(pass.mapping()); !flushed.ok()) {
    abort_with_io_error("Failed to flush circuit", flushed.error());
  }
}

}  // namespace gridflip
