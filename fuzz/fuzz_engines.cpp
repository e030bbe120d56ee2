// The four engines as a run drives them: one script line offered in the run's order, the file
// it names, and whatever the device answers, in chunks between steps.
//
// Input: the script line, a line "--", the file's text, a line "--", then the replies.
#include <fstream>
#include <functional>

#include "engines/InstCourante.h"
#include "engines/progboot.h"
#include "engines/progjtag.h"
#include "engines/progpsd.h"
#include "fuzz_util.h"

namespace {

// Steps after the last reply: enough for any instruction to end or settle into waiting.
constexpr int kStepsAfterReplies = 300;

std::string_view TakeUntil(std::string_view& in, std::string_view mark) {
  const size_t p = in.find(mark);
  const std::string_view head = in.substr(0, p);
  in.remove_prefix(p == std::string_view::npos ? in.size() : p + mark.size());
  return head;
}

struct Run {
  TReceiveBuffer owner;
  TProgBoot boot;
  TInstCrt card;
  TProgPsd psd;
  TProgJtag jtag;
  uint32_t clock = 0;
  int errors = 0;

  std::vector<std::pair<TGestionnaire*, std::function<void()>>> Engines() {
    return {{&boot, [this] { boot.Step(); }},
            {&card, [this] { card.Step(); }},
            {&psd, [this] { psd.Step(); }},
            {&jtag, [this] { jtag.Step(); }}};
  }

  explicit Run(const std::string& dir) {
    card.GetTickCount = [this] { return clock; };
    jtag.Pause = [](int) {};
    for (auto& [e, step] : Engines()) {
      e->SetCardDir(dir);
      e->SetUpdateAllowed(true);
      e->ShareReceived(owner);
      e->OnSend = [](TGestionnaire& g) { FUZZ_REQUIRE(!g.GetSendText().empty()); };
      e->OnError = [this](TGestionnaire& g) {
        FUZZ_REQUIRE(!g.GetErrorText().empty());
        ++errors;
      };
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in = AsText(data, size);
  const std::string line(TakeUntil(in, "\n--\n"));
  const std::string_view file = TakeUntil(in, "\n--\n");
  const std::string dir = FreshFolder();
  std::ofstream(dir + "f", std::ios::binary) << file;

  Run run(dir);
  int taken = 0;
  for (auto& [e, step] : run.Engines()) {
    e->SetInstruction(line);
    step();
    taken += e->IsBusy();
  }
  FUZZ_REQUIRE(taken <= 1);  // no line belongs to two engines

  const size_t chunk = in.empty() ? 1 : 1 + static_cast<uint8_t>(in.front()) % 16;
  for (int left = kStepsAfterReplies; left > 0; left -= in.empty()) {
    if (!in.empty()) {
      run.owner.Append(in.substr(0, chunk));
      in.remove_prefix(std::min(chunk, in.size()));
    }
    run.clock += 100;
    bool busy = false;
    for (auto& [e, step] : run.Engines()) {
      if (!e->IsBusy()) continue;
      const int errors = run.errors;
      step();
      if (run.errors != errors) FUZZ_REQUIRE(!e->IsBusy());  // an error ends the instruction
      busy = busy || e->IsBusy();
    }
    if (!busy && in.empty()) break;
  }
  for (auto& [e, step] : run.Engines()) {
    e->Reset();
    FUZZ_REQUIRE(!e->IsBusy() && e->GetReceived().empty() && e->GetErrorText().empty());
  }
  FUZZ_REQUIRE(run.boot.GetState() == TBootState::Idle && run.card.GetState() == TCardState::Idle &&
               run.psd.GetState() == TPsdState::Idle && run.jtag.GetState() == TJtagState::Idle);
  return 0;
}
