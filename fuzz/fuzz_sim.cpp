// The simulated device's input: whatever the updater might send, in any fragmentation.
#include "fuzz_util.h"
#include "sim_device.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view in = AsText(data, size);
  TSimConfig config;
  config.versions['0'] = "0130";
  TSimDevice whole(config), split(config);
  const std::string reply = whole.Feed(in);
  // Cut where the first byte says: the device must answer the same either way.
  const size_t cut = size == 0 ? 0 : data[0] % (size + 1);
  const std::string first = split.Feed(in.substr(0, cut));
  FUZZ_REQUIRE(first + split.Feed(in.substr(cut)) == reply);
  FUZZ_REQUIRE(whole.Images() == split.Images());
  FUZZ_REQUIRE(whole.LinesReceived() == split.LinesReceived());
  return 0;
}
