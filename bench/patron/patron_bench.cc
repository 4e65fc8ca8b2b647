// A patron look-up through the kit (SrchRecFirst and five GetRecField)
// against the same query and field reads made directly with the MySQL C
// API, in one run, and the ratio of the two. Both talk to the same server
// over TCP on 127.0.0.1:3306 as the account tests/patron/db-start.sh makes.
#include <benchmark/benchmark.h>
#include <mysql.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "patronlink.h"

namespace {

constexpr const char* kUser = "kiosk";
constexpr const char* kPassword = "kiosk-pass";
constexpr const char* kHost = "127.0.0.1";
constexpr const char* kDatabase = "kiosk";
constexpr const char* kKey = "BENCH0001";
constexpr const char* kStatement = "SELECT * FROM READER WHERE R01B = 'BENCH0001'";
constexpr std::array<const char*, 5> kFields = {"R01B", "R02", "A", "B", "NAME"};

MYSQL* direct_connection() {
  MYSQL* m = mysql_init(nullptr);
  if (m == nullptr ||
      mysql_real_connect(m, kHost, kUser, kPassword, kDatabase, 3306, nullptr, 0) == nullptr) {
    throw std::runtime_error(std::string("cannot reach the server: ") + (m ? mysql_error(m) : "mysql_init"));
  }
  mysql_set_character_set(m, "GBK");
  return m;
}

void prepare_table(MYSQL* m) {
  for (const char* sql :
       {"DROP TABLE IF EXISTS READER",
        "CREATE TABLE READER (R01B VARCHAR(64) NULL, R02 VARCHAR(64) NULL, A VARCHAR(255) NULL, "
        "B VARCHAR(255) NULL, NAME VARCHAR(64) NULL, KEY (R01B)) DEFAULT CHARSET=gbk",
        "INSERT INTO READER VALUES ('BENCH0001','r2','value a','value b','\xD5\xC5\xC8\xFD'), "
        "('BENCH0002',NULL,'x','y',NULL)"}) {
    if (mysql_query(m, sql) != 0) throw std::runtime_error(mysql_error(m));
  }
}

void BM_KitLookup(benchmark::State& state) {
  if (ConnectDB(kUser, kPassword, kHost, kDatabase) != 0) {
    state.SkipWithError("ConnectDB failed");
    return;
  }
  char value[256];
  for (auto _ : state) {
    if (SrchRecFirst(kKey) != 0) state.SkipWithError("no row");
    for (const char* f : kFields) {
      if (GetRecField(f, value) != 0) state.SkipWithError("no field");
      benchmark::DoNotOptimize(value);
    }
  }
}

void BM_DirectLookup(benchmark::State& state) {
  MYSQL* m = direct_connection();
  char value[256];
  for (auto _ : state) {
    if (mysql_query(m, kStatement) != 0) state.SkipWithError("query failed");
    MYSQL_RES* r = mysql_store_result(m);
    if (r == nullptr || mysql_num_rows(r) == 0) state.SkipWithError("no row");
    const unsigned n = mysql_num_fields(r);
    const MYSQL_FIELD* fields = mysql_fetch_field(r);
    const MYSQL_ROW row = mysql_fetch_row(r);
    for (const char* f : kFields) {
      for (unsigned i = 0; i < n; ++i) {
        if (std::strcmp(fields[i].name, f) == 0) {
          std::strcpy(value, row[i] ? row[i] : "");
          break;
        }
      }
      benchmark::DoNotOptimize(value);
    }
    mysql_free_result(r);
  }
  mysql_close(m);
}

// Many short repetitions, run in random interleaved order (see main), so
// both sides meet the same load on a shared machine.
BENCHMARK(BM_KitLookup)->MinTime(0.2)->Repetitions(20)->UseRealTime()->ReportAggregatesOnly(true);
BENCHMARK(BM_DirectLookup)->MinTime(0.2)->Repetitions(20)->UseRealTime()->ReportAggregatesOnly(true);

// Prints as usual and keeps the median real time of each benchmark.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.aggregate_name != "median") continue;
      median_ns[run.run_name.function_name] = run.GetAdjustedRealTime();
      median_cpu_ns[run.run_name.function_name] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> median_ns;
  std::map<std::string, double> median_cpu_ns;  // this process only: the client side's own cost
};

}  // namespace

int main(int argc, char** argv) {
  try {
    MYSQL* m = direct_connection();
    prepare_table(m);
    mysql_close(m);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "patron_bench: %s\n(start the server first: tests/patron/db-start.sh <folder>)\n",
                 e.what());
    return 1;
  }
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  std::vector<char*> args;
  args.reserve(static_cast<size_t>(argc) + 1);
  args.push_back(argv[0]);
  args.push_back(interleave.data());  // the command line may still override it
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  CloseDB();
  const auto kit = reporter.median_ns.find("BM_KitLookup");
  const auto direct = reporter.median_ns.find("BM_DirectLookup");
  if (kit != reporter.median_ns.end() && direct != reporter.median_ns.end() && direct->second > 0) {
    std::printf("kit / direct (median real time): %.3f  (goal 1.05 or less)\n", kit->second / direct->second);
    std::printf("kit / direct (median CPU time of this process): %.3f\n",
                reporter.median_cpu_ns["BM_KitLookup"] / reporter.median_cpu_ns["BM_DirectLookup"]);
  }
  return 0;
}
