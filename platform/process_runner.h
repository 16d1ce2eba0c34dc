// Runs a child program directly (no shell) and waits for it. The child's
// standard input and standard error are the null device; its standard output
// is captured into a string or discarded. No descriptor of this process other
// than the three standard ones reaches the child. The standard output pipe is
// drained while the child runs, so a child that writes a lot never blocks.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Results of run_process besides the child's own exit code.
constexpr int kProcessNotStarted = -1;  // empty argument list, no pipe, or the program could not be started
constexpr int kProcessCancelled = -2;   // the cancellation flag or `stop_when` ended the run
constexpr int kProcessTimedOut = -3;    // the time limit ended the run

struct ProcessOptions {
  // Appended with the child's standard output, at most `output_limit` bytes of
  // it; anything beyond that is read and dropped. Null discards the output.
  std::string* output = nullptr;
  std::size_t output_limit = std::size_t{256} << 20;
  // Read about every 50 ms; when set, the child is killed and the run yields
  // kProcessCancelled.
  const std::atomic<bool>* cancel = nullptr;
  // Called about every 50 ms while the child runs; true kills the child and
  // the run yields kProcessCancelled. May be empty.
  std::function<bool()> stop_when;
  // Wall time after which the child is killed (kProcessTimedOut); 0 = none.
  std::int64_t time_limit_ms = 0;
};

// Runs args[0] (a path, or a bare name looked up on PATH) with the arguments
// args[1..]. The child starts in a process group of its own; cancelling or
// timing out kills that whole group with SIGKILL, so helpers the child started
// cannot keep the run alive. Returns the child's exit status (0-255), 128 plus
// the signal number when a signal ended it, or one of the negative results
// above. The calling thread blocks until the child has ended and its output
// has been read (reading stops at the time limit or cancellation even when a
// helper still holds the pipe open).
int run_process(const std::vector<std::string>& args, const ProcessOptions& options);
int run_process(const std::vector<std::string>& args, std::string* output = nullptr,
                const std::atomic<bool>* cancel = nullptr);

// One argument quoted for a Windows command line as CommandLineToArgvW splits
// it: unchanged when non-empty and free of spaces, tabs and double quotes;
// otherwise in double quotes with backslashes doubled before a quote or the
// end. Used where a command line must be passed to a Windows program as text.
std::string quote_argument(const std::string& argument);
