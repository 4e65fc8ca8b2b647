// cashgate imports six notecore exports and must not load without them: a
// child process loads it once against the real notecore and once against a
// stand-in that lacks one export (found first through LD_LIBRARY_PATH).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct ProbeResult {
  int exit_code;
  std::string output;
};

ProbeResult load_cashgate_with(const std::string& library_path) {
  setenv("LD_LIBRARY_PATH", library_path.c_str(), 1);
  const std::string command = std::string("'") + PROBE + "' '" + CASHGATE_LIB + "' 2>&1";
  FILE* child = popen(command.c_str(), "r");
  unsetenv("LD_LIBRARY_PATH");
  if (child == nullptr) return {-1, "popen failed"};
  ProbeResult result{-1, ""};
  char chunk[256];
  while (std::fgets(chunk, sizeof chunk, child) != nullptr) result.output += chunk;
  const int status = pclose(child);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

TEST(CashgateLoad, LoadsAgainstTheRealNotecore) {
  const ProbeResult result = load_cashgate_with(REAL_NOTECORE_DIR);
  EXPECT_EQ(result.exit_code, 0) << result.output;
}

TEST(CashgateLoad, RefusesANotecoreLackingAnImport) {
  const ProbeResult result = load_cashgate_with(LACKING_NOTECORE_DIR);
  EXPECT_EQ(result.exit_code, 1) << result.output;
  EXPECT_NE(result.output.find("Voro_DisableBill"), std::string::npos) << result.output;
}

}  // namespace
