// A second process on a state file, for the state tests:
//   hold LOCK              takes the lock, says "held", then hangs (until killed)
//   reserve STATE START    one value of a u32le counter from START, printed
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "production/durable_file.h"
#include "production/source.h"

using namespace quelmar::production;

int main(int argc, char** argv) {
  const std::string verb = argc > 1 ? argv[1] : "";
  std::string why;
  if (verb == "hold" && argc == 3) {
    FileLock lock;
    if (!lock.Acquire(argv[2], std::chrono::seconds(10), &why)) {
      std::printf("failed: %s\n", why.c_str());
      return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    // Hung: the test ends it (and it ends with the test at the latest).
    std::this_thread::sleep_for(std::chrono::minutes(2));
    return 0;
  }
  if (verb == "reserve" && argc == 4) {
    FieldDef def;
    def.name = "sn";
    def.size = 4;
    def.start = std::strtoull(argv[3], nullptr, 10);
    def.state_path = argv[2];
    ValueSource source;
    FieldValue value;
    if (!source.Open(def, SourceOptions{std::chrono::seconds(10), ""}, &why) ||
        source.Reserve(&value, &why) != ValueSource::Reserved::kOk) {
      std::printf("failed: %s\n", why.c_str());
      return 1;
    }
    std::printf("value %llu\n", static_cast<unsigned long long>(value.number));
    return 0;
  }
  std::fprintf(stderr, "usage: production_state_helper hold LOCK | reserve STATE START\n");
  return 2;
}
