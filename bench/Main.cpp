// The benchmarks' entry point: Google Benchmark's own, except that a benchmark that stopped with an
// error (an escape that failed, a block or a page that did not arrive whole) makes the program fail.
// A brief run in continuous integration is then also a check that the stage still works.
#include <benchmark/benchmark.h>

#include <vector>

namespace {

class ErrorCountingReporter : public benchmark::ConsoleReporter {
 public:
  ErrorCountingReporter() : ConsoleReporter(OO_None) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      errors_ += run.error_occurred ? 1 : 0;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  int Errors() const { return errors_; }

 private:
  int errors_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 2;
  }
  ErrorCountingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return reporter.Errors() == 0 ? 0 : 1;
}
