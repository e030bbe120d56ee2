#include "engines/gestionnaire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Texts = std::vector<std::string>;

// The engine's copy against the owner's one buffer, wired as the run controller wires it.
TEST(Gestionnaire, ReceivedTextAgainstTheOwnersBuffer) {
  TReceiveBuffer owner;
  TGestionnaire e;
  e.ShareReceived(owner);
  int changes = 0;
  const auto write_back = e.OnReceivedChange;
  e.OnReceivedChange = [&](TGestionnaire& g) {
    ++changes;
    write_back(g);
  };

  owner.Append("AB.");
  e.FetchReceived();
  EXPECT_EQ(e.GetReceived(), "AB.");
  e.Consume(".");  // only the length counts
  EXPECT_EQ(e.GetReceived(), "B.");
  EXPECT_EQ(owner.View(), "B.");
  // Characters that reach the owner between a fetch and a write-back are kept.
  owner.Append("xy");
  e.Consume("X");
  EXPECT_EQ(e.GetReceived(), ".");
  EXPECT_EQ(owner.View(), ".xy");
  e.FetchReceived();
  EXPECT_EQ(e.GetReceived(), ".xy");
  e.Consume("longer than the rest");
  EXPECT_EQ(e.GetReceived(), "");
  EXPECT_EQ(owner.View(), "");
  owner.Append("abc");
  e.FetchReceived();
  e.ClearReceived();
  EXPECT_EQ(owner.View(), "");
  EXPECT_EQ(changes, 4);

  // Text set by hand starts afresh; the next fetch brings the owner's text back whole.
  owner.Append("123");
  e.SetReceived("zz");
  e.FetchReceived();
  EXPECT_EQ(e.GetReceived(), "123");
  // A write-back from a copy of another stream replaces the owner's text.
  e.SetReceived("q.");
  e.Consume(".");
  EXPECT_EQ(owner.View(), ".");
}

// Every way of moving text between two buffers leaves them agreeing, and a search repeated after
// more arrived or some was consumed finds what a plain search finds.
TEST(Gestionnaire, ReceiveBufferCatchUpAndSearch) {
  TReceiveBuffer owner, copy;
  std::string model;  // what the owner must hold
  const std::string chunk = "ab.cdX" + std::string(5000, 'n') + "R";
  for (int round = 0; round < 40; ++round) {
    const std::string arrival = chunk.substr(static_cast<size_t>(round * 131) % chunk.size());
    owner.Append(arrival);
    model += arrival;
    copy.CatchUp(owner);
    ASSERT_EQ(copy.View(), model) << round;
    for (std::string_view set : {".", "XR", ".XR"}) {
      EXPECT_EQ(copy.find_first_of(set), model.find_first_of(set)) << round << " " << set;
      EXPECT_EQ(copy.find_first_of(set), model.find_first_of(set)) << round << " " << set;
    }
    const size_t cut = std::min(model.size(), static_cast<size_t>(round * 977) % 7000);
    copy.Consume(cut);
    model.erase(0, cut);
    owner.CatchUp(copy);
    ASSERT_EQ(owner.View(), model) << round;
    EXPECT_EQ(copy.find('R'), model.find('R')) << round;
  }
  EXPECT_EQ(copy.substr(0, 3), model.substr(0, 3));
  EXPECT_EQ(copy.substr(model.size() + 5, 2), "");
  owner.Clear();
  copy.CatchUp(owner);
  EXPECT_TRUE(copy.empty());
  copy.Assign("x.");
  EXPECT_EQ(copy.find('.'), 1u);
}

TEST(Gestionnaire, EventsFireAfterTheFieldIsWritten) {
  TGestionnaire e;
  Texts seen;
  e.OnSend = [&](TGestionnaire& g) { seen.push_back("send " + g.GetSendText()); };
  e.OnStatus = [&](TGestionnaire& g) { seen.push_back("status " + g.GetStatusText()); };
  e.OnError = [&](TGestionnaire& g) { seen.push_back("error " + g.GetErrorText()); };
  e.OnDeviceId = [&](TGestionnaire& g) { seen.push_back("id " + std::to_string(g.GetDeviceId())); };
  e.OnDeviceVariant = [&](TGestionnaire& g) {
    seen.push_back(g.GetDeviceVariant() ? "variant 1" : "variant 0");
  };
  e.OnBusyChange = [&](TGestionnaire& g) { seen.push_back(g.IsBusy() ? "busy" : "idle"); };
  e.OnProgressMax = [&](TGestionnaire& g) {
    seen.push_back("max " + std::to_string(g.GetProgressMax()));
  };
  e.Send("SYN");
  e.SetStatus("Erasing");
  e.ReportError("Update Not Allowed !!!");
  e.SetDeviceId(22136);
  e.SetDeviceVariant(true);
  e.BeginBusy();
  e.EndBusy();
  e.SetProgressMax(7);
  EXPECT_EQ(seen, (Texts{"send SYN", "status Erasing", "error Update Not Allowed !!!", "id 22136",
                         "variant 1", "busy", "idle", "max 7"}));
}

// An unassigned event is skipped: no operation may call an empty handler.
TEST(Gestionnaire, NoHandlerAssigned) {
  TGestionnaire e;
  e.SetReceived("abc");
  EXPECT_NO_THROW({
    e.Send("x");
    e.SetStatus("y");
    e.ReportError("z");
    e.SetProgressMax(5);
    e.ProgressStep();
    e.FetchReceived();
    e.Consume(".");
    e.ClearReceived();
    e.BeginBusy();
    e.EndBusy();
    e.SetDeviceId(1);
    e.SetDeviceVariant(true);
    e.NotifyOperationEnd();
  });
  EXPECT_EQ(e.GetReceived(), "");
}
