#include "binding/stream_functions.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>

#include "binding/arguments.h"
#include "binding/exceptions.h"
#include "binding/piece_functions.h"
#include "binding/py_text.h"
#include "binding/salvage_options.h"
#include "binding/stream_io.h"
#include "io/fork_count.h"
#include "io/prefixed_source.h"
#include "salvage/change_log.h"
#include "salvage/damage_sample.h"
#include "salvage/parallel_repair.h"
#include "salvage/stream_repair.h"
#include "salvage/stream_rows.h"
#include "unicode/legacy_bytes.h"
#include "unicode/utf8.h"

namespace rowmender::binding {
namespace {

// Adds `value` to `dict` under `key`; false with the exception set.
bool put(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

bool put_count(PyObject* dict, const char* key, std::uint64_t value) {
  return put(dict, key, PyLong_FromUnsignedLongLong(value));
}

// Column names as a tuple of str (the parser's fields are UTF-8; a bad byte would be shown
// replaced).
PyObject* names_tuple(const std::vector<std::string>& names) {
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* name = PyUnicode_DecodeUTF8(names[i].data(), static_cast<Py_ssize_t>(names[i].size()), "replace");
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
  }
  return tuple.release();
}

// None, or a tuple of str: the names of columns the output adds (encoded as UTF-8).
bool convert_added_columns(PyObject* value, std::optional<std::vector<std::string>>& out) {
  if (value == nullptr || value == Py_None) return true;
  if (!PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "added_columns must be None or a tuple of str");
    return false;
  }
  out.emplace();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i) {
    PyObject* item = PyTuple_GET_ITEM(value, i);
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_Check(item) ? PyUnicode_AsUTF8AndSize(item, &size) : nullptr;
    if (bytes == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "added_columns must be None or a tuple of str");
      return false;
    }
    out->emplace_back(bytes, static_cast<std::size_t>(size));
  }
  return true;
}

// The counts of a stream's work, as a dict for the package's report.
PyObject* stats_dict(const StreamStats& stats, const ChangeCounts& changes) {
  const SalvageStats& s = stats.salvage;
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool ok =
      put_count(d, "total_rows", s.total_rows) && put_count(d, "salvaged_rows", s.salvaged_rows) &&
      put_count(d, "repaired_rows", s.repaired_rows) && put_count(d, "quarantined_rows", s.quarantined_rows) &&
      put(d, "detected_delimiter", new_str(latin1_char(s.detected_delimiter))) &&
      put_count(d, "inferred_columns", s.inferred_columns) && put_count(d, "bytes_read", stats.bytes_read) &&
      put_count(d, "bytes_written", stats.bytes_written) && put_count(d, "filled_rows", changes.filled_rows) &&
      put_count(d, "merged_rows", changes.merged_rows) &&
      put_count(d, "rows_with_stray_quotes", changes.rows_with_stray_quotes) &&
      put_count(d, "rows_with_text_after_quote", changes.rows_with_text_after_quote) &&
      put_count(d, "rows_with_quotes_in_unquoted_fields", changes.rows_with_quotes_in_unquoted_fields) &&
      put_count(d, "rows_with_replaced_bytes", changes.rows_with_replaced_bytes) &&
      put_count(d, "replaced_bytes", changes.replaced_sequences) &&
      put_count(d, "multiline_rows", changes.multiline_rows) && put_count(d, "blank_lines", changes.blank_lines) &&
      put_count(d, "preamble_rows", changes.preamble_rows) &&
      put_count(d, "repeated_headers", changes.repeated_headers) && put_count(d, "footer_rows", changes.footer_rows) &&
      put_count(d, "garbage_rows", changes.garbage_rows) && put_count(d, "cut_off_rows", changes.cut_off_rows) &&
      put_count(d, "rows_with_control_bytes", changes.rows_with_control_bytes) &&
      put_count(d, "control_bytes", changes.control_bytes) && put_count(d, "trimmed_rows", changes.trimmed_rows) &&
      put_count(d, "transcoded_rows", changes.transcoded_rows) && put_count(d, "new_sections", changes.new_sections) &&
      put_count(d, "matched_rows", changes.matched_rows) &&
      put(d, "unterminated_quote_line",
          changes.unterminated_quote_line ? PyLong_FromUnsignedLongLong(*changes.unterminated_quote_line)
                                          : Py_NewRef(Py_None)) &&
      put(d, "other_table_line",
          changes.other_table_line ? PyLong_FromUnsignedLongLong(*changes.other_table_line) : Py_NewRef(Py_None)) &&
      put(d, "byte_order_mark", PyBool_FromLong(stats.skipped_byte_order_mark)) &&
      put_count(d, "lf_line_ends", stats.line_ends.lf) && put_count(d, "crlf_line_ends", stats.line_ends.crlf) &&
      put_count(d, "cr_line_ends", stats.line_ends.cr) &&
      put(d, "quote_char", stats.dialect.quoting ? new_str(latin1_char(stats.quote_char)) : Py_NewRef(Py_None)) &&
      put(d, "escape_char", stats.dialect.escape ? new_str(latin1_char(*stats.dialect.escape)) : Py_NewRef(Py_None)) &&
      put(d, "skip_initial_space", PyBool_FromLong(stats.dialect.skip_initial_space)) &&
      put(d, "lacking_columns", names_tuple(stats.lacking_columns)) &&
      put(d, "added_columns", names_tuple(stats.added_columns));
  return ok ? dict.release() : nullptr;
}

const StreamEnd* failed_end(std::initializer_list<const StreamEnd*> ends) {
  for (const StreamEnd* end : ends) {
    if (end != nullptr && end->failed()) return end;
  }
  return nullptr;
}

// The names messages give each end, as a tuple of str or None.
bool unpack_names(PyObject* names, std::span<PyObject*> out) {
  if (!PyTuple_Check(names) || PyTuple_GET_SIZE(names) != static_cast<Py_ssize_t>(out.size())) {
    PyErr_Format(PyExc_TypeError, "names must be a tuple of %zu names", out.size());
    return false;
  }
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = PyTuple_GET_ITEM(names, static_cast<Py_ssize_t>(i));
  return true;
}

bool convert_prefix(PyObject* value, std::string& out) {
  if (!PyBytes_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "prefix must be bytes");
    return false;
  }
  out.assign(PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value)));
  return true;
}

// None, or a tuple of 128 bytes objects: the UTF-8 of the characters a single-byte encoding
// reads bytes 0x80 to 0xFF as (empty for a byte it leaves undefined). The rows of a UTF-8
// file that are not UTF-8 are read in it; with `decoded`, it is the file's own encoding,
// which the engine decodes row by row, keeping rows of UTF-8 as they are.
bool convert_legacy(PyObject* value, std::optional<LegacyBytes>& out) {
  if (value == nullptr || value == Py_None) return true;
  if (!PyTuple_Check(value) || PyTuple_GET_SIZE(value) != 128) {
    PyErr_SetString(PyExc_TypeError, "legacy must be None or a tuple of 128 bytes objects");
    return false;
  }
  out.emplace();
  for (Py_ssize_t i = 0; i < 128; ++i) {
    PyObject* item = PyTuple_GET_ITEM(value, i);
    if (!PyBytes_Check(item) || PyBytes_GET_SIZE(item) > 4) {
      PyErr_SetString(PyExc_TypeError, "legacy must be None or a tuple of 128 bytes objects");
      return false;
    }
    out->set(static_cast<std::uint8_t>(0x80 + i),
             std::string_view(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item))));
  }
  return true;
}

// More threads than this only cost memory: the calling thread stitches the pieces alone.
constexpr std::uint64_t kMostThreads = 256;

// The bytes of each piece a file is cut into for several threads. ROWMENDER_PIECE_BYTES
// sets it (tests use a few bytes, so that pieces start inside quoted fields and between a
// CR and its LF); unset or unreadable, 1 MiB.
std::size_t piece_bytes() {
  const char* value = std::getenv("ROWMENDER_PIECE_BYTES");
  if (value == nullptr) return ParallelSettings{}.piece;
  char* end = nullptr;
  const unsigned long long bytes = std::strtoull(value, &end, 10);
  return end != value && *end == '\0' && bytes != 0 ? static_cast<std::size_t>(bytes) : ParallelSettings{}.piece;
}

// What the damage report keeps of a repair (see salvage/damage_sample.h), as a dict: the
// change kinds in the order they first occur, each (kind, count, bins, sample) with the
// sample as (first_line, last_line, detail, begin, end) tuples, begin and end being where
// the row's bytes lie in the input the engine read; the map's span of lines per bin and the
// last line changed; the tallies of filled and merged rows as (kind, detail, rows); the
// repaired table's head and runs; the quarantine file's head and whether it was cut.
PyObject* samples_dict(const ChangeSampler& changes, const TableSampler& table, const HeadSink& quarantine) {
  PyRef kinds(PyList_New(0));
  if (!kinds) return nullptr;
  for (const KindSample& kind : changes.kinds()) {
    PyRef bins(PyList_New(static_cast<Py_ssize_t>(kind.bins.size())));
    PyRef sample(PyList_New(static_cast<Py_ssize_t>(kind.sample.size())));
    if (!bins || !sample) return nullptr;
    for (std::size_t i = 0; i < kind.bins.size(); ++i) {
      PyObject* count = PyLong_FromUnsignedLongLong(kind.bins[i]);
      if (count == nullptr) return nullptr;
      PyList_SET_ITEM(bins.get(), static_cast<Py_ssize_t>(i), count);
    }
    for (std::size_t i = 0; i < kind.sample.size(); ++i) {
      const SampledChange& change = kind.sample[i];
      PyObject* item =
          Py_BuildValue("KKs#KK", static_cast<unsigned long long>(change.first_line),
                        static_cast<unsigned long long>(change.last_line), change.detail.data(),
                        static_cast<Py_ssize_t>(change.detail.size()), static_cast<unsigned long long>(change.begin),
                        static_cast<unsigned long long>(change.end));
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(sample.get(), static_cast<Py_ssize_t>(i), item);
    }
    PyRef entry(Py_BuildValue("s#KOO", kind.kind.data(), static_cast<Py_ssize_t>(kind.kind.size()),
                              static_cast<unsigned long long>(kind.count), bins.get(), sample.get()));
    if (!entry || PyList_Append(kinds.get(), entry.get()) < 0) return nullptr;
  }
  PyRef tallies(PyList_New(0));
  if (!tallies) return nullptr;
  for (const auto& [key, rows] : changes.tallies()) {
    PyRef entry(Py_BuildValue("s#s#K", key.first.data(), static_cast<Py_ssize_t>(key.first.size()), key.second.data(),
                              static_cast<Py_ssize_t>(key.second.size()), static_cast<unsigned long long>(rows)));
    if (!entry || PyList_Append(tallies.get(), entry.get()) < 0) return nullptr;
  }
  PyRef runs(PyList_New(static_cast<Py_ssize_t>(table.runs().size())));
  if (!runs) return nullptr;
  for (std::size_t i = 0; i < table.runs().size(); ++i) {
    const std::string& run = table.runs()[i];
    PyObject* bytes = PyBytes_FromStringAndSize(run.data(), static_cast<Py_ssize_t>(run.size()));
    if (bytes == nullptr) return nullptr;
    PyList_SET_ITEM(runs.get(), static_cast<Py_ssize_t>(i), bytes);
  }
  PyRef dict(PyDict_New());
  const bool ok =
      dict && put(dict.get(), "kinds", kinds.release()) && put_count(dict.get(), "span", changes.span()) &&
      put_count(dict.get(), "last_line", changes.last_line()) && put(dict.get(), "tallies", tallies.release()) &&
      put(dict.get(), "table_head",
          PyBytes_FromStringAndSize(table.head().data(), static_cast<Py_ssize_t>(table.head().size()))) &&
      put(dict.get(), "table_runs", runs.release()) && put_count(dict.get(), "table_bytes", table.bytes_written()) &&
      put(dict.get(), "quarantine_head",
          PyBytes_FromStringAndSize(quarantine.head().data(), static_cast<Py_ssize_t>(quarantine.head().size()))) &&
      put(dict.get(), "quarantine_cut", PyBool_FromLong(quarantine.cut()));
  return ok ? dict.release() : nullptr;
}

// The settings come as _check_settings returned them, converted again by the same rule.
// With `sampled`, the outputs may be None (the repair is made for its report alone), and
// the counts gain "samples": what the damage report keeps of the repair, gathered as the
// engine writes, with no call into Python.
PyObject* repair(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* params[] = {"source",        "output",  "quarantine", "changes",  "names",
                                           "progress",      "prefix",  "decoded",    "settings", "legacy",
                                           "added_columns", "threads", "sampled",    "pieces"};
  static constexpr Signature signature{"_repair", params, 9};
  PyObject* bound[14];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  PyObject *source_object = bound[0], *output_object = bound[1], *quarantine_object = bound[2],
           *changes_object = bound[3], *progress = bound[5];
  PyObject* names[4];
  std::string prefix_bytes;
  bool decoded = false;
  bool sampled = false;
  SalvageOptions options;
  std::optional<LegacyBytes> legacy;
  std::optional<std::vector<std::string>> added_columns;
  if (!unpack_names(bound[4], names) || !convert_prefix(bound[6], prefix_bytes) ||
      !convert_flag(bound[7], params[7], decoded) || !convert_settings_mapping(bound[8], options) ||
      !convert_legacy(bound[9], legacy) || !convert_added_columns(bound[10], added_columns) ||
      (bound[12] != nullptr && !convert_flag(bound[12], params[12], sampled))) {
    return nullptr;
  }
  std::optional<std::uint64_t> threads;
  if (bound[11] != nullptr && !convert_optional_count(bound[11], params[11], threads)) return nullptr;
  // Pieces walked by a cluster's workers: the source is read through the object that hands
  // the walks out.
  std::optional<PythonPieces> elsewhere;
  if (bound[13] != nullptr && bound[13] != Py_None && !elsewhere.emplace().bind(bound[13])) return nullptr;
  ParallelSettings parallel;
  parallel.threads = static_cast<unsigned>(std::clamp<std::uint64_t>(threads.value_or(1), 1, kMostThreads));
  parallel.piece = piece_bytes();
  // The report's samples are taken in input order by one walk.
  if (sampled) parallel.threads = 1;
  if (legacy) {
    legacy->set_file_encoding(decoded);
    options.legacy_rows = &*legacy;
  }
  if (added_columns) options.added_columns = &*added_columns;
  PyObject *source_name = names[0], *output_name = names[1], *quarantine_name = names[2], *changes_name = names[3];
  StreamEnd source, output, quarantine, changes;
  const bool has_output = !sampled || output_object != Py_None;
  if (!source.bind(source_object, source_name, true)) return nullptr;
  if (has_output && !output.bind(output_object, output_name, false)) return nullptr;
  const bool has_quarantine = quarantine_object != Py_None;
  if (has_quarantine && !quarantine.bind(quarantine_object, quarantine_name, false)) return nullptr;
  const bool has_changes = changes_object != Py_None;
  if (has_changes && !changes.bind(changes_object, changes_name, false)) return nullptr;

  return call_guarded(
      [&]() -> PyObject* {
        std::optional<Expected<StreamStats, SalvageError>> result;
        PieceCounts pieces;
        // The report's collectors stand between the engine and the outputs, when sampled.
        DiscardingSink discarded;
        ChangeSampler change_sampler;
        TableSampler table(has_output ? output.sink() : discarded);
        HeadSink quarantine_head(has_quarantine ? quarantine.sink() : discarded, kQuarantineHeadBytes);
        ByteSink& output_sink = sampled ? static_cast<ByteSink&>(table) : output.sink();
        ByteSink* quarantine_sink =
            sampled ? &quarantine_head : (has_quarantine ? &quarantine.sink() : static_cast<ByteSink*>(nullptr));
        ChangeLog log(has_changes ? &changes.sink() : nullptr, decoded, sampled ? &change_sampler : nullptr);
        {
          UnlockedInterpreter unlocked;
          const StreamEnd::Lending lending(unlocked, {&source, &output, &quarantine, &changes});
          PrefixedSource input(prefix_bytes, source.source());
          if (elsewhere) {
            elsewhere->lend(&unlocked);
            ProgressMonitor monitor(unlocked, progress, elsewhere->size());
            result.emplace(repair_elsewhere(*elsewhere, elsewhere->size(), output_sink, quarantine_sink, options, &log,
                                            &monitor, *elsewhere, elsewhere->piece_bytes(), &pieces));
            elsewhere->lend(nullptr);
          } else {
            ProgressMonitor monitor(unlocked, progress, input.size_hint());
            result.emplace(
                repair_parallel(input, output_sink, quarantine_sink, options, &log, &monitor, parallel, &pieces));
          }
        }
        if (!*result) {
          raise_stream_error(result->error(), failed_end({&source, &output, &quarantine, &changes}));
          return nullptr;
        }
        PyRef counts(stats_dict(result->value(), log.counts()));
        if (!counts) return nullptr;
        if (sampled && !put(counts.get(), "samples", samples_dict(change_sampler, table, quarantine_head))) {
          return nullptr;
        }
        // How the pieces went (none: one thread read the input), for benchmarks.
        if (!put_count(counts.get(), "pieces", pieces.pieces) ||
            !put_count(counts.get(), "reparsed_pieces", pieces.reparsed) ||
            !put_count(counts.get(), "parse_ns", pieces.parse_ns) ||
            !put_count(counts.get(), "stitch_ns", pieces.stitch_ns)) {
          return nullptr;
        }
        return counts.release();
      },
      static_cast<PyObject*>(nullptr));
}

// _RowStream: the rows of a stream, a window at a time.
//
// The package opens the source and the change log's file and hands over `release`, which
// lets go of them: it puts the change log in place (or drops it) and closes a source the
// package opened. The engine reads those descriptors, on the calling thread with the lock
// released and on a read-ahead thread of its own, so they are released only once the engine
// is gone: when the rows are exhausted, on close(), or when the stream is collected unclosed.
// A thread that finds another at work on the stream waits for it, as Python's buffered files
// do; the thread at work coming back in through a callback (progress, a file object's
// readinto, a finalizer run while a row is made) may look at the counts but not read, and
// its close() takes effect when the work under way returns.
struct RowStreamPayload {
  StreamEnd source;
  StreamEnd changes;
  std::unique_ptr<ChangeLog> log;
  PyRef progress;
  PyRef release;  // release(keep_changes); set last when made, cleared when ended
  std::string prefix;
  std::optional<LegacyBytes> legacy;  // borrowed by the stream's options
  std::unique_ptr<RowStream> stream;  // gone once ended
  std::size_t cursor = 0;             // the next row of the current batch
  std::chrono::steady_clock::time_point last_progress = std::chrono::steady_clock::now();
  std::optional<StreamStats> final_stats;
  ChangeCounts final_changes;
  unsigned forks = 0;  // forks_so_far() when made: another count means a forked child
  long owner = 0;      // the process that made it, for messages
  bool closed = false;
  // Work under way on the engine: a batch read (with the lock released) or a row made.
  // Written with the lock held; read without it only by threads waiting for the work.
  std::atomic<bool> working{false};
  unsigned long worker = 0;  // the thread at work
  int waiters = 0;
  std::mutex mutex;  // with `idle`, for the waiters
  std::condition_variable idle;
};

struct PyRowStream {
  PyObject_HEAD
  RowStreamPayload payload;
};

RowStreamPayload& payload_of(PyObject* self) { return reinterpret_cast<PyRowStream*>(self)->payload; }

bool in_forked_child(const RowStreamPayload& p) noexcept { return p.forks != forks_so_far(); }

// Marks the engine as worked on by this thread while it lives.
class Work {
 public:
  explicit Work(RowStreamPayload& p) noexcept : p_(p) {
    p_.worker = PyThread_get_thread_ident();
    p_.working.store(true);
  }
  ~Work() {
    p_.working.store(false);
    if (p_.waiters != 0) {
      // Taken and dropped so that a waiter between its look and its wait hears this.
      { const std::lock_guard lock(p_.mutex); }
      p_.idle.notify_all();
    }
  }
  Work(const Work&) = delete;
  Work& operator=(const Work&) = delete;

 private:
  RowStreamPayload& p_;
};

bool worked_on_by_this_thread(const RowStreamPayload& p) noexcept {
  return p.working.load() && p.worker == PyThread_get_thread_ident();
}

// Waits, with the lock released, until no other thread works on the stream. False with
// the exception set when a signal handler raised (Ctrl-C while waiting).
bool wait_for_other_threads(RowStreamPayload& p) {
  while (p.working.load()) {
    ++p.waiters;
    {
      UnlockedInterpreter unlocked;
      std::unique_lock lock(p.mutex);
      p.idle.wait_for(lock, std::chrono::milliseconds(100), [&p] { return !p.working.load(); });
    }
    --p.waiters;
    if (PyErr_CheckSignals() < 0) return false;
  }
  return true;
}

// Whether the stream may be read or looked at here; false with the exception set.
bool check_usable(const RowStreamPayload& p) {
  if (in_forked_child(p)) {
    // The source's offset is shared with the parent: a read here would take rows from
    // under it, and the parent's change log would be written from two processes.
    PyErr_Format(PyExc_RuntimeError,
                 "the row stream belongs to the process that opened it (%ld): open the source again in this one",
                 p.owner);
    return false;
  }
  if (p.closed) {
    PyErr_SetString(PyExc_ValueError, "I/O operation on a closed row stream");
    return false;
  }
  return true;
}

// Lets go of the engine, then of what the package holds for the stream: the engine's
// threads have stopped before a descriptor they read is closed. The change log is kept when
// the input was read to its end. True, or false with the release's exception set.
bool end(RowStreamPayload& p) {
  PyRef release(p.release.release());
  if (!release) return true;
  const bool finished = p.stream && p.stream->finished();
  if (finished) {
    p.final_stats = p.stream->stats();
    p.final_changes = p.log->counts();
  }
  p.stream.reset();
  p.log.reset();
  const PyRef progress(std::move(p.progress));
  const PyRef done(PyObject_CallOneArg(release.get(), finished ? Py_True : Py_False));
  return static_cast<bool>(done);
}

// Ends the stream for a close() that came in while this thread read it, and raises: the
// read's own exception (Ctrl-C, say) when it had one, else ValueError.
PyObject* closed_meanwhile(PyObject* self, RowStreamPayload& p) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (!end(p)) {
    if (type == nullptr) return nullptr;
    PyErr_WriteUnraisable(self);
  }
  if (type != nullptr) {
    PyErr_Restore(type, value, traceback);
  } else {
    check_usable(p);
  }
  return nullptr;
}

void row_stream_finalize(PyObject* self) {
  RowStreamPayload& p = payload_of(self);
  // A forked child leaves the parent's files as they are.
  if (!p.release || in_forked_child(p)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (!p.closed && PyErr_ResourceWarning(self, 1, "unclosed row stream of %R", p.source.name()) < 0) {
    PyErr_WriteUnraisable(self);
  }
  p.closed = true;
  if (!end(p)) PyErr_WriteUnraisable(self);
  PyErr_Restore(type, value, traceback);
}

// The callables may lead back to the stream (a progress callback that reads its report):
// the collector sees those references, so that such a stream is collected, and released.
int row_stream_traverse(PyObject* self, visitproc visit, void* arg) {
  RowStreamPayload& p = payload_of(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(p.progress.get());
  Py_VISIT(p.release.get());
  return 0;
}

int row_stream_clear(PyObject* self) {
  // Called after the finalizer, which released what the stream held.
  RowStreamPayload& p = payload_of(self);
  const PyRef progress(std::move(p.progress));
  const PyRef release(std::move(p.release));
  return 0;
}

void row_stream_dealloc(PyObject* self) {
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // brought back to life
  PyObject_GC_UnTrack(self);
  PyTypeObject* type = Py_TYPE(self);
  RowStreamPayload& p = payload_of(self);
  // A child forked while another thread read the stream has the engine as that thread
  // left it, its locks perhaps held: left as it is.
  if (!(in_forked_child(p) && p.working.load())) p.~RowStreamPayload();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* row_stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr const char* params[] = {"source", "changes", "names",    "progress", "release",
                                           "prefix", "decoded", "settings", "legacy"};
  static constexpr Signature signature{"_RowStream", params, 8};
  PyObject* bound[9];
  if (!bind_arguments(signature, args, kwargs, bound)) return nullptr;
  PyObject *source_object = bound[0], *changes_object = bound[1], *progress = bound[3], *release = bound[4];
  PyObject* names[2];
  std::string prefix_bytes;
  bool decoded = false;
  SalvageOptions options;
  std::optional<LegacyBytes> legacy;
  if (!unpack_names(bound[2], names) || !convert_prefix(bound[5], prefix_bytes) ||
      !convert_flag(bound[6], params[6], decoded) || !convert_settings_mapping(bound[7], options) ||
      !convert_legacy(bound[8], legacy)) {
    return nullptr;
  }
  PyObject *name = names[0], *changes_name = names[1];
  if (!PyCallable_Check(release)) {
    PyErr_SetString(PyExc_TypeError, "release must be callable");
    return nullptr;
  }
  if (!watch_forks()) return PyErr_NoMemory();
  return call_guarded(
      [&]() -> PyObject* {
        PyRef self(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        RowStreamPayload* payload = new (&payload_of(self.get())) RowStreamPayload();
        payload->progress = PyRef(Py_NewRef(progress));
        payload->prefix = std::move(prefix_bytes);
        if (!payload->source.bind(source_object, name, true)) return nullptr;
        if (changes_object != Py_None && !payload->changes.bind(changes_object, changes_name, false)) return nullptr;
        payload->log =
            std::make_unique<ChangeLog>(changes_object != Py_None ? &payload->changes.sink() : nullptr, decoded);
        // The stream reads on after this call: the table lives as long as it.
        payload->legacy = legacy;
        if (payload->legacy) {
          payload->legacy->set_file_encoding(decoded);
          options.legacy_rows = &*payload->legacy;
        }
        payload->stream = std::make_unique<RowStream>(options, payload->log.get());
        payload->forks = forks_so_far();
        payload->owner = static_cast<long>(::getpid());
        payload->release = PyRef(Py_NewRef(release));
        return self.release();
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* row_stream_next(PyObject* self) {
  RowStreamPayload& p = payload_of(self);
  if (!check_usable(p)) return nullptr;
  if (worked_on_by_this_thread(p)) {
    PyErr_SetString(PyExc_RuntimeError, "reentrant call inside the row stream");
    return nullptr;
  }
  if (!wait_for_other_threads(p) || !check_usable(p)) return nullptr;
  if (!p.stream) return nullptr;  // exhausted
  const Work work(p);
  return call_guarded(
      [&]() -> PyObject* {
        while (p.cursor >= p.stream->rows().size()) {
          if (p.stream->finished()) {
            // StopIteration, or the exception of putting the change log in place. Progress
            // hears of the end once, as from repair().
            const PyRef progress(std::move(p.progress));
            if (end(p) && progress.get() != Py_None) {
              const PyRef called(PyObject_CallFunction(
                  progress.get(), "KO", static_cast<unsigned long long>(p.final_stats->bytes_read), Py_None));
            }
            return nullptr;
          }
          std::optional<Expected<bool, SalvageError>> more;
          {
            UnlockedInterpreter unlocked;
            const StreamEnd::Lending lending(unlocked, {&p.source, &p.changes});
            PrefixedSource input(std::move(p.prefix), p.source.source());
            p.prefix.clear();
            ProgressMonitor monitor(unlocked, p.progress.get(), input.size_hint(), p.last_progress);
            more.emplace(p.stream->next_batch(input, &monitor));
            p.last_progress = monitor.last_call();
          }
          if (p.closed) return closed_meanwhile(self, p);
          if (!*more) {
            raise_stream_error(more->error(), failed_end({&p.source, &p.changes}));
            return nullptr;
          }
          p.cursor = 0;
        }
        const FieldsDone release{[](void* payload, std::size_t fields) {
                                   auto& q = *static_cast<RowStreamPayload*>(payload);
                                   q.stream->release_text(q.cursor, fields);
                                 },
                                 &p};
        PyRef list(new_row_list(p.stream->rows()[p.cursor], release));
        // Making the strings may run a finalizer that closes the stream.
        if (p.closed) return closed_meanwhile(self, p);
        if (!list) return nullptr;
        ++p.cursor;
        return list.release();
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* row_stream_iter(PyObject* self) {
  if (!check_usable(payload_of(self))) return nullptr;
  return Py_NewRef(self);
}

PyObject* row_stream_stats(PyObject* self, PyObject*) {
  RowStreamPayload& p = payload_of(self);
  // A stream that has ended keeps its last counts: what was read before close() is worth
  // knowing after it, as after `with rows(p) as s: ...`. Everything else is refused then.
  const bool ended = p.closed && !p.stream && !in_forked_child(p);
  if (!ended && !check_usable(p)) return nullptr;
  // The thread at work may look from a callback: the engine waits for it there.
  if (!ended && !worked_on_by_this_thread(p) && (!wait_for_other_threads(p) || !check_usable(p))) return nullptr;
  const bool finished = !p.stream || p.stream->finished();
  PyRef stats(p.stream ? stats_dict(p.stream->stats(), p.log->counts())
                       : stats_dict(p.final_stats.value_or(StreamStats{}), p.final_changes));
  if (!stats) return nullptr;
  if (PyDict_SetItemString(stats.get(), "finished", finished ? Py_True : Py_False) < 0) return nullptr;
  return stats.release();
}

PyObject* row_stream_close(PyObject* self, PyObject*) {
  RowStreamPayload& p = payload_of(self);
  p.closed = true;
  // A forked child leaves the parent's files as they are; the thread at work ends the
  // stream when its work returns.
  if (in_forked_child(p) || worked_on_by_this_thread(p)) Py_RETURN_NONE;
  if (!wait_for_other_threads(p) || !end(p)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* row_stream_closed(PyObject* self, void*) { return PyBool_FromLong(payload_of(self).closed); }

PyMethodDef row_stream_methods[] = {
    {"stats", row_stream_stats, METH_NOARGS, "stats($self)\n--\n\nThe counts so far, as a dict."},
    {"close", row_stream_close, METH_NOARGS,
     "close($self)\n--\n\nEnds the stream: waits for another thread's read under way, then releases the source "
     "and the change log."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef row_stream_properties[] = {
    {"closed", row_stream_closed, nullptr, "Whether close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot row_stream_slots[] = {
    {Py_tp_doc, const_cast<char*>("The kept rows of a stream, read a window at a time.")},
    {Py_tp_new, reinterpret_cast<void*>(row_stream_new)},
    {Py_tp_finalize, reinterpret_cast<void*>(row_stream_finalize)},
    {Py_tp_dealloc, reinterpret_cast<void*>(row_stream_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(row_stream_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(row_stream_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(row_stream_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(row_stream_next)},
    {Py_tp_methods, row_stream_methods},
    {Py_tp_getset, row_stream_properties},
    {0, nullptr},
};

PyType_Spec row_stream_spec = {
    "rowmender._rowmender_backend._RowStream", sizeof(PyRowStream), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,   row_stream_slots,
};

PyObject* row_stream_type_object = nullptr;  // lives until the process ends

PyMethodDef definitions[] = {
    {"_repair", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(repair)), METH_FASTCALL | METH_KEYWORDS,
     "_repair(source, output, quarantine, changes, names, progress, prefix, decoded, settings, legacy=None, "
     "added_columns=None, threads=1, sampled=False, pieces=None)\n--\n\n"
     "Repairs a stream into the output, quarantine and change-log streams; returns the counts as a dict, "
     "with what the damage report keeps under \"samples\" when sampled. With pieces, the input is read "
     "through it and its pieces are walked by a cluster."},
};

}  // namespace

PyMethodDef& repair_definition() { return definitions[0]; }

PyTypeObject* row_stream_type() {
  if (row_stream_type_object == nullptr) row_stream_type_object = PyType_FromSpec(&row_stream_spec);
  return reinterpret_cast<PyTypeObject*>(row_stream_type_object);
}

}  // namespace rowmender::binding
